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

// The property-list library's binary reader, its writer and its free recurse once per nesting
// level: a document nested deeper than this is refused before it is parsed, and the conversion
// into a value keeps its own path.
constexpr size_t kMaxNesting = 512;

// Why a document is refused.
enum class Refusal { none, nesting, expansion };

static_assert(kPropertyListMaxBytes <= std::numeric_limits<uint32_t>::max());

// The bytes a document of size bytes may read into.
uint64_t byteBound(size_t size) {
    return std::min(kPropertyListMaxBytes, kPropertyListMaxBytesPerByte * uint64_t{size});
}

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};

// A scalar node's value; *bytes gets the text or data it holds.
Value scalarValue(plist_t node, uint64_t* bytes) {
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
            *bytes = p ? length : 0;
            return Value(std::string(p ? p : "", *bytes));
        }
        case PLIST_DATA: {
            uint64_t length = 0;
            const char* p = plist_get_data_ptr(node, &length);
            *bytes = p ? length : 0;
            return Value(p ? Bytes(p, p + length) : Bytes{});
        }
        default:
            return {};
    }
}

bool isContainer(plist_t node) {
    const plist_type type = plist_get_node_type(node);
    return type == PLIST_ARRAY || type == PLIST_DICT;
}

// A container's children in order, each with its key in a dictionary: through the library's
// iterators, which step in constant time (indexing a parsed binary array walks it from the start).
class Children {
  public:
    explicit Children(plist_t node) : node_(node), dict_(plist_get_node_type(node) == PLIST_DICT) {
        void* iter = nullptr;
        if (dict_)
            plist_dict_new_iter(node, reinterpret_cast<plist_dict_iter*>(&iter));
        else
            plist_array_new_iter(node, reinterpret_cast<plist_array_iter*>(&iter));
        iter_.reset(iter);
    }
    // The next child, or nullptr after the last; a dictionary's entry without a key is passed.
    plist_t next(std::string* key) {
        for (;;) {
            plist_t item = nullptr;
            if (!dict_) {
                plist_array_next_item(node_, iter_.get(), &item);
                return item;
            }
            char* name = nullptr;
            plist_dict_next_item(node_, iter_.get(), &name, &item);
            const std::unique_ptr<char, FreeDeleter> owner(name);
            if (!item || name) {
                if (name) key->assign(name);
                return item;
            }
        }
    }
    bool dict() const { return dict_; }

  private:
    plist_t node_;
    bool dict_;
    std::unique_ptr<void, FreeDeleter> iter_;
};

// Converts the library's tree into a value along a path of its own: refused for a path deeper
// than kMaxNesting containers, or for more than maxBytes counted as kPropertyListMaxBytes'
// comment says.
Refusal fromPlist(plist_t root, uint64_t maxBytes, Value* out) {
    uint64_t total = 0;
    auto count = [&](uint64_t bytes) {
        total += kPropertyListBytesPerObject + bytes;
        return total <= maxBytes;
    };
    struct Frame {
        Children children;
        std::string key;  // where the container goes in its parent, when that is a dictionary
        Value::Array array{};
        Dictionary dictionary{};
    };
    std::vector<Frame> path;
    auto place = [&](std::string key, Value value) {
        if (path.empty()) {
            *out = std::move(value);
        } else if (path.back().children.dict()) {
            path.back().dictionary.set(key, std::move(value));
        } else {
            path.back().array.push_back(std::move(value));
        }
    };
    auto visit = [&](plist_t node, std::string key) {
        uint64_t bytes = 0;
        if (!isContainer(node)) {
            Value value = scalarValue(node, &bytes);
            if (!count(bytes)) return Refusal::expansion;
            place(std::move(key), std::move(value));
            return Refusal::none;
        }
        if (!count(0)) return Refusal::expansion;
        if (path.size() == kMaxNesting) return Refusal::nesting;
        path.push_back({Children(node), std::move(key)});
        return Refusal::none;
    };
    Refusal refusal = visit(root, {});
    while (!path.empty() && refusal == Refusal::none) {
        Frame& frame = path.back();
        std::string key;
        if (plist_t child = frame.children.next(&key)) {
            if (frame.children.dict() && !count(key.size())) return Refusal::expansion;
            refusal = visit(child, std::move(key));
            continue;
        }
        Value value = frame.children.dict() ? Value(std::move(frame.dictionary))
                                            : Value(std::move(frame.array));
        key = std::move(frame.key);
        path.pop_back();
        place(std::move(key), std::move(value));
    }
    return refusal;
}

