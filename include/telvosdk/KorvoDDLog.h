#pragma once

#include <filesystem>

#include "telvosdk/Export.h"

namespace telvo {

// The plain-text file logger. Each line goes, with its local time stamp
// ("yyyy/MM/dd HH:mm:ss:SSS  "), to the day's file "LogFromSLK-yyyy-MM-dd.log" in the folder
// the host set; without a folder lines are dropped. Files are written on the logger's own
// serial queue, so a line's date is taken when it is logged, not when it is written.
class TELVO_EXPORT KorvoDDLog {
  public:
    // A line is written when level has the bit of flag (level -1 takes every flag);
    // asynchronous NO waits until the line is in the file. context and tag are not used.
    static void log(bool asynchronous, int level, int flag, int context, const char* file,
                    const char* function, int line, const char* tag, const char* format, ...)
        __attribute__((format(printf, 9, 10)));

    // Host set-up: the folder of the log files (created when missing); empty stops writing.
    static void setLogDirectory(const std::filesystem::path& folder);
    // Returns when every line logged so far is in its file.
    static void flush();
};

}  // namespace telvo
