#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/SimWifiHome.h"

namespace telvo::sim {

// A fault of the Wi-Fi home, by the name the demo and the flow tables give it: the appliance's
// TCP session, the phone's discovery sockets or the network under them.
struct SimWifiFault {
    std::string name;
    std::string what;
    // Sets the fault up on the home (the appliance announced, the flow not yet started).
    std::function<void(SimWifiHome&)> apply;
    // The code an access-point run through the facade (cloud confirmation on) ends with.
    int64_t accessPointCode = 0;
};

// Every fault, in a fixed order.
const std::vector<SimWifiFault>& simWifiFaults();
// The fault of that name; throws std::out_of_range for an unknown name.
const SimWifiFault& simWifiFault(const std::string& name);

}  // namespace telvo::sim
