#include "sim/SimBlueZHome.h"

#include "blecore/QKBluetooth.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "telvosdk/QKDeviceConfigManager.h"
#include "telvosdk/TelvoError.h"

namespace telvo::sim {

SimBlueZHome::SimBlueZHome() {
    if (!bus.ok()) {
        error_ = bus.error();
        return;
    }
    bluez = FakeBlueZ::start(bus, home.radio->shared_from_this(), &error_);
    if (!bluez) return;
    radio = BlueZRadio::open(bus.address());
    if (!radio) {
        error_ = "the BlueZ radio could not reach the bus";
        return;
    }
    BluetoothRadio::setShared(radio);
    // The Bluetooth wrapper's managers take the shared radio when they are made.
    resetForTesting<QKBluetooth>();
    if (!MainLoop::runUntil([&] { return radio->state() == CBManagerState::PoweredOn; }, 20))
        error_ = std::string("the BlueZ radio is ") + CBManagerStateName(radio->state());
}

SimBlueZHome::~SimBlueZHome() {
    BluetoothRadio::setShared(nullptr);
}

std::shared_ptr<SimBleModule> SimBlueZHome::addModule(const SimBleAdvertisement& advertisement,
                                                      const std::string& name) {
    return home.addModule(advertisement, name);
}

std::string SimBlueZHome::identifierOf(const SimBleModule& module) {
    auto adapter = bluez::parseAddress(FakeBlueZ::kAdapterAddress);
    auto device = bluez::parseAddress(FakeBlueZ::addressOf(module.appliance()));
    return bluez::peripheralIdentifier(*adapter, *device);
}

CBPeripheralPtr SimBlueZHome::find(const SimBleModule& module, double seconds) const {
    return SimBleHome::find(identifierOf(module), seconds);
}

SimBleRun runBlueZFlow(
    const SimBleFlowKind& flow, const std::function<void(SimBlueZHome&, SimBleModule&)>& fault,
    const std::function<void(int64_t)>& step,
    const std::function<void(const ErrorPtr&, const std::shared_ptr<QKDevice>&)>& completion,
    double limit, double watch) {
    SimBleRun run;
    SimBlueZHome home;
    if (!home.ok()) return run;
    SimBleAdvertisement advertisement;
    advertisement.version = flow.version;
    auto module = home.addModule(advertisement);
    flow.prepare(*module);
    auto peripheral = home.find(*module);
    if (!peripheral) return run;
    run.applies = true;
    if (fault) fault(home, *module);

    const double begin = Clock::now();
    // Shared with the blocks: a completion that comes after the run is not lost in freed memory.
    auto result = std::make_shared<SimBleRun>(run);
    auto params = std::make_shared<QKDeviceBleConfigParams>(simBleFlowParams(flow, peripheral));
    auto entry = QKDeviceConfigManager::shareInstance();
    entry->startBleConfig(
        params,
        [step](int64_t s) {
            if (step) step(s);
        },
        [result, begin, completion](const ErrorPtr& error,
                                    const std::shared_ptr<QKDevice>& device) {
            if (result->completions++ == 0) {
                result->code = TelvoError::codeForSDKError(error);
                result->at = Clock::now() - begin;
                result->device = device;
            }
            if (completion) completion(error, device);
        });
    MainLoop::runUntil([&result] { return result->completions > 0; }, limit);
    MainLoop::runFor(watch);
    entry->stopBleConfig(params);
    MainLoop::drain();
    return *result;
}

}  // namespace telvo::sim