// What the library's XML reader takes as markup: comments, CDATA sections, processing
// instructions and the document type hide what they hold, and a tag, like a processing
// instruction or the document type, ends outside double quotes. Arrays and dictionaries are
// nested, and every element counts as an object.
class XmlShape {
  public:
    explicit XmlShape(std::string_view data) : data_(data) {}

    Refusal measure(size_t limit, uint64_t maxBytes) {
        size_t depth = 0;
        uint64_t bytes = 0;
        for (size_t at = data_.find('<'); at != npos; at = data_.find('<', at)) {
            const std::string_view rest = data_.substr(at);
            if (rest.starts_with("<!--")) {
                at = past(at + 4, "-->", false);
            } else if (rest.starts_with("<![CDATA[")) {
                at = past(at + 9, "]]>", false);
            } else if (rest.starts_with("<?")) {
                at = past(at + 1, "?>", true);
            } else if (rest.starts_with("<!")) {
                // The document type ends at its '>', or at "]>" after an internal subset.
                const size_t end = until(at + 2, "[>");
                at = end == npos || data_[end] == '>' ? advance(end, 1) : past(end, "]>", true);
            } else {
                const bool closing = rest.starts_with("</");
                const size_t name = at + (closing ? 2 : 1);
                const size_t nameEnd =
                    std::min(data_.find_first_of(" \t\r\n<>", name), data_.size());
                const size_t end = until(nameEnd, "<>");
                if (end == npos || data_[end] != '>') return Refusal::none;  // the parser refuses
                const bool empty = data_[end - 1] == '/';
                std::string_view tag = data_.substr(name, nameEnd - name);
                if (empty && end == nameEnd && !tag.empty()) tag.remove_suffix(1);
                at = end + 1;
                if (!closing && tag != "plist" && (bytes += kPropertyListBytesPerObject) > maxBytes)
                    return Refusal::expansion;
                if (tag != "array" && tag != "dict") continue;
                if (closing) {
                    if (depth) --depth;
                } else if (!empty && ++depth > limit) {
                    return Refusal::nesting;
                }
            }
            if (at == npos) break;
        }
        return Refusal::none;
    }

  private:
    static constexpr size_t npos = std::string_view::npos;

    size_t advance(size_t at, size_t by) const { return at == npos ? npos : at + by; }

    // Where the first of chars is found from at on, outside double quotes.
    size_t until(size_t at, std::string_view chars) const {
        for (size_t i = at; i < data_.size(); ++i) {
            if (data_[i] == '"') {
                i = data_.find('"', i + 1);
                if (i == npos) return npos;
            } else if (chars.find(data_[i]) != npos) {
                return i;
            }
        }
        return npos;
    }

    // Just past the first close from at on (outside double quotes when quoted).
    size_t past(size_t at, std::string_view close, bool quoted) const {
        if (!quoted) return advance(data_.find(close, at), close.size());
        for (size_t i = at; i < data_.size(); ++i) {
            if (data_[i] == '"') {
                i = data_.find('"', i + 1);
                if (i == npos) return npos;
            } else if (data_.compare(i, close.size(), close) == 0) {
                return i + close.size();
            }
        }
        return npos;
    }

