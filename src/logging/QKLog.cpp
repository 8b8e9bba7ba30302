#include "logging/QKLog.h"

#include <cstdarg>
#include <string>

#include "core/CoreLog.h"
#include "logging/KorvoDelegateLog.h"
#include "logging/LogFormat.h"
#include "platform/foundation/Diagnostics.h"
#include "telvosdk/KorvoDDLog.h"
#include "telvosdk/QKSDKLog.h"
#include "telvosdk/QKUserDefault.h"

namespace telvo {

namespace {

void logGate(const char* tag, const char* file, const char* function, int line, const char* format,
             va_list args) __attribute__((format(printf, 5, 0)));

// Core sits below this gate: its lines come here through the hook it offers. Installed while
// the program starts, so a line of the settings store is never lost to the app's
// initialisation order.
const bool coreLogForwarded = [] {
    setCoreLogGate([](const char* file, const char* function, int line, const char* format,
                      va_list args) { logGate(nullptr, file, function, line, format, args); });
    return true;
}();

void logGate(const char* tag, const char* file, const char* function, int line, const char* format,
             va_list args) {
    auto settings = QKUserDefault::standardUserDefaults();
    if (!settings->boolForKey("logenable")) return;
    const std::string text = formatLogText(format, args);
    if (KorvoDelegateLog::isSupuortDelegateLog()) {
        KorvoDelegateLog::cutomLogWithLevel(3, tag ? tag : "", file ? file : "", line, "%s",
                                            text.c_str());
    } else if (settings->boolForKey("encryptEnable")) {
        QKSDKLog::log(0, "", file, function, line, "%s", text.c_str());
    } else {
        KorvoDDLog::log(true, -1, 4, 0, file, function, line, nullptr,
                        "[ZantorSDK-Log:%s] [Line %d] %s", function ? function : "", line,
                        text.c_str());
    }
}

}  // namespace

void QKLogGate(const char* tag, const char* file, const char* function, int line,
               const char* format, ...) {
    va_list args;
    va_start(args, format);
    logGate(tag, file, function, line, format, args);
    va_end(args);
}

void registerLogging() {
    setDiagnosticSink([](std::string_view line) {
        QKLogGate(nullptr, "platform", "platformDiagnostic", 0, "%.*s",
                  static_cast<int>(line.size()), line.data());
    });
}

}  // namespace telvo
