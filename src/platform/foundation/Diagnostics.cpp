#include "platform/foundation/Diagnostics.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

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

struct ForwardSlot {
    std::mutex mutex;
    PlainLogForward forward;
};
ForwardSlot& forwardSlot() {
    return processWide([] { return new ForwardSlot(); });
}

std::string formatted(const char* format, va_list args) {
    char buffer[512];
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (n < 0) return {};
    return std::string(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));
}

DiagnosticSink sinkOf(SinkSlot& slot) {
    std::lock_guard lock(slot.mutex);
    return slot.sink;
}

// Where NSLog's lines go: the system log. Without a journal (containers) the call fails and
// the line is dropped.
void toJournal(const std::string& line) {
    sd_journal_send("MESSAGE=%s", line.c_str(), "PRIORITY=%i", LOG_NOTICE, nullptr);
}
}  // namespace

void setDiagnosticSink(DiagnosticSink sink) {
    std::lock_guard lock(sinkSlot().mutex);
    sinkSlot().sink = std::move(sink);
}

void platformDiagnostic(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string line = formatted(format, args);
    va_end(args);
    if (DiagnosticSink sink = sinkOf(sinkSlot()))
        sink(line);
    else
        std::fprintf(stderr, "[telvo] %s\n", line.c_str());
}

void setPlainLogSink(DiagnosticSink sink) {
    std::lock_guard lock(plainSinkSlot().mutex);
    plainSinkSlot().sink = std::move(sink);
}

void setPlainLogForward(PlainLogForward forward) {
    std::lock_guard lock(forwardSlot().mutex);
    forwardSlot().forward = std::move(forward);
}

void plainLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string line = formatted(format, args);
    va_end(args);
    if (DiagnosticSink sink = sinkOf(plainSinkSlot())) {
        sink(line);
        return;
    }
    PlainLogForward forward;
    {
        std::lock_guard lock(forwardSlot().mutex);
        forward = forwardSlot().forward;
    }
    if (!forward || !forward(line)) toJournal(line);
}

}  // namespace telvo
