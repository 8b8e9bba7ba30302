#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/bluetooth/BlueZRadio.h"
#include "sim/FakeBlueZ.h"
#include "sim/PrivateBus.h"
#include "sim/SimBleFlows.h"
#include "sim/SimBleHome.h"

namespace telvo::sim {

// A home whose phone reaches its BLE appliances through BlueZ: the home's simulated radio is
// the air of a fake BlueZ on a private system bus, and the library's BlueZ radio on that bus
// is the shared radio (the one an app gets). Threaded dispatch mode; main thread only; one at
// a time, as SimBleHome.
class SimBlueZHome {
  public:
    SimBlueZHome();
    ~SimBlueZHome();
    SimBlueZHome(const SimBlueZHome&) = delete;
    SimBlueZHome& operator=(const SimBlueZHome&) = delete;

    // False when the bus, the fake or the radio could not be started (error() says why).
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // An appliance on the air, as SimBleHome::addModule.
    std::shared_ptr<SimBleModule> addModule(const SimBleAdvertisement& advertisement,
                                            const std::string& name = "korvo_ac_1a2b");
    // The identifier the phone knows the appliance by through BlueZ.
    static std::string identifierOf(const SimBleModule& module);
    // Scans through the shared radio until the appliance is seen (real seconds).
    CBPeripheralPtr find(const SimBleModule& module, double seconds = 20) const;

    SimBleHome home;
    test::PrivateBus bus;
    std::shared_ptr<FakeBlueZ> bluez;
    std::shared_ptr<BlueZRadio> radio;

  private:
    std::string error_;
};

// Runs the flow over BlueZ as runSimBleFlow runs it over the simulated radio, in real time:
// a fresh BlueZ home with one appliance of the flow's version, started through the
// configuration entry, until its completion (at most `limit` seconds), then `watch` seconds
// more in which a second completion would be counted, then the entry's stop. `fault` sets the
// home or the appliance up before the start; `step` and `completion` see what the app sees.
SimBleRun runBlueZFlow(
    const SimBleFlowKind& flow, const std::function<void(SimBlueZHome&, SimBleModule&)>& fault = {},
    const std::function<void(int64_t)>& step = {},
    const std::function<void(const ErrorPtr&, const std::shared_ptr<QKDevice>&)>& completion = {},
    double limit = 120, double watch = 2);

}  // namespace telvo::sim
