#include "platform/foundation/AppLifecycle.h"

#include <sys/utsname.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "platform/base/Singleton.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"

namespace telvo {

namespace {

std::atomic<bool> gInBackground{false};

const char* notificationName(bool background) {
    return background ? UIApplicationDidEnterBackgroundNotification
                      : UIApplicationWillEnterForegroundNotification;
}

void post(bool background) {
    gInBackground = background;
    NotificationCenter::defaultCenter()->postNotificationName(notificationName(background));
}

void postOnMain(bool background) {
    auto main = DispatchQueue::main();
    if (main->isCurrent() || MainLoop::isMainThread()) {
        post(background);
    } else {
        main->async([background] { post(background); });
    }
}

// The state is read and changed on the main thread alone, so concurrent calls cannot post the
// same change twice or leave the state behind the last change posted.
void queueChange(bool background) {
    DispatchQueue::main()->async([background] {
        if (gInBackground.load() != background) post(background);
    });
}

std::mutex& deviceMutex() {
    return processWide([] { return new std::mutex(); });
}

std::optional<DeviceInfo>& deviceSlot() {
    return processWide([] { return new std::optional<DeviceInfo>(); });
}

std::string languageFromEnvironment() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(var);
        if (!value || !*value) continue;
        std::string text(value);
        text = text.substr(0, text.find_first_of(".@"));
        if (text.empty() || text == "C" || text == "POSIX") continue;
        for (auto& c : text)
            if (c == '_') c = '-';
        return text;
    }
    return "en";
}

DeviceInfo systemDefaults() {
    DeviceInfo info;
    info.executableName = program_invocation_short_name ? program_invocation_short_name : "";
    utsname names{};
    if (uname(&names) == 0) {
        info.model = names.machine;
        info.systemVersion = names.release;
    }
    info.preferredLanguages = {languageFromEnvironment()};
    return info;
}

}  // namespace

void AppLifecycle::postDidEnterBackground() {
    postOnMain(true);
}

void AppLifecycle::postWillEnterForeground() {
    postOnMain(false);
}

void AppLifecycle::applicationDidEnterBackground() {
    queueChange(true);
}

void AppLifecycle::applicationWillEnterForeground() {
    queueChange(false);
}

bool AppLifecycle::isInBackground() {
    return gInBackground.load();
}

void AppLifecycle::connectNotificationCenter() {
    NotificationCenter::defaultCenter()->setAsyncExecutor(nullptr);
}

void AppLifecycle::resetForTesting() {
    gInBackground = false;
}

DeviceInfo DeviceInfo::current() {
    std::lock_guard<std::mutex> lock(deviceMutex());
    if (!deviceSlot()) deviceSlot() = systemDefaults();
    return *deviceSlot();
}

void DeviceInfo::setCurrent(DeviceInfo info) {
    std::lock_guard<std::mutex> lock(deviceMutex());
    deviceSlot() = std::move(info);
}

void DeviceInfo::resetForTesting() {
    std::lock_guard<std::mutex> lock(deviceMutex());
    deviceSlot().reset();
}

}  // namespace telvo
