#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "telvosdk/Value.h"

namespace telvo {

// The SDK's own settings store. Every access is locked; every change is written whole to
// "QKUserDefault.plist" in the folder the host set (a temporary file renamed over the old
// one, so a reader never sees half a file). The file is read on first use; a file that cannot
// be read or parsed gives an empty store and a log line. Without a folder the store lives in
// memory only. A load failure is logged once logging is on ("logenable" went with the lost
// file, so the line waits for the app to set it again). Values that a property list cannot hold
// (null, object handles) are not written.
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

    explicit QKUserDefault(std::filesystem::path folder = {});

private:
    // Loads the file once; a failure is kept for reportPending().
    void loadLocked() const;
    // Answers a failure to report (outside the lock), or "".
    std::string saveLocked() const;
    void reportPending() const;

    const std::filesystem::path folder_;
    mutable std::recursive_mutex mutex_;
    mutable bool loaded_ = false;
    mutable std::string loadFailure_;
    mutable Dictionary values_;
};

}  // namespace telvo
