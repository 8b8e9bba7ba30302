#include "platform/foundation/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

namespace telvo {

namespace {

// The binary reader's walk looks at no more than four times this many bytes (or four times
// the document's size, when that is larger).
constexpr size_t kLookBudgetFloor = 16 * 1024 * 1024;

struct PlistDeleter {
    void operator()(void* node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// nullptr for what a property list cannot hold; *refused is set when such a value is met
// (inside a container it is left out, or the whole conversion fails when strict).
plist_t toPlist(const Value& value, bool strict, bool* refused) {
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
            // The library takes C strings: a text holding a zero character cannot be written
            // whole.
            if (value.text().find('\0') != std::string::npos) break;
            return plist_new_string(value.text().c_str());
        case Value::Type::Bytes: {
            const Bytes& b = value.bytes();
            return plist_new_data(reinterpret_cast<const char*>(b.data()), b.size());
        }
        case Value::Type::Array: {
            PlistPtr array(plist_new_array());
            for (const Value& element : value.array()) {
                plist_t item = toPlist(element, strict, refused);
                if (item) plist_array_append_item(array.get(), item);
                if (!item && strict) return nullptr;
            }
            return array.release();
        }
        case Value::Type::Dictionary: {
            PlistPtr dict(plist_new_dict());
            for (const auto& [key, element] : value.dictionary()) {
                plist_t item = key.find('\0') == std::string::npos
                                   ? toPlist(element, strict, refused)
                                   : (*refused = true, nullptr);
                if (item) plist_dict_set_item(dict.get(), key.c_str(), item);
                if (!item && strict) return nullptr;
            }
            return dict.release();
        }
        case Value::Type::Null:
        case Value::Type::Object:
            break;
    }
    *refused = true;
    return nullptr;
}

Value fromPlist(plist_t node) {
    if (!node) return {};
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
                out.push_back(fromPlist(plist_array_get_item(node, i)));
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
                if (key) out.set(key, fromPlist(item));
                free(key);
            }
            free(it);
            return out;
        }
        default:
            return {};
    }
}

// The property-list reader recurses once per nesting level (and so does the conversion to a
// value): a document nested deeper than this is refused before it is parsed.
constexpr size_t kMaxNesting = 512;

// Why a document is refused before it is parsed.
enum class Refusal { none, nesting, expansion };

// The objects a document of size bytes may make: the reader makes an object once for every place
// that names it, so a binary document whose containers name one another can ask for far more
// objects than it has bytes.
uint64_t objectBound(size_t size) {
    return std::min(kPropertyListMaxObjects, kPropertyListMaxObjectsPerByte * uint64_t{size});
}

// An XML document names each object in place (it has no references): its containers' nesting
// and its elements are counted.
Refusal xmlShape(std::string_view data, size_t limit, uint64_t maxObjects) {
    size_t depth = 0;
    uint64_t objects = 0;
    for (size_t at = data.find('<'); at != std::string::npos; at = data.find('<', at + 1)) {
        const bool closing = data.compare(at, 2, "</") == 0;
        const size_t name = at + (closing ? 2 : 1);
        if (!closing && name < data.size() &&
            std::isalpha(static_cast<unsigned char>(data[name])) &&
            data.compare(name, 5, "plist") != 0 && ++objects > maxObjects)
            return Refusal::expansion;
        const bool container =
            data.compare(name, 5, "array") == 0 || data.compare(name, 4, "dict") == 0;
        if (!container) continue;
        const size_t end = data.find('>', name);
        if (end == std::string::npos) return Refusal::none;  // the parser refuses the cut tag
        if (closing) {
            if (depth) --depth;
        } else if (data[end - 1] != '/' && ++depth > limit) {
            return Refusal::nesting;
        }
    }
    return Refusal::none;
}

// A binary property list's trailer and object table, read in place, with the budget of bytes
// a walk may look at.
class BinaryPlistGraph {
  public:
    // Object i's type, where its contents start and how many entries (count) they have; type
    // 0 when it does not fit before the offset table.
    struct Entries {
        int type = 0;
        size_t at = 0;
        uint64_t count = 0;
    };

    explicit BinaryPlistGraph(std::string_view data)
        : b_(reinterpret_cast<const uint8_t*>(data.data())), size_(data.size()) {}

    // Whether the trailer describes a table the walk can read (the parser refuses the rest).
    bool readTrailer() {
        if (size_ < 8 + 32) return false;
        const size_t t = size_ - 32;
        offsetSize_ = b_[t + 6];
        refSize_ = b_[t + 7];
        count_ = be(t + 8, 8);
        top_ = be(t + 16, 8);
        table_ = be(t + 24, 8);
        // Objects may share their bytes, so the bytes looked at are budgeted.
        budget_ = 4 * uint64_t{std::max(size_, kLookBudgetFloor)};
        return !(offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8 ||
                 count_ == 0 || top_ >= count_ || table_ > t ||
                 count_ > (t - table_) / offsetSize_);
    }

