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

// The platform's plain log (NSLog): what a component writes outside the library's logging gate,
// whether logging is on or not. A line goes to the sink when one is set (tests); otherwise to
// the forward when it takes it (the logging layer's: the app's log delegate), else to the
// system journal, and is dropped silently when there is no journal. Never to stderr. An empty
// function removes a sink or forward. Any thread.
void setPlainLogSink(DiagnosticSink sink);
// Returns whether it took the line.
using PlainLogForward = std::function<bool(std::string_view line)>;
void setPlainLogForward(PlainLogForward forward);
void plainLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace telvo
