#include "telvosdk/QKSDKLog.h"

#include <cstdarg>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>

#include "core/QKTool.h"
#include "logging/LogFormat.h"
#include "logging/QKSDKLogStore.h"
#include "platform/base/Singleton.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"

namespace telvo {

namespace {

struct Front {
    // Guards the settings; the store itself is touched only on the queue.
    std::mutex mutex;
    std::filesystem::path folder;
    Bytes key, iv;
    uint64_t generation = 0;

    DispatchQueuePtr queue = DispatchQueue::createSerial("QKSDKLog");
    std::unique_ptr<QKSDKLogStore> store;
    uint64_t storeGeneration = 0;
};

Front& front() {
    return processWide([] { return new Front(); });
}

// Settings changed: close the open section under the old ones (on the queue).
void applyLogSettings(Front& f) {
    f.queue->async([&f] { f.store.reset(); });
}

// Compact JSON, keys in this order. Texts end at a zero byte; a byte sequence that is not UTF-8
// becomes U+FFFD, so that every record reads as JSON.
std::string record(const std::string& text, int type, int64_t millis, const std::string& module,
                   const char* file, const char* function, int line) {
    const nlohmann::ordered_json object = {
        {"c", text.c_str()},
        {"f", type},
        {"l", millis},
        {"n", module.c_str()},
        {"file", file ? file : ""},
        {"func", function ? function : ""},
        {"line", line},
    };
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

void QKSDKLog::log(int type, const std::string& moduleName, const char* file, const char* function,
                   int line, const char* format, ...) {
    Front& f = front();
    std::filesystem::path folder;
    Bytes key, iv;
    uint64_t generation;
    {
        std::lock_guard lock(f.mutex);
        if (f.folder.empty() || f.key.size() != 16 || f.iv.size() != 16) return;
        folder = f.folder;
        key = f.key;
        iv = f.iv;
        generation = f.generation;
    }
    va_list args;
    va_start(args, format);
    std::string text = formatLogText(format, args);
    va_end(args);
    const double now = Clock::wallTime();
    std::string day = QKTool::getNSStringFromNSDate(now, "yyyy-MM-dd");
    std::string entry =
        record(text, type, QKTool::longLongFromDate(now), moduleName, file, function, line);
    f.queue->async([&f, folder = std::move(folder), key = std::move(key), iv = std::move(iv),
                    generation, day = std::move(day), text = std::move(entry)] {
        if (!f.store || f.storeGeneration != generation) {
            f.store.reset();
            f.store = std::make_unique<QKSDKLogStore>(folder, key, iv);
            f.storeGeneration = generation;
        }
        f.store->write(text, day);
    });
}

void QKSDKLog::setLogDirectory(const std::filesystem::path& folder) {
    Front& f = front();
    {
        std::lock_guard lock(f.mutex);
        f.folder = folder;
        ++f.generation;
    }
    applyLogSettings(f);
}

void QKSDKLog::setKeyAndIv(const Bytes& key, const Bytes& iv) {
    Front& f = front();
    {
        std::lock_guard lock(f.mutex);
        f.key = key;
        f.iv = iv;
        ++f.generation;
    }
    applyLogSettings(f);
}

void QKSDKLog::flush() {
    Front& f = front();
    f.queue->sync([&f] {
        if (f.store) f.store->flush();
    });
}

}  // namespace telvo