    // Depth first without recursion, each object measured once: refused for a cycle, a path
    // deeper than limit, a dictionary key holding a zero character, or a top object that, with
    // everything under it counted once for each place naming it (weightOf), comes to more than
    // maxObjects.
    Refusal walk(size_t limit, uint64_t maxObjects) {
        enum : uint8_t { unvisited, onPath, finished };
        // A finished object's count and the depth below it (never above maxObjects and limit).
        struct Seen {
            uint32_t objects = 0;
            uint16_t below = 0;
            uint8_t state = unvisited;
        };
        std::vector<Seen> seen(count_);
        struct Frame {
            uint64_t object;
            Entries refs;
            uint64_t next = 0;
            uint32_t deepest = 0;
            uint64_t objects;
        };
        std::vector<Frame> path;
        auto enter = [&](uint64_t k) {
            seen[k].state = onPath;
            path.push_back({k, refsOf(k), 0, 0, weightOf(k)});
            return path.back().objects <= maxObjects;
        };
        if (!enter(top_)) return Refusal::expansion;
        while (!path.empty() && !refused_) {
            Frame& f = path.back();
            if (f.next == f.refs.count) {
                const Frame done = f;
                seen[done.object] = {static_cast<uint32_t>(done.objects),
                                     static_cast<uint16_t>(done.deepest), finished};
                path.pop_back();
                if (path.empty()) break;
                Frame& parent = path.back();
                parent.deepest = std::max(parent.deepest, done.deepest + 1);
                if (parent.deepest > limit) return Refusal::nesting;
                if ((parent.objects += done.objects) > maxObjects) return Refusal::expansion;
                continue;
            }
            if (budget_-- == 0) return Refusal::nesting;
            const uint64_t k = be(f.refs.at + static_cast<size_t>(f.next++) * refSize_, refSize_);
            if (k >= count_) continue;
            if (seen[k].state == finished) {
                f.deepest = std::max(f.deepest, seen[k].below + 1u);
                if (f.deepest > limit) return Refusal::nesting;
                if ((f.objects += seen[k].objects) > maxObjects) return Refusal::expansion;
                continue;
            }
            if (seen[k].state == onPath || path.size() >= limit) return Refusal::nesting;
            if (!enter(k)) return Refusal::expansion;
        }
        return refused_ ? Refusal::nesting : Refusal::none;
    }

  private:
    uint64_t be(size_t at, size_t width) const {
        uint64_t v = 0;
        for (size_t i = 0; i < width; ++i) v = v << 8 | b_[at + i];
        return v;
    }

    Entries entriesOf(uint64_t i) const {
        const uint64_t at = be(static_cast<size_t>(table_ + i * offsetSize_), offsetSize_);
        if (at >= table_) return {};
        const uint8_t marker = b_[at];
        uint64_t n = marker & 0x0F;
        size_t p = static_cast<size_t>(at) + 1;
        if (n == 0x0F) {
            if (p >= table_ || (b_[p] & 0xF0) != 0x10) return {};
            const size_t width = size_t{1} << (b_[p] & 0x0F);
            if (width > 8 || table_ - (p + 1) < width) return {};
            n = be(p + 1, width);
            p += 1 + width;
        }
        return {marker >> 4, p, n};
    }

    // What one copy of object i counts for: one object, and one more for every
    // kPropertyListBytesPerObject bytes of text or data it holds once read (a UTF-16 unit may
    // read as three bytes).
    uint64_t weightOf(uint64_t i) const {
        const Entries e = entriesOf(i);
        const uint64_t units = std::min(e.count, table_);
        const uint64_t bytes = e.type == 0x4 || e.type == 0x5 ? units
                               : e.type == 0x6                ? 3 * units
                                                              : 0;
        return 1 + bytes / kPropertyListBytesPerObject;
    }

    bool keyHasZero(uint64_t k) {
        if (k >= count_) return false;
        const Entries key = entriesOf(k);
        const size_t unit = key.type == 0x6 ? 2 : 1;
        if ((key.type != 0x5 && key.type != 0x6) || key.count > (table_ - key.at) / unit)
            return false;
        if (budget_ < key.count) return refused_ = true;
        budget_ -= key.count;
        for (size_t i = 0; i < key.count; ++i)
            if (b_[key.at + i * unit] == 0 && (unit == 1 || b_[key.at + i * unit + 1] == 0))
                return true;
        return false;
    }