    std::string_view data_;
};

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
    // maxBytes.
    Refusal walk(size_t limit, uint64_t maxBytes) {
        enum : uint8_t { unvisited, onPath, finished };
        // A finished object's bytes and the depth below it (never above maxBytes and limit).
        struct Seen {
            uint32_t bytes = 0;
            uint16_t below = 0;
            uint8_t state = unvisited;
        };
        std::vector<Seen> seen(count_);
        struct Frame {
            uint64_t object;
            Entries refs;
            uint64_t next = 0;
            uint32_t deepest = 0;
            uint64_t bytes;
        };
        std::vector<Frame> path;
        auto enter = [&](uint64_t k) {
            seen[k].state = onPath;
            path.push_back({k, refsOf(k), 0, 0, weightOf(k)});
            return path.back().bytes <= maxBytes;
        };
        if (!enter(top_)) return Refusal::expansion;
        while (!path.empty() && !refused_) {
            Frame& f = path.back();
            if (f.next == f.refs.count) {
                const Frame done = f;
                seen[done.object] = {static_cast<uint32_t>(done.bytes),
                                     static_cast<uint16_t>(done.deepest), finished};
                path.pop_back();
                if (path.empty()) break;
                Frame& parent = path.back();
                parent.deepest = std::max(parent.deepest, done.deepest + 1);
                if (parent.deepest > limit) return Refusal::nesting;
                if ((parent.bytes += done.bytes) > maxBytes) return Refusal::expansion;
                continue;
            }
            if (budget_-- == 0) return Refusal::nesting;
            const uint64_t k = be(f.refs.at + static_cast<size_t>(f.next++) * refSize_, refSize_);
            if (k >= count_) continue;
            if (seen[k].state == finished) {
                f.deepest = std::max(f.deepest, seen[k].below + 1u);
                if (f.deepest > limit) return Refusal::nesting;
                if ((f.bytes += seen[k].bytes) > maxBytes) return Refusal::expansion;
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

    // What one copy of object i counts for: kPropertyListBytesPerObject, and the bytes of text
    // or data it holds once read (a UTF-16 unit may read as three).
    uint64_t weightOf(uint64_t i) const {
        const Entries e = entriesOf(i);
        const uint64_t units = std::min(e.count, table_);
        const uint64_t bytes = e.type == 0x4 || e.type == 0x5 ? units
                               : e.type == 0x6                ? 3 * units
                                                              : 0;
        return kPropertyListBytesPerObject + bytes;
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
// character (the property-list library aborts on one), or more bytes than maxBytes does not.
Refusal binaryShape(std::string_view data, size_t limit, uint64_t maxBytes) {
    BinaryPlistGraph graph(data);
    return graph.readTrailer() ? graph.walk(limit, maxBytes) : Refusal::none;
}

}  // namespace

namespace detail {

// Frees a tree deeper than the library's free can take in one go. Containers kMaxNesting,
// 2 kMaxNesting, ... levels down with at least kMaxNesting levels below them are taken out
// of their parents deepest first, so that no free goes more than twice kMaxNesting deep.
void releaseDeepTree(void* root) {
    struct Cut {
        plist_t parent;
        size_t depth;
        uint32_t index;
        std::string key;
    };
    std::vector<Cut> cuts;
    struct Frame {
        plist_t node;
        Children children;
        uint32_t index;  // in its parent
        std::string key;
        uint32_t nextIndex = 0;
        size_t height = 0;
    };
    std::vector<Frame> path;
    path.push_back({root, Children(root), 0, {}});
    while (!path.empty()) {
        Frame& frame = path.back();
        std::string key;
        if (plist_t child = frame.children.next(&key)) {
            const uint32_t index = frame.nextIndex++;
            if (isContainer(child))
                path.push_back({child, Children(child), index, std::move(key)});
            else
                frame.height = std::max<size_t>(frame.height, 1);
            continue;
        }
        const size_t depth = path.size() - 1, height = frame.height;
        const uint32_t index = frame.index;
        key = std::move(frame.key);
        path.pop_back();
        if (path.empty()) break;
        if (depth % kMaxNesting == 0 && height >= kMaxNesting) {
            cuts.push_back({path.back().node, depth, index, std::move(key)});
        } else {
            path.back().height = std::max(path.back().height, height + 1);
        }
    }
    // Children are met in order: reversed, the later of two siblings is cut first.
    std::reverse(cuts.begin(), cuts.end());
    std::stable_sort(cuts.begin(), cuts.end(),
                     [](const Cut& a, const Cut& b) { return a.depth > b.depth; });
    for (const Cut& cut : cuts) {
        if (plist_get_node_type(cut.parent) == PLIST_DICT)
            plist_dict_remove_item(cut.parent, cut.key.c_str());
        else
            plist_array_remove_item(cut.parent, cut.index);
    }
    plist_free(root);
}

}  // namespace detail

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
    const uint64_t maxBytes = byteBound(data.size());
    const Refusal shape = binary ? binaryShape(data, kMaxNesting, maxBytes)
                                 : XmlShape(data).measure(kMaxNesting, maxBytes);
    plist_t root = nullptr;
    if (shape == Refusal::none)
        plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
    PlistPtr owner(root);
    Value value;
    const Refusal read = root ? fromPlist(root, maxBytes, &value) : shape;
    // The checks before parsing keep the library's tree within the nesting its free takes;
    // should one be passed, the tree is taken apart in pieces.
    if (read == Refusal::nesting && root) detail::releaseDeepTree(owner.release());
    switch (read) {
        case Refusal::nesting:
            return corrupt("The property list is nested too deeply or refers to itself.");
        case Refusal::expansion:
            return corrupt("The property list reads into more bytes than its size allows.");
        case Refusal::none:
            break;
    }
    if (!root) return corrupt("The document is not a property list.");
    if (format) *format = binary ? kPropertyListBinaryFormat : kPropertyListXMLFormat;
    return value;
}

}  // namespace telvo
