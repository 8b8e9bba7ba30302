#include "core/QKUserDefault.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <limits>
#include <system_error>
#include <vector>

#include "core/CoreLog.h"
#include "platform/base/Singleton.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/PropertyList.h"

namespace telvo {

namespace {
struct SharedStore {
    std::mutex mutex;
    std::shared_ptr<QKUserDefault> instance;
    std::filesystem::path folder;
};
SharedStore& sharedStore() {
    return processWide([] { return new SharedStore(); });
}

constexpr const char* kFileName = "QKUserDefault.plist";
constexpr size_t kMaxFileSize = 16 * 1024 * 1024;

}  // namespace

QKUserDefault::QKUserDefault(std::filesystem::path folder)
    : folder_(std::move(folder)),
      writer_(folder_.empty() ? nullptr : std::make_shared<Writer>(folder_)) {}

namespace {
std::atomic<uint64_t> gSettingsChanges{1};
void settingsChanged() {
    gSettingsChanges.fetch_add(1, std::memory_order_acq_rel);
}
}  // namespace

uint64_t settingsChangeCount() {
    return gSettingsChanges.load(std::memory_order_acquire);
}

std::shared_ptr<QKUserDefault> QKUserDefault::standardUserDefaults() {
    std::lock_guard lock(sharedStore().mutex);
    if (!sharedStore().instance) {
        sharedStore().instance = std::make_shared<QKUserDefault>(sharedStore().folder);
        settingsChanged();
    }
    return sharedStore().instance;
}

void QKUserDefault::loadLocked() const {
    if (loaded_) return;
    loaded_ = true;
    settingsChanged();
    if (folder_.empty()) return;
    const std::filesystem::path path = folder_ / kFileName;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return;
    std::ifstream in(path, std::ios::binary);
    std::string data;
    if (in) {
        in.seekg(0, std::ios::end);
        std::streamoff size = in.tellg();
        if (size >= 0 && static_cast<size_t>(size) <= kMaxFileSize) {
            data.resize(static_cast<size_t>(size));
            in.seekg(0);
            in.read(data.data(), size);
        }
        if (!in) data.clear();
    }
    if (data.empty()) {
        loadFailure_ = "settings file unreadable, starting empty";
        return;
    }
    std::optional<Value> root =
        PropertyListSerialization::propertyListWithData(data, 0, nullptr, nullptr);
    if (!root || !root->isDictionary()) {
        loadFailure_ = "settings file corrupt, starting empty";
        return;
    }
    values_ = std::move(root->mutableDictionary());
}

// Writes snapshots on its serial queue: one write at a time, and the newest snapshot waiting
// replaces an older one, so a burst of changes costs one write.
struct QKUserDefault::Writer {
    explicit Writer(std::filesystem::path folder)
        : folder(std::move(folder)), queue(DispatchQueue::createSerial("QKUserDefault.write")) {}

    static void offer(const std::shared_ptr<Writer>& writer, Dictionary snapshot) {
        writer->enqueue(writer, std::move(snapshot));
    }

    void enqueue(const std::shared_ptr<Writer>& self, Dictionary snapshot) {
        bool schedule;
        {
            std::lock_guard lock(mutex);
            schedule = !next;
            next = std::move(snapshot);
        }
        if (schedule) queue->async([self] { self->writeNext(); });
    }

    void writeNext() {
        std::optional<Dictionary> values;
        {
            std::lock_guard lock(mutex);
            values.swap(next);
        }
        if (!values) return;
        const std::string failure = save(*values);
        if (!failure.empty()) QKCORELOG("QKUserDefault %s", failure.c_str());
    }

    std::string save(const Dictionary& values) const {
        // What a property list cannot hold stays out of the file; a file the store would not
        // read again is not written, and the last one stays.
        ErrorPtr error;
        std::optional<Bytes> text = PropertyListSerialization::dataWithPropertyList(
            Value(values), kPropertyListXMLFormat, kPropertyListWriteSkippingUnrepresentable,
            &error);
        if (!text) return "settings not written: " + (error ? error->localizedDescription() : "");
        if (text->size() > kMaxFileSize) return "settings not written: over 16 MiB";

        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        const std::filesystem::path path = folder / kFileName;
        const std::filesystem::path temp = folder / (std::string(kFileName) + ".tmp");
        FILE* f = std::fopen(temp.c_str(), "wb");
        if (!f) return "settings not written: cannot create file";
        bool ok = std::fwrite(text->data(), 1, text->size(), f) == text->size();
        ok = std::fflush(f) == 0 && ok;
        ok = ::fsync(fileno(f)) == 0 && ok;
        ok = std::fclose(f) == 0 && ok;
        if (ok) std::filesystem::rename(temp, path, ec);
        if (!ok || ec) {
            std::filesystem::remove(temp, ec);
            return "settings not written: write failed";
        }
        return {};
    }

    const std::filesystem::path folder;
    const DispatchQueuePtr queue;
    std::mutex mutex;
    std::optional<Dictionary> next;
};

void QKUserDefault::scheduleSaveLocked() {
    if (writer_) Writer::offer(writer_, values_);
}

void QKUserDefault::synchronize() const {
    if (writer_) writer_->queue->sync([] {});
}

void QKUserDefault::reportPending() const {
    std::string failure;
    {
        std::lock_guard lock(mutex_);
        if (loadFailure_.empty()) return;
        const Value* on = values_.find("logenable");
        if (!on || !on->isNumber() || !on->boolValue()) return;
        failure.swap(loadFailure_);
    }
    QKCORELOG("QKUserDefault %s", failure.c_str());
}

Value QKUserDefault::valueForKey(const std::string& key) const {
    Value v;
    {
        std::lock_guard lock(mutex_);
        loadLocked();
        v = values_[key];
    }
    reportPending();
    return v;
}

bool QKUserDefault::boolForKey(const std::string& key) const {
    Value v = valueForKey(key);
    return v.isNumber() && v.boolValue();
}

void QKUserDefault::setValue(const Value& value, const std::string& key) {
    // The file holds the value in its top dictionary: one level more than the value.
    if (propertyListNesting(value) >= kPropertyListMaxNesting) {
        QKCORELOG("QKUserDefault value for %s not stored: nested deeper than %zu containers",
                  key.c_str(), kPropertyListMaxNesting - 1);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        loadLocked();
        if (value.isNull())
            values_.erase(key);
        else
            values_.set(key, value);
        settingsChanged();
        scheduleSaveLocked();
    }
    reportPending();
}

void QKUserDefault::setBool(bool value, const std::string& key) {
    setValue(Value(value), key);
}

void QKUserDefault::removeObjectForKey(const std::string& key) {
    setValue(Value(), key);
}

void QKUserDefault::setStorageDirectory(const std::filesystem::path& folder) {
    std::lock_guard lock(sharedStore().mutex);
    sharedStore().folder = folder;
}

template <>
void resetForTesting<QKUserDefault>() {
    std::shared_ptr<QKUserDefault> old;
    {
        std::lock_guard lock(sharedStore().mutex);
        old.swap(sharedStore().instance);
        settingsChanged();
    }
    if (old) old->synchronize();
}

}  // namespace telvo
