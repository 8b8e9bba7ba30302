#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "telvosdk/Export.h"
#include "telvosdk/Value.h"

namespace telvo {

// The SDK's own settings store. Every access is locked, briefly: the log gate reads it for
// every line. Every change is written whole to "QKUserDefault.plist" in the folder the host
// set (a temporary file renamed over the old one, so a reader never sees half a file), on a
// serial queue of the store's own after the change returns; changes that come while a write is
// waiting join it, and the newest values are what is written. synchronize() waits for it. The file
// is read on first use; a file that cannot be read or parsed gives an empty store and a log line.
// Without a folder the store lives in memory only. A load failure is logged once logging is on
// ("logenable" went with the lost file, so the line waits for the app to set it again). Values that
// a property list cannot hold (null, object handles, texts that are not UTF-8 or hold control
// characters but tab and line feed) are not written. A value nested deeper than 511 containers
// is not stored (a log line says so; the key keeps what it had), and a file the store would not
// read again (over 16 MiB) is not written: the last one stays.
class TELVO_EXPORT QKUserDefault {
  public:
    static std::shared_ptr<QKUserDefault> standardUserDefaults();

    // The stored value, or a null Value when the key was never set.
    Value valueForKey(const std::string& key) const;
    // The stored boolean; NO when absent or not a number.
    bool boolForKey(const std::string& key) const;
    void setValue(const Value& value, const std::string& key);
    void setBool(bool value, const std::string& key);
    void removeObjectForKey(const std::string& key);
    // Returns once every change made before the call is on disk (or failed with a log line).
    void synchronize() const;

    // Host set-up: the folder of the settings file. Takes effect for the next store made.
    static void setStorageDirectory(const std::filesystem::path& folder);

    explicit QKUserDefault(std::filesystem::path folder = {});

  private:
    // Loads the file once; a failure is kept for reportPending().
    void loadLocked() const;
    // Hands a snapshot of the values to the writer (called with the lock held, so snapshots
    // reach it in the order of the changes).
    void scheduleSaveLocked();
    void reportPending() const;

    struct Writer;
    const std::filesystem::path folder_;
    const std::shared_ptr<Writer> writer_;
    mutable std::recursive_mutex mutex_;
    mutable bool loaded_ = false;
    mutable std::string loadFailure_;
    mutable Dictionary values_;
};

}  // namespace telvo
