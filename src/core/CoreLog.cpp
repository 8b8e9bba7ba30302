#include "core/CoreLog.h"

#include <atomic>

namespace telvo {

namespace {
std::atomic<CoreLogGate> installedGate{nullptr};
}  // namespace

void setCoreLogGate(CoreLogGate gate) {
    installedGate.store(gate, std::memory_order_release);
}

void coreLog(const char* file, const char* function, int line, const char* format, ...) {
    const CoreLogGate gate = installedGate.load(std::memory_order_acquire);
    if (!gate) return;
    va_list args;
    va_start(args, format);
    gate(file, function, line, format, args);
    va_end(args);
}

}  // namespace telvo
