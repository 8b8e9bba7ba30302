#include "platform/Diagnostics.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/Singleton.h"

namespace telvo {

namespace {
struct SinkSlot {
    std::mutex mutex;
    DiagnosticSink sink;
};
SinkSlot& sinkSlot() {
    return processWide([] { return new SinkSlot(); });
}
}  // namespace

void setDiagnosticSink(DiagnosticSink sink) {
    std::lock_guard lock(sinkSlot().mutex);
    sinkSlot().sink = std::move(sink);
}

void platformDiagnostic(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return;
    std::string line(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));

    DiagnosticSink sink;
    {
        std::lock_guard lock(sinkSlot().mutex);
        sink = sinkSlot().sink;
    }
    if (sink) {
        sink(line);
    } else {
        std::fprintf(stderr, "[telvo] %s\n", line.c_str());
    }
}

}  // namespace telvo
