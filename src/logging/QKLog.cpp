#include "logging/QKLog.h"

#include <atomic>
#include <cstdarg>
#include <string>

#include "core/CoreLog.h"
#include "core/QKUserDefault.h"
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

// "logenable" as last read, with the settings' change count it was read at (count * 2 + on),
// so that a line is not a lookup in the settings while they stay as they were.
std::atomic<uint64_t> gLogEnabledAt{0};

bool logEnabledNow() {
    const uint64_t changes = settingsChangeCount();
    const uint64_t seen = gLogEnabledAt.load(std::memory_order_acquire);
    if (seen >> 1 == changes) return seen & 1;
    const bool on = QKUserDefault::standardUserDefaults()->boolForKey("logenable");
    gLogEnabledAt.store(changes << 1 | (on ? 1 : 0), std::memory_order_release);
    return on;
}

void logGate(const char* tag, const char* file, const char* function, int line, const char* format,
             va_list args) {
    if (!logEnabledNow()) return;
    auto settings = QKUserDefault::standardUserDefaults();
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

bool QKLogEnabled() {
    return logEnabledNow();
}

void QKLogGate(const char* tag, const char* file, const char* function, int line,
               const char* format, ...) {
    va_list args;
    va_start(args, format);
    logGate(tag, file, function, line, format, args);
    va_end(args);
}

void registerLogging() {
    // Core sits below this gate: its lines come here through the hook it offers.
    setCoreLogGate([](const char* file, const char* function, int line, const char* format,
                      va_list args) { logGate(nullptr, file, function, line, format, args); });
    setDiagnosticSink([](std::string_view line) {
        QKLogGate(nullptr, "platform", "platformDiagnostic", 0, "%.*s",
                  static_cast<int>(line.size()), line.data());
    });
    // The plain log goes where the system log would, unless the app takes its lines.
    setPlainLogForward([](std::string_view line) {
        if (!KorvoDelegateLog::isSupuortDelegateLog()) return false;
        KorvoDelegateLog::cutomLogWithLevel(3, "", "plainLog", 0, "%.*s",
                                            static_cast<int>(line.size()), line.data());
        return true;
    });
}

}  // namespace telvo
