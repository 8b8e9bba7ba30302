#pragma once

#include <memory>
#include <string>

#include "sim/FakeCloud.h"
#include "sim/SimBleModule.h"
#include "sim/SimCloudApi.h"
#include "sim/SimRadio.h"
#include "telvosdk/CBPeripheral.h"
#include "telvosdk/QKDeviceBleConfigParams.h"

namespace telvo::sim {

// A home with BLE appliances, simulated in this process: the appliances' modules on the
// simulated radio and the maker's cloud faked over HTTP on loopback, which hears an appliance
// online once it has joined the router.
//
// Making one registers the library's run-time names and resets its shared state (SDK
// configuration, settings store in work mode "10001", cloud client, BLE managers, the flow
// dispatcher with its sessions, step information), points the cloud client at the fake cloud
// and silences the plain-text log; destroying it drops the dispatcher's sessions and drains the
// loop. One at a time; main
// thread only; meant for deterministic dispatch mode.
class SimBleHome {
  public:
    static constexpr const char* kRouter = "HomeNet";
    static constexpr const char* kPassword = "secret-pass";
    static constexpr const char* kBssid = "aa:bb:cc:dd:ee:ff";

    SimBleHome();
    ~SimBleHome();
    SimBleHome(const SimBleHome&) = delete;
    SimBleHome& operator=(const SimBleHome&) = delete;

    // An appliance advertising in the layout of its version, linked to the fake cloud.
    std::shared_ptr<SimBleModule> addModule(const SimBleAdvertisement& advertisement,
                                            const std::string& name = "korvo_ac_1a2b");
    // Scans until the appliance's peripheral is seen; nullptr after `seconds` without it.
    static CBPeripheralPtr find(const SimBleModule& appliance, double seconds = 5);
    // The same for the peripheral with that identifier (on whatever radio is shared).
    static CBPeripheralPtr find(const std::string& identifier, double seconds);
    // Parameters for the peripheral with the home router and regional settings.
    static QKDeviceBleConfigParams routerParams(CBPeripheralPtr peripheral);

    SimRadioScope radio{SimRadio::create()};
    test::FakeCloud cloud;
    test::SimCloudApi api{cloud, "key", "secret"};
};

}  // namespace telvo::sim
