#include "platform/foundation/Diagnostics.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/base/Singleton.h"

namespace telvo {

namespace {
struct SinkSlot {
    std::mutex mutex;
    DiagnosticSink sink;
};
SinkSlot& sinkSlot() {
    return processWide([] { return new SinkSlot(); });
}
SinkSlot& plainSinkSlot() {
    return processWide([] { return new SinkSlot(); });
}

void emit(SinkSlot& slot, const char* prefix, const char* format, va_list args) {
    char buffer[512];
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (n < 0) return;
    std::string line(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));

    DiagnosticSink sink;
    {
        std::lock_guard lock(slot.mutex);
        sink = slot.sink;
    }
    if (sink) {
        sink(line);
    } else {
        std::fprintf(stderr, "%s%s\n", prefix, line.c_str());
    }
}
}  // namespace

void setDiagnosticSink(DiagnosticSink sink) {
    std::lock_guard lock(sinkSlot().mutex);
    sinkSlot().sink = std::move(sink);
}

void platformDiagnostic(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit(sinkSlot(), "[telvo] ", format, args);
    va_end(args);
}

void setPlainLogSink(DiagnosticSink sink) {
    std::lock_guard lock(plainSinkSlot().mutex);
    plainSinkSlot().sink = std::move(sink);
}

void plainLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit(plainSinkSlot(), "", format, args);
    va_end(args);
}

}  // namespace telvo
