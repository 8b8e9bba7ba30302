// The Bluetooth wrapper and the BLE flows over the BlueZ radio: what stays behind after many
// advertisers, and the scan around configuration starts.
#include <gtest/gtest.h>

#include "blecore/QKBLEDeviceManager.h"
#include "blecore/QKBluetooth.h"
#include "bleflows/QKBleConnectManager.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/SimBlueZHome.h"
#include "telvosdk/QKDeviceConfigManager.h"

namespace telvo::test {
namespace {

using sim::SimBlueZHome;

// Advertisers heard once and forgotten by BlueZ (2,000 a second in a crowded place, with
// addresses that rotate) leave nothing behind: the platform central and the wrapper forget them
// too, round after round, while the appliance that stays is kept.
TEST(BlueZWrapper, AdvertisersBlueZForgetsAreForgotten) {
    SimBlueZHome home;
    ASSERT_TRUE(home.ok()) << home.error();
    auto module = home.addModule(sim::SimBleAdvertisement{});
    const std::string kept = SimBlueZHome::identifierOf(*module);
    std::vector<std::weak_ptr<CBPeripheral>> passers;
    bool keptSeen = false;
    auto devices = QKBLEDeviceManager::shareInstance();
    devices->startScan(0, 0, [&](const CBPeripheralPtr& p) {
        if (p->identifier().UUIDString() == kept)
            keptSeen = true;
        else
            passers.push_back(p);
    });
    ASSERT_TRUE(MainLoop::runUntil([&] { return keptSeen && home.bluez->discovering(); }, 20));
    auto wrapper = QKBluetoothImpl::of(*QKBluetooth::shareQKBluetooth()).central;
    constexpr size_t kRound = 1000;
    for (size_t round = 1; round <= 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(home.bluez->passBy(kRound).size(), kRound);
        auto alive = [&] {
            return std::count_if(passers.begin(), passers.end(),
                                 [](const auto& p) { return !p.expired(); });
        };
        ASSERT_TRUE(MainLoop::runUntil(
            [&] { return passers.size() == round * kRound && alive() == 0; }, 20))
            << passers.size() << " heard, " << alive() << " kept";
        ASSERT_EQ(wrapper->discoverPeripherals().size(), 1u);
        EXPECT_EQ(wrapper->discoverPeripherals()[0]->identifier().UUIDString(), kept);
    }
    devices->stopScan();
    MainLoop::drain();
}

sim::SimBleFlowKind secondGenerationFlow() {
    for (const auto& flow : sim::simBleFlowKinds())
        if (flow.command == "second") return flow;
    ADD_FAILURE() << "no second-generation flow";
    return {};
}

// Configuring the same second-generation appliance again: the dispatcher carries its session
// on, and the start still ends the scan the app began to find the appliance (BlueZ's discovery
// stops each time).
TEST(BlueZWrapper, EveryConfigurationStartStopsTheScan) {
    SimBlueZHome home;
    ASSERT_TRUE(home.ok()) << home.error();
    const auto flow = secondGenerationFlow();
    sim::SimBleAdvertisement advertisement;
    advertisement.version = flow.version;
    auto module = home.addModule(advertisement);
    flow.prepare(*module);
    auto peripheral = home.find(*module);
    ASSERT_TRUE(peripheral);
    auto params =
        std::make_shared<QKDeviceBleConfigParams>(sim::simBleFlowParams(flow, peripheral));
    auto entry = QKDeviceConfigManager::shareInstance();
    auto dispatcher = QKBleConnectManagerImpl::shared();
    auto devices = QKBLEDeviceManager::shareInstance();
    int ends = 0;
    entry->startBleConfig(params, nullptr, [&](const ErrorPtr&, const auto&) { ++ends; });
    ASSERT_TRUE(MainLoop::runUntil([&] { return ends == 1; }, 60));
    const auto session = dispatcher->ble();
    ASSERT_TRUE(session);

    // The app looks for the appliance again and starts over with the peripheral it has.
    devices->startScan(0, 0, nullptr);
    ASSERT_TRUE(MainLoop::runUntil([&] { return home.bluez->discovering(); }, 20));
    entry->startBleConfig(params, nullptr, nullptr);
    EXPECT_TRUE(MainLoop::runUntil([&] { return !home.bluez->discovering(); }, 10));
    EXPECT_EQ(dispatcher->ble(), session);
    entry->stopBleConfig(params);
    MainLoop::drain();
}

}  // namespace
}  // namespace telvo::test
