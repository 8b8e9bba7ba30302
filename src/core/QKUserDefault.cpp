#include "core/QKUserDefault.h"

#include <plist/plist.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <system_error>
#include <vector>

#include "core/CoreLog.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Singleton.h"

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

struct PlistDeleter {
    void operator()(void* node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// nullptr for what a property list cannot hold.
plist_t toPlist(const Value& value) {
    switch (value.type()) {
        case Value::Type::Bool:
            return plist_new_bool(value.boolValue() ? 1 : 0);
        case Value::Type::Int:
            return plist_new_uint(static_cast<uint64_t>(value.int64Value()));
        case Value::Type::UInt:
            return plist_new_uint(value.uint64Value());
        case Value::Type::Double:
            return plist_new_real(value.doubleValue());
        case Value::Type::Text:
            return plist_new_string(value.text().c_str());
        case Value::Type::Bytes: {
            const Bytes& b = value.bytes();
            return plist_new_data(reinterpret_cast<const char*>(b.data()), b.size());
        }
        case Value::Type::Array: {
            plist_t array = plist_new_array();
            for (const Value& element : value.array())
                if (plist_t item = toPlist(element)) plist_array_append_item(array, item);
            return array;
        }
        case Value::Type::Dictionary: {
            plist_t dict = plist_new_dict();
            for (const auto& [key, element] : value.dictionary())
                if (plist_t item = toPlist(element)) plist_dict_set_item(dict, key.c_str(), item);
            return dict;
        }
        case Value::Type::Null:
        case Value::Type::Object:
            return nullptr;
    }
    return nullptr;
}

Value fromPlist(plist_t node, int depth = 0) {
    if (!node || depth > 64) return {};
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN:
            return Value(plist_bool_val_is_true(node) != 0);
        case PLIST_UINT: {
            uint64_t v = 0;
            plist_get_uint_val(node, &v);
            // Integers are written signed: read them back the same way.
            return Value(static_cast<long long>(v));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return Value(d);
        }
        case PLIST_STRING: {
            uint64_t length = 0;
            const char* p = plist_get_string_ptr(node, &length);
            return Value(std::string(p ? p : "", p ? length : 0));
        }
        case PLIST_DATA: {
            uint64_t length = 0;
            const char* p = plist_get_data_ptr(node, &length);
            return Value(p ? Bytes(p, p + length) : Bytes{});
        }
        case PLIST_ARRAY: {
            Value::Array out;
            for (uint32_t i = 0, n = plist_array_get_size(node); i < n; ++i)
                out.push_back(fromPlist(plist_array_get_item(node, i), depth + 1));
            return out;
        }
        case PLIST_DICT: {
            Dictionary out;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                if (!item) {
                    free(key);
                    break;
                }
                if (key) out.set(key, fromPlist(item, depth + 1));
                free(key);
            }
            free(it);
            return out;
        }
        default:
            return {};
    }
}

// The property-list reader recurses once per nesting level; a file nested deeper than this is
// refused before it is parsed.
constexpr size_t kMaxNesting = 512;

bool xmlNestingWithin(const std::string& data, size_t limit) {
    size_t depth = 0;
    for (size_t at = data.find('<'); at != std::string::npos; at = data.find('<', at + 1)) {
        const bool closing = data.compare(at, 2, "</") == 0;
        const size_t name = at + (closing ? 2 : 1);
        const bool container =
            data.compare(name, 5, "array") == 0 || data.compare(name, 4, "dict") == 0;
        if (!container) continue;
        const size_t end = data.find('>', name);
        if (end == std::string::npos) return true;  // the parser refuses the cut tag
        if (closing) {
            if (depth) --depth;
        } else if (data[end - 1] != '/' && ++depth > limit) {
            return false;
        }
    }
    return true;
}

