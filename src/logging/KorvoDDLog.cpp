#include "telvosdk/KorvoDDLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "core/QKTool.h"
#include "logging/LogFormat.h"
#include "platform/base/Singleton.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"

namespace telvo {

namespace {

struct Logger {
    std::mutex mutex;
    std::filesystem::path folder;
    DispatchQueuePtr queue = DispatchQueue::createSerial("KorvoDDLog");
};

Logger& logger() {
    return processWide([] { return new Logger(); });
}

void appendLine(const std::filesystem::path& folder, const std::string& day,
                const std::string& text) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    const std::filesystem::path path = folder / ("LogFromSLK-" + day + ".log");
    if (FILE* f = std::fopen(path.c_str(), "ab")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

}  // namespace

void KorvoDDLog::log(bool asynchronous, int level, int flag, int, const char*, const char*, int,
                     const char*, const char* format, ...) {
    if ((level & flag) == 0) return;
    Logger& l = logger();
    std::filesystem::path folder;
    {
        std::lock_guard lock(l.mutex);
        folder = l.folder;
    }
    if (folder.empty()) return;
    va_list args;
    va_start(args, format);
    std::string message = formatLogText(format, args);
    va_end(args);
    const double now = Clock::wallTime();
    std::string text =
        QKTool::getNSStringFromNSDate(now, "yyyy/MM/dd HH:mm:ss:SSS") + "  " + message + "\n";
    std::string day = QKTool::getNSStringFromNSDate(now, "yyyy-MM-dd");
    auto work = [folder, day = std::move(day), text = std::move(text)] {
        appendLine(folder, day, text);
    };
    if (asynchronous)
        l.queue->async(std::move(work));
    else
        l.queue->sync(work);
}

void KorvoDDLog::setLogDirectory(const std::filesystem::path& folder) {
    std::lock_guard lock(logger().mutex);
    logger().folder = folder;
}

void KorvoDDLog::flush() {
    logger().queue->sync([] {});
}

}  // namespace telvo
