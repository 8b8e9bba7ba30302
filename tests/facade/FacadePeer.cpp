#include "facade/FacadePeer.h"

#include <cstdlib>

#include "platform/dispatch/Dispatch.h"
#include "platform/net/NetworkGuard.h"
#include "platform/net/SystemNetwork.h"
#include "sim/SimBleFlows.h"

namespace telvo::facade {

void isolateFromHost() {
    NetworkGuard::setEnforcing(true);
    SystemNetwork::setEnabled(false);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/telvo-tests/system_bus_socket", 1);
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

}  // namespace telvo::facade
