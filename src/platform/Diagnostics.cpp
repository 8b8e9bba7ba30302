#include "platform/Diagnostics.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace telvo {

namespace {
std::mutex gSinkMutex;
DiagnosticSink gSink;
}  // namespace

void setDiagnosticSink(DiagnosticSink sink) {
    std::lock_guard lock(gSinkMutex);
    gSink = std::move(sink);
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
        std::lock_guard lock(gSinkMutex);
        sink = gSink;
    }
    if (sink) {
        sink(line);
    } else {
        std::fprintf(stderr, "[telvo] %s\n", line.c_str());
    }
}

}  // namespace telvo
