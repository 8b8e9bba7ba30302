#include "facade/FacadePeer.h"

#include <cstdlib>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/net/NetworkGuard.h"
#include "platform/net/SystemNetwork.h"
#include "sim/CloudRoute.h"
#include "sim/FakeCloud.h"
#include "sim/SimBleFlows.h"
#include "sim/SimCloudApi.h"
#include "sim/SimWifiHome.h"

namespace telvo::facade {

void isolateFromHost() {
    NetworkGuard::setEnforcing(true);
    SystemNetwork::setEnabled(false);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/telvo-tests/system_bus_socket", 1);
}

std::string CloudRequest::header(const std::string& name) const {
    for (const auto& [field, value] : headers)
        if (field == name) return value;
    return "";
}

namespace {

const sim::SimBleFlowKind* flowKind(const std::string& command) {
    static const std::vector<sim::SimBleFlowKind> kinds = sim::simBleFlowKinds();
    for (const sim::SimBleFlowKind& kind : kinds)
        if (kind.command == command) return &kind;
    return nullptr;
}

void keep(const test::FakeCloud& cloud, bool other, std::vector<CloudRequest>& into) {
    for (const test::RecordedRequest& request : cloud.requests())
        into.push_back({other, request.path, request.headers});
}

}  // namespace

CloudRun configureBridgeWithCloud(
    const std::string& acceptedToken,
    const std::function<void(const std::string& otherHost)>& beforeFlow) {
    DeterministicDispatch mode;
    const sim::SimBleFlowKind* kind = flowKind("bridge");
    CloudRun out;
    if (!kind) return out;
    test::FakeCloud other;
    test::SimCloudApi otherApi(other, "key", "secret");
    otherApi.mountAt("/mas");
    otherApi.acceptOnlyBodyToken(acceptedToken);
    sim::SimBleHome* home = nullptr;
    bool kept = false;
    const sim::SimBleRun run = sim::runSimBleFlow(
        *kind, sim::simBleFaults(*kind).front(), {},
        [&](const ErrorPtr&, const std::shared_ptr<QKDevice>&) {
            if (home && !kept) keep(home->cloud, false, out.requests);
            kept = true;
        },
        [&](sim::SimBleHome& made, sim::SimBleModule&) {
            home = &made;
            made.api.mountAt("/mas");
            made.api.acceptOnlyBodyToken(acceptedToken);
            beforeFlow(other.baseURL());
        });
    keep(other, true, out.requests);
    out.completions = run.completions;
    out.code = run.code;
    return out;
}

bool configureSimulatedBleAppliance() {
    DeterministicDispatch mode;
    for (const sim::SimBleFlowKind& kind : sim::simBleFlowKinds()) {
        if (kind.command != "single") continue;
        const sim::SimBleRun run = sim::runSimBleFlow(kind, sim::simBleFaults(kind).front());
        return run.completions == 1 && run.code == 0;
    }
    return false;
}

struct SimulatedLan::Home {
    DeterministicDispatch mode;
    sim::SimWifiHome wifi;
};

SimulatedLan::SimulatedLan() : home_(std::make_unique<Home>()) {
    home_->wifi.announce({});
    home_->wifi.responder->appliance(0).then.kind = sim::SimDiscoveryAnswer::Kind::Silence;
}

SimulatedLan::~SimulatedLan() = default;

void SimulatedLan::applianceJoins() {
    home_->wifi.responder->appliance(0).then.kind = sim::SimDiscoveryAnswer::Kind::Reply;
}

size_t SimulatedLan::probesHeard() const {
    size_t probes = 0;
    for (const auto& probe : home_->wifi.responder->probes()) probes += probe.isDiscoveryRequest;
    return probes;
}

void SimulatedLan::runFor(double seconds) {
    MainLoop::runFor(seconds);
}

std::optional<std::string> whyLoopbackCloudUnreachable() {
    if (test::routeReachesTheFakeCloud()) return std::nullopt;
    return test::kNoRouteToTheCloud;
}

}  // namespace telvo::facade
