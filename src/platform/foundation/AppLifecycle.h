#pragma once

#include <string>
#include <vector>

namespace telvo {

// Application state notifications, posted by the host through the default NotificationCenter
// under these exact names (no object, empty user info).
inline constexpr const char* UIApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* UIApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";

class AppLifecycle {
  public:
    // Post the notification as the platform does when the app moves to the background or comes
    // back, whatever the state (the app's own calls are below). Observers run on the main
    // queue: at once when called there (or on the main thread), else asynchronously on it.
    static void postDidEnterBackground();
    static void postWillEnterForeground();
    static bool isInBackground();

    // The app's own calls (TelvoSDKApplicationDidEnterBackground and
    // TelvoSDKApplicationWillEnterForeground): from any thread, never delivered inside the
    // call. Each is queued to the main queue, behind what is already there, so calls reach the
    // observers in the order they were queued; there a call posts only when it changes the
    // state: a second background, or a foreground while not in the background, posts nothing.
    static void applicationDidEnterBackground();
    static void applicationWillEnterForeground();

    // Makes the default notification centre hand asynchronous posts to the main queue again
    // (its default, from the start), undoing a replaced executor. Idempotent.
    static void connectNotificationCenter();

    static void resetForTesting();
};

// Facts about the device and the app that the platform would give (User-Agent and the like).
// The host sets them; the defaults come from the process and uname().
struct DeviceInfo {
    std::string executableName;    // the app's executable name
    std::string bundleIdentifier;  // used when there is no executable name
    std::string shortVersion;      // the app's short version ("1.2.3")
    std::string bundleVersion;     // the app's build version, used when there is no short one
    std::string model;             // device model
    std::string systemVersion;     // operating system version
    double screenScale = 1.0;
    std::vector<std::string> preferredLanguages;  // most preferred first ("en-US")
    std::vector<std::string> backgroundModes;     // the app's UIBackgroundModes entries

    static DeviceInfo current();
    static void setCurrent(DeviceInfo info);
    static void resetForTesting();
};

}  // namespace telvo
