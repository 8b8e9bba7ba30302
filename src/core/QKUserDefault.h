#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Value.h"

namespace telvo {

// The SDK's own settings store. Every access is locked; every change is written whole to
// "QKUserDefault.plist" in the folder the host set.
class QKUserDefault {
public:
    static std::shared_ptr<QKUserDefault> standardUserDefaults();

    // The stored value, or a null Value when the key was never set.
    Value valueForKey(const std::string& key) const;
    // The stored boolean; NO when absent or not a number.
    bool boolForKey(const std::string& key) const;
    void setValue(const Value& value, const std::string& key);
    void setBool(bool value, const std::string& key);
    void removeObjectForKey(const std::string& key);

    // Host set-up: the folder of the settings file. Takes effect for the next store made.
    static void setStorageDirectory(const std::filesystem::path& folder);
    // Drops the shared store so that the next access loads it afresh (tests).
    static void resetForTesting();

private:
    mutable std::recursive_mutex mutex_;
    Dictionary values_;
};

}  // namespace telvo
