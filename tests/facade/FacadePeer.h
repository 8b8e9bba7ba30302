#pragma once

// The appliance side of the facade program: a simulated home with one single-BLE appliance
// (tests/sim), on the simulated radio, in virtual time. It shares no header of the library's
// insides with the app side.

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace telvo::facade {

// What every test program does first (tests/sim/TestMain.cpp): loopback only, none of the
// host's network facts, no system bus of the host's.
void isolateFromHost();

// Configures the appliance through the configuration entry, as an app starts it, until the
// flow's completion; true when it completed without an error.
bool configureSimulatedBleAppliance();

// One request as a fake cloud received it.
struct CloudRequest {
    bool otherCloud = false;  // reached the second cloud, not the one serverHost names
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string header(const std::string& name) const;  // "" when absent
};

struct CloudRun {
    size_t completions = 0;
    long long code = -1;                 // plain code of the first completion
    std::vector<CloudRequest> requests;  // both clouds', each in order of arrival
};

// Configures a simulated network bridge, whose flow registers the appliance with the cloud, in
// a fresh simulated home (the library's shared state reset), through the configuration entry,
// until its completion. The home's cloud, which serverHost names, and a second one answer a
// body-signed request whose "accessToken" is not acceptedToken with {"code":40001,"msg":"token
// invalid"}; both also serve their paths under the prefix "/mas". beforeFlow runs on the main
// thread once the home is set up, before the flow starts, told the second cloud's host: the
// app hands in its settings and delegates there.
CloudRun configureBridgeWithCloud(
    const std::string& acceptedToken,
    const std::function<void(const std::string& otherHost)>& beforeFlow);

}  // namespace telvo::facade
