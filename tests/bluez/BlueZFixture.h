#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/bluetooth/BlueZRadio.h"
#include "platform/bluetooth/BluetoothManagers.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/BluetoothRecorders.h"
#include "sim/FakeBlueZ.h"
#include "sim/PrivateBus.h"
#include "sim/SimBleModule.h"
#include "sim/SimRadio.h"

namespace telvo::test {

// Scans with the central until the peripheral with that identifier is reported (the recorder
// becoming its delegate), then stops; nullptr after the time-out.
inline CBPeripheralPtr scanFor(const CBCentralManagerPtr& central,
                               const std::shared_ptr<CentralRecorder>& recorder,
                               const std::string& identifier,
                               const std::optional<std::vector<CBUUID>>& services = {}) {
    central->scanForPeripheralsWithServices(services);
    CBPeripheralPtr found;
    MainLoop::runUntil(
        [&] {
            for (const auto& p : recorder->found)
                if (p->identifier().UUIDString() == identifier) found = p;
            return found != nullptr;
        },
        20);
    central->stopScan();
    if (found) found->setDelegate(recorder);
    return found;
}

// Threaded mode: the test's thread runs the main loop (the central manager's queue); the
// radio, the fake BlueZ and the simulated air work on queues of their own. One appliance (the
// BLE module) is on the air; the library's BlueZ radio reaches it through the fake on a
// private bus.
class BlueZFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ok()) << bus.error();
        module = sim::SimBleModule::create(*air, sim::SimBleAdvertisement{}, "korvo");
        std::string error;
        bluez = sim::FakeBlueZ::start(bus, air, &error);
        ASSERT_TRUE(bluez) << error;
        radio = BlueZRadio::open(bus.address());
        ASSERT_TRUE(radio);
        recorder = std::make_shared<CentralRecorder>();
        recorder->discoveriesAsLines = true;
        central = createCentralManager(recorder, nullptr, {}, radio);
        ASSERT_TRUE(until([&] { return central->state() == CBManagerState::PoweredOn; }))
            << "state " << CBManagerStateName(central->state());
    }
    void TearDown() override {
        central.reset();
        MainLoop::drain();
    }

    static bool until(const std::function<bool()>& predicate, double seconds = 20) {
        return MainLoop::runUntil(predicate, seconds);
    }
    bool waitFor(const std::string& prefix, double seconds = 20) {
        return until([&] { return recorder->saw(prefix); }, seconds);
    }
    std::string identifier() const {
        auto adapter = bluez::parseAddress(sim::FakeBlueZ::kAdapterAddress);
        auto device = bluez::parseAddress(sim::FakeBlueZ::addressOf(module->appliance()));
        return bluez::peripheralIdentifier(*adapter, *device);
    }
    // Scans until the module is found; nullptr when it is not.
    CBPeripheralPtr find(const std::optional<std::vector<CBUUID>>& services = {}) {
        return scanFor(central, recorder, identifier(), services);
    }
    // Connects, discovers FF80 with its characteristics and turns notifications of FF82 on.
    CBPeripheralPtr linkUp() {
        auto p = find();
        if (!p) return nullptr;
        p->setDelegate(recorder);
        central->connectPeripheral(p);
        if (!waitFor("connected")) return nullptr;
        p->discoverServices(std::nullopt);
        if (!waitFor("services")) return nullptr;
        for (const auto& s : p->services())
            if (s->UUID() == CBUUID::UUIDWithString("FF80")) p->discoverCharacteristics({}, s);
        if (!waitFor("characteristics FF80")) return nullptr;
        if (auto c = characteristic(p, "FF82")) p->setNotifyValue(true, c);
        if (!waitFor("notifying FF82 1")) return nullptr;
        return p;
    }
    static CBCharacteristicPtr characteristic(const CBPeripheralPtr& p, const std::string& uuid) {
        for (const auto& s : p->services())
            for (const auto& c : s->characteristics())
                if (c->UUID() == CBUUID::UUIDWithString(uuid)) return c;
        return nullptr;
    }

    PrivateBus bus;
    std::shared_ptr<sim::SimRadio> air = sim::SimRadio::create();
    std::shared_ptr<sim::SimBleModule> module;
    std::shared_ptr<sim::FakeBlueZ> bluez;
    std::shared_ptr<BlueZRadio> radio;
    std::shared_ptr<CentralRecorder> recorder;
    CBCentralManagerPtr central;
};

}  // namespace telvo::test
