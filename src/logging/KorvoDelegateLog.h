#pragma once

#include <string>

namespace telvo {

// Hands log lines to the app's log delegate (set on QKMiddleInterface).
class KorvoDelegateLog {
  public:
    // YES when the app has set a log delegate that is still alive.
    static bool isSupuortDelegateLog();
    // Formats the line and calls the delegate's sdkCustomLogWithLevel with a null extra, on
    // the calling thread. Nothing happens without a delegate.
    static void cutomLogWithLevel(int level, const std::string& tagId, const std::string& fileName,
                                  int lineName, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
};

}  // namespace telvo
