#pragma once

// The appliance side of the facade program: a simulated home with one single-BLE appliance
// (tests/sim), on the simulated radio, in virtual time. It shares no header of the library's
// insides with the app side.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
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

// A home network with one Wi-Fi appliance that answers the discovery probe on loopback
// (tests/sim's Wi-Fi home), in virtual time, for as long as the object lives. The app side
// calls the library; this side turns the main loop and says what the appliance heard.
class SimulatedLan {
  public:
    SimulatedLan();  // the appliance is not on the LAN yet: it hears probes, answers none
    ~SimulatedLan();
    SimulatedLan(const SimulatedLan&) = delete;
    SimulatedLan& operator=(const SimulatedLan&) = delete;

    void applianceJoins();  // it answers every probe from now on
    size_t probesHeard() const;
    void runFor(double seconds);

  private:
    struct Home;
    std::unique_ptr<Home> home_;
};

// Why the library would find the simulated clouds (on 127.0.0.1) unreachable on this host,
// and so end every cloud call with 9003 before sending it; nullopt when it would reach them.
std::optional<std::string> whyLoopbackCloudUnreachable();

}  // namespace telvo::facade