    // Where the references of container i start and how many there are.
    Entries refsOf(uint64_t i) {
        Entries e = entriesOf(i);
        if (e.type != 0xA && e.type != 0xC && e.type != 0xD) return {};
        if (e.type == 0xD) {
            if (e.count > (table_ - e.at) / refSize_ / 2) return {};
            for (uint64_t k = 0; k < e.count; ++k)
                if (keyHasZero(be(e.at + static_cast<size_t>(k) * refSize_, refSize_)))
                    refused_ = true;
            e.count *= 2;
        }
        if (e.count > (table_ - e.at) / refSize_) return {};
        return e;
    }

    const uint8_t* b_;
    const size_t size_;
    size_t offsetSize_ = 0, refSize_ = 0;
    uint64_t count_ = 0, top_ = 0, table_ = 0;
    uint64_t budget_ = 0;
    bool refused_ = false;
};

// Walks a binary property list's object graph without recursion. A table the parser would
// refuse anyway passes; a cycle, a path deeper than limit, a dictionary key holding a zero
// character (the property-list library aborts on one), or more objects than maxObjects does not.
Refusal binaryShape(std::string_view data, size_t limit, uint64_t maxObjects) {
    BinaryPlistGraph graph(data);
    return graph.readTrailer() ? graph.walk(limit, maxObjects) : Refusal::none;
}

}  // namespace

std::optional<Bytes> PropertyListSerialization::dataWithPropertyList(const Value& propertyList,
                                                                     uint64_t format,
                                                                     uint64_t options,
                                                                     ErrorPtr* error) {
    auto fail = [&](int64_t code, const char* text) -> std::optional<Bytes> {
        if (error) *error = makeError(kNSCocoaErrorDomain, code, text);
        return std::nullopt;
    };
    if (format != kPropertyListXMLFormat && format != kPropertyListBinaryFormat)
        return fail(kNSPropertyListWriteInvalidError,
                    "Property list format not supported for writing.");
    bool refused = false;
    const bool strict = (options & kPropertyListWriteSkippingUnrepresentable) == 0;
    PlistPtr root(toPlist(propertyList, strict, &refused));
    if (!root || (strict && refused))
        return fail(kNSPropertyListWriteInvalidError, "Property list invalid for format.");
    char* out = nullptr;
    uint32_t length = 0;
    if (format == kPropertyListXMLFormat)
        plist_to_xml(root.get(), &out, &length);
    else
        plist_to_bin(root.get(), &out, &length);
    if (!out) return fail(kNSPropertyListWriteStreamError, "Property list could not be written.");
    Bytes bytes(out, out + length);
    if (format == kPropertyListXMLFormat)
        plist_to_xml_free(out);
    else
        plist_to_bin_free(out);
    return bytes;
}

std::optional<Value> PropertyListSerialization::propertyListWithData(std::string_view data,
                                                                     uint64_t, uint64_t* format,
                                                                     ErrorPtr* error) {
    auto corrupt = [&](const char* reason) -> std::optional<Value> {
        if (error)
            *error = makeError(kNSCocoaErrorDomain, kNSPropertyListReadCorruptError,
                               "The data couldn't be read because it isn't in the correct format.",
                               Dictionary{{"NSDebugDescription", Value(reason)}});
        return std::nullopt;
    };
    if (data.empty() || data.size() > std::numeric_limits<uint32_t>::max())
        return corrupt("No property list of that size.");
    const bool binary = plist_is_binary(data.data(), static_cast<uint32_t>(data.size()));
    if (!binary) {
        // The XML reader accepts a document cut short after its last complete element; a
        // whole document ends its root.
        size_t end = data.find_last_not_of(" \t\r\n");
        if (end == std::string_view::npos || end + 1 < 8 ||
            data.compare(end + 1 - 8, 8, "</plist>") != 0)
            return corrupt("The document does not end its property list.");
    }
    const uint64_t maxObjects = objectBound(data.size());
    switch (binary ? binaryShape(data, kMaxNesting, maxObjects)
                   : xmlShape(data, kMaxNesting, maxObjects)) {
        case Refusal::nesting:
            return corrupt("The property list is nested too deeply or refers to itself.");
        case Refusal::expansion:
            return corrupt("The property list names more objects than its size allows.");
        case Refusal::none:
            break;
    }
    plist_t root = nullptr;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
    PlistPtr owner(root);
    if (!root) return corrupt("The document is not a property list.");
    if (format) *format = binary ? kPropertyListBinaryFormat : kPropertyListXMLFormat;
    return fromPlist(root);
}

}  // namespace telvo