// Walks a binary property list's object graph without recursion. A table the parser would
// refuse anyway passes; a cycle, a path deeper than limit, or a dictionary key holding a zero
// character (the property-list library aborts on one) does not.
bool binaryPlistReadable(const std::string& data, size_t limit) {
    const auto* b = reinterpret_cast<const uint8_t*>(data.data());
    const size_t size = data.size();
    auto be = [&](size_t at, size_t width) {
        uint64_t v = 0;
        for (size_t i = 0; i < width; ++i) v = v << 8 | b[at + i];
        return v;
    };
    if (size < 8 + 32) return true;
    const size_t t = size - 32;
    const size_t offsetSize = b[t + 6], refSize = b[t + 7];
    const uint64_t count = be(t + 8, 8), top = be(t + 16, 8), table = be(t + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || count == 0 ||
        top >= count || table > t || count > (t - table) / offsetSize)
        return true;
    // Objects may share their bytes, so the bytes looked at are budgeted.
    uint64_t budget = 4 * uint64_t{kMaxFileSize};
    bool refused = false;
    // Object i's type, where its contents start and how many entries (count) they have; type
    // 0 when it does not fit before the offset table.
    struct Entries {
        int type = 0;
        size_t at = 0;
        uint64_t count = 0;
    };
    auto entriesOf = [&](uint64_t i) -> Entries {
        const uint64_t at = be(static_cast<size_t>(table + i * offsetSize), offsetSize);
        if (at >= table) return {};
        const uint8_t marker = b[at];
        uint64_t n = marker & 0x0F;
        size_t p = static_cast<size_t>(at) + 1;
        if (n == 0x0F) {
            if (p >= table || (b[p] & 0xF0) != 0x10) return {};
            const size_t width = size_t{1} << (b[p] & 0x0F);
            if (width > 8 || table - (p + 1) < width) return {};
            n = be(p + 1, width);
            p += 1 + width;
        }
        return {marker >> 4, p, n};
    };
    auto keyHasZero = [&](uint64_t k) {
        if (k >= count) return false;
        const Entries key = entriesOf(k);
        const size_t unit = key.type == 0x6 ? 2 : 1;
        if ((key.type != 0x5 && key.type != 0x6) || key.count > (table - key.at) / unit)
            return false;
        if (budget < key.count) return refused = true;
        budget -= key.count;
        for (size_t i = 0; i < key.count; ++i)
            if (b[key.at + i * unit] == 0 && (unit == 1 || b[key.at + i * unit + 1] == 0))
                return true;
        return false;
    };
    // Where the references of container i start and how many there are.
    auto refsOf = [&](uint64_t i) -> Entries {
        Entries e = entriesOf(i);
        if (e.type != 0xA && e.type != 0xC && e.type != 0xD) return {};
        if (e.type == 0xD) {
            if (e.count > (table - e.at) / refSize / 2) return {};
            for (uint64_t k = 0; k < e.count; ++k)
                if (keyHasZero(be(e.at + static_cast<size_t>(k) * refSize, refSize)))
                    refused = true;
            e.count *= 2;
        }
        if (e.count > (table - e.at) / refSize) return {};
        return e;
    };
    // 0 unvisited, 1 on the current path, 2 finished; the depth below each finished object.
    std::vector<uint8_t> state(count, 0);
    std::vector<uint32_t> below(count, 0);
    struct Frame {
        uint64_t object;
        Entries refs;
        uint64_t next = 0;
        uint32_t deepest = 0;
    };
    std::vector<Frame> path;
    path.push_back({top, refsOf(top)});
    state[top] = 1;
    while (!path.empty() && !refused) {
        Frame& f = path.back();
        if (f.next == f.refs.count) {
            below[f.object] = f.deepest;
            state[f.object] = 2;
            const uint32_t depth = f.deepest + 1;
            path.pop_back();
            if (!path.empty()) path.back().deepest = std::max(path.back().deepest, depth);
            continue;
        }
        if (budget-- == 0) return false;
        const uint64_t k = be(f.refs.at + static_cast<size_t>(f.next++) * refSize, refSize);
        if (k >= count) continue;
        if (state[k] == 2) {
            f.deepest = std::max(f.deepest, below[k] + 1);
            continue;
        }
        if (state[k] == 1 || path.size() >= limit) return false;
        state[k] = 1;
        path.push_back({k, refsOf(k)});
    }
    return !refused && below[top] <= limit;
}

}  // namespace

QKUserDefault::QKUserDefault(std::filesystem::path folder)
    : folder_(std::move(folder)),
      writer_(folder_.empty() ? nullptr : std::make_shared<Writer>(folder_)) {}

std::shared_ptr<QKUserDefault> QKUserDefault::standardUserDefaults() {
    std::lock_guard lock(sharedStore().mutex);
    if (!sharedStore().instance)
        sharedStore().instance = std::make_shared<QKUserDefault>(sharedStore().folder);
    return sharedStore().instance;
}

void QKUserDefault::loadLocked() const {
    if (loaded_) return;
    loaded_ = true;
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
    // The XML reader accepts a document cut short after its last complete element; a file we
    // wrote always ends its root, so anything else is a torn or foreign file.
    const bool binary = plist_is_binary(data.data(), static_cast<uint32_t>(data.size()));
    if (!binary) {
        size_t end = data.find_last_not_of(" \t\r\n");
        if (end == std::string::npos || end + 1 < 8 ||
            data.compare(end + 1 - 8, 8, "</plist>") != 0) {
            loadFailure_ = "settings file corrupt, starting empty";
            return;
        }
    }
    if (!(binary ? binaryPlistReadable(data, kMaxNesting) : xmlNestingWithin(data, kMaxNesting))) {
        loadFailure_ = "settings file corrupt, starting empty";
        return;
    }
    plist_t root = nullptr;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
    PlistPtr owner(root);
    if (!root || plist_get_node_type(root) != PLIST_DICT) {
        loadFailure_ = "settings file corrupt, starting empty";
        return;
    }
    values_ = fromPlist(root).dictionary();
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
        PlistPtr root(toPlist(Value(values)));
        char* xml = nullptr;
        uint32_t length = 0;
        plist_to_xml(root.get(), &xml, &length);
        if (!xml) return "settings not written: encoding failed";
        std::string text(xml, length);
        plist_to_xml_free(xml);

        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        const std::filesystem::path path = folder / kFileName;
        const std::filesystem::path temp = folder / (std::string(kFileName) + ".tmp");
        FILE* f = std::fopen(temp.c_str(), "wb");
        if (!f) return "settings not written: cannot create file";
        bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
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
    {
        std::lock_guard lock(mutex_);
        loadLocked();
        if (value.isNull())
            values_.erase(key);
        else
            values_.set(key, value);
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
    }
    if (old) old->synchronize();
}

}  // namespace telvo
