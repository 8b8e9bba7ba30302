#include "logging/QKLog.h"

#include <cstdarg>
#include <string>

#include "logging/KorvoDelegateLog.h"
#include "logging/LogFormat.h"
#include "platform/foundation/Diagnostics.h"
#include "telvosdk/KorvoDDLog.h"
#include "telvosdk/QKSDKLog.h"
#include "telvosdk/QKUserDefault.h"

namespace telvo {

void QKLogGate(const char* tag, const char* file, const char* function, int line,
               const char* format, ...) {
    auto settings = QKUserDefault::standardUserDefaults();
    if (!settings->boolForKey("logenable")) return;
    va_list args;
    va_start(args, format);
    const std::string text = formatLogText(format, args);
    va_end(args);
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

void registerLogging() {
    setDiagnosticSink([](std::string_view line) {
        QKLogGate(nullptr, "platform", "platformDiagnostic", 0, "%.*s",
                  static_cast<int>(line.size()), line.data());
    });
}

}  // namespace telvo
