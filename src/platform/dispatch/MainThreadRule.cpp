#include "platform/dispatch/MainThreadRule.h"

#include <cstdio>
#include <cstdlib>

#include "platform/dispatch/DispatchRuntime.h"

namespace telvo {

bool callerMayActAsMainThread() {
    return DispatchRuntime::get().callerMayActAsMainThread();
}

void checkMainThreadRule(const char* entry) {
    if (callerMayActAsMainThread()) return;
    std::fprintf(stderr,
                 "telvo: %s called off the main thread while the main loop runs on another; "
                 "call it on the main thread (TelvoSDKPerformOnMainQueue)\n",
                 entry);
    std::abort();
}

}  // namespace telvo
