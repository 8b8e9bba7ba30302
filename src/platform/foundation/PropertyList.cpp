#include "platform/foundation/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include "platform/foundation/PropertyListReader.h"

namespace telvo {

namespace {

using plistread::kMaxNesting;
using plistread::Refusal;

static_assert(kPropertyListMaxBytes <= std::numeric_limits<uint32_t>::max());

// The heap a document of size bytes may read into.
uint64_t byteBound(size_t size) {
    return std::min(kPropertyListMaxBytes, kPropertyListMaxBytesPerByte * uint64_t{size});
}

struct PlistDeleter {
    void operator()(void* node) const { detail::releaseDeepTree(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Whether a text reads back as it was written. XML: UTF-8 without control characters but tab
// and line feed (a carriage return would come back as a line feed). Binary: a text with any
// byte beyond ASCII is written as UTF-16, so it must be UTF-8.
bool writable(const std::string& text, uint64_t format) {
    const bool xml = format == kPropertyListXMLFormat;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == 0 || (xml && c < 0x20 && c != '\t' && c != '\n') || (xml && c == 0x7F))
                return false;
            ++i;
            continue;
        }
        const size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (n == 0 || c > 0xF4 || text.size() - i < n) return false;
        uint32_t code = c & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = code << 6 | (next & 0x3F);
        }
        if ((n == 3 && code < 0x800) || (n == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
            (code >= 0xD800 && code <= 0xDFFF) || (xml && (code == 0xFFFE || code == 0xFFFF)))
            return false;
        i += n;
    }
    return true;
}

// The library's tree of a value within kMaxNesting containers, or nullptr for what the format
// cannot hold; *refused is set when such a value is met (inside a container it is left out, or
// the whole conversion fails when strict). *bytes grows by the heap the reader takes for what
// is written, as plistread counts it.
struct Conversion {
    uint64_t format;
    bool strict;
    bool refused = false;
    uint64_t bytes = 0;

    plist_t convert(const Value& value) {
        bytes += valueheap::scalarBytes(value);
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
                if (!writable(value.text(), format)) break;
                return plist_new_string(value.text().c_str());
            case Value::Type::Bytes: {
                const Bytes& b = value.bytes();
                return plist_new_data(reinterpret_cast<const char*>(b.data()), b.size());
            }
            case Value::Type::Array: {
                PlistPtr array(plist_new_array());
                uint64_t n = 0;
                for (const Value& element : value.array()) {
                    plist_t item = convert(element);
                    if (item) {
                        plist_array_append_item(array.get(), item);
                        bytes += valueheap::slotBytes(false, 0);
                        ++n;
                    }
                    if (!item && strict) return nullptr;
                }
                bytes += valueheap::containerBytes(false, n);
                return array.release();
            }
            case Value::Type::Dictionary: {
                PlistPtr dict(plist_new_dict());
                uint64_t n = 0;
                for (const auto& [key, element] : value.dictionary()) {
                    plist_t item =
                        writable(key, format) ? convert(element) : (refused = true, nullptr);
                    if (item) {
                        plist_dict_set_item(dict.get(), key.c_str(), item);
                        bytes += valueheap::slotBytes(true, key.size());
                        ++n;
                    }
                    if (!item && strict) return nullptr;
                }
                bytes += valueheap::containerBytes(true, n);
                return dict.release();
            }
            case Value::Type::Null:
            case Value::Type::Object:
                break;
        }
        refused = true;
        return nullptr;
    }
};

}  // namespace

size_t propertyListNesting(const Value& value) {
    struct Frame {
        const Value* value;
        size_t next;
    };
    auto children = [](const Value& v) { return v.isArray() ? v.array().size() : v.count(); };
    auto child = [](const Value& v, size_t i) -> const Value& {
        return v.isArray() ? v.array()[i] : v.dictionary().entries()[i].second;
    };
    auto container = [](const Value& v) { return v.isArray() || v.isDictionary(); };
    if (!container(value)) return 0;
    size_t deepest = 0;
    std::vector<Frame> path{{&value, 0}};
    while (!path.empty()) {
        deepest = std::max(deepest, path.size());
        if (deepest > kMaxNesting) break;
        Frame& f = path.back();
        if (f.next == children(*f.value)) {
            path.pop_back();
            continue;
        }
        const Value& next = child(*f.value, f.next++);
        if (container(next)) path.push_back({&next, 0});
    }
    return deepest;
}

namespace {

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};

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
    if (propertyListNesting(propertyList) > kMaxNesting)
        return fail(kNSPropertyListWriteInvalidError,
                    "Property list nested deeper than 512 containers.");
    const bool strict = (options & kPropertyListWriteSkippingUnrepresentable) == 0;
    Conversion conversion{format, strict};
    PlistPtr root(conversion.convert(propertyList));
    if (!root || (strict && conversion.refused))
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
    // A document that names one object from many places may read into more than its bound.
    if (conversion.bytes + valueheap::slotBytes(false, 0) > byteBound(bytes.size()))
        return fail(kNSPropertyListWriteInvalidError,
                    "Property list reads into more bytes than its document allows.");
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
    const bool binary = data.size() >= 8 && data.substr(0, 8) == "bplist00";
    ValueBuilder builder(kMaxNesting, byteBound(data.size()));
    switch (binary ? plistread::readBinary(data, builder) : plistread::readXml(data, builder)) {
        case Refusal::nesting:
            return corrupt("The property list is nested too deeply or refers to itself.");
        case Refusal::expansion:
            return corrupt("The property list reads into more bytes than its size allows.");
        case Refusal::malformed:
            return corrupt("The document is not a property list.");
        case Refusal::none:
            break;
    }
    if (format) *format = binary ? kPropertyListBinaryFormat : kPropertyListXMLFormat;
    return builder.take();
}

}  // namespace telvo
