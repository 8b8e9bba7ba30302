#include "facade/FacadePeer.h"

#include <cstdlib>

#include "platform/dispatch/Dispatch.h"
#include "platform/net/NetworkGuard.h"
#include "sim/SimBleFlows.h"

namespace telvo::facade {

bool configureSimulatedBleAppliance() {
    // As in every test program: loopback only, and no host's system bus.
    NetworkGuard::setEnforcing(true);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/telvo-tests/system_bus_socket", 1);
    DeterministicDispatch mode;
    for (const sim::SimBleFlowKind& kind : sim::simBleFlowKinds()) {
        if (kind.command != "single") continue;
        const sim::SimBleRun run = sim::runSimBleFlow(kind, sim::simBleFaults(kind).front());
        return run.completions == 1 && run.code == 0;
    }
    return false;
}

}  // namespace telvo::facade
