#include "logging/KorvoDelegateLog.h"

#include <cstdarg>

#include "logging/LogFormat.h"
#include "telvosdk/QKMiddleInterface.h"

namespace telvo {

bool KorvoDelegateLog::isSupuortDelegateLog() {
    return QKMiddleInterface::shareInstance()->customLogDelegate() != nullptr;
}

void KorvoDelegateLog::cutomLogWithLevel(int level, const std::string& tagId,
                                         const std::string& fileName, int lineName,
                                         const char* format, ...) {
    auto delegate = QKMiddleInterface::shareInstance()->customLogDelegate();
    if (!delegate) return;
    va_list args;
    va_start(args, format);
    std::string text = formatLogText(format, args);
    va_end(args);
    delegate->sdkCustomLogWithLevel(level, tagId, fileName, lineName, Value(), text);
}

}  // namespace telvo
