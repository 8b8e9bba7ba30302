#pragma once

#include <functional>
#include <string_view>

namespace telvo {

// Where the platform layer reports its own soft failures (a name missing from the registry...).
// The platform calls nothing above it; the logging layer may install a sink that forwards the
// lines into the library's log.
using DiagnosticSink = std::function<void(std::string_view line)>;

// Installs a sink; an empty function restores the default (a line on stderr). The sink may be
// called from any thread, one line at a time.
void setDiagnosticSink(DiagnosticSink sink);

// Formats one line printf-style and hands it to the sink.
void platformDiagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The platform's plain log (NSLog): what a component writes outside the library's logging gate.
// The default sink writes one line on stderr; an empty function restores it. Any thread.
void setPlainLogSink(DiagnosticSink sink);
void plainLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace telvo
