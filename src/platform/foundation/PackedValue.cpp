#include "platform/foundation/PackedValue.h"

#include <cstdint>
#include <cstring>

namespace telvo::packed {

namespace {

// Each value is a tag, then its payload: numbers as 8 little-endian bytes, texts and bytes as
// a length and the bytes, arrays as a count and the items, dictionaries as a count and, for
// each entry, the key (length and bytes) and the value. Lengths and counts are LEB128.
enum Tag : uint8_t {
    kNull = 0,
    kFalse = 1,
    kTrue = 2,
    kInt = 3,
    kUInt = 4,
    kDouble = 5,
    kText = 6,
    kBytes = 7,
    kArray = 8,
    kDictionary = 9,
};

// Deeper nesting is refused when unpacking (the packer never makes it from a real value).
constexpr int kMaxPackedDepth = 64;

size_t lengthSize(size_t n) {
    size_t size = 1;
    while (n >= 0x80) {
        n >>= 7;
        ++size;
    }
    return size;
}

// The packed size; kRefused when an object handle is inside.
constexpr size_t kRefused = SIZE_MAX;

size_t sizeOf(const Value& v) {
    // Most values of a record are texts: they are told apart before the other kinds.
    if (v.isText()) {
        const size_t n = v.text().size();
        return 1 + lengthSize(n) + n;
    }
    switch (v.type()) {
        case Value::Type::Null:
        case Value::Type::Bool:
            return 1;
        case Value::Type::Int:
        case Value::Type::UInt:
        case Value::Type::Double:
            return 9;
        case Value::Type::Text: {
            const size_t n = v.text().size();
            return 1 + lengthSize(n) + n;
        }
        case Value::Type::Bytes: {
            const size_t n = v.bytes().size();
            return 1 + lengthSize(n) + n;
        }
        case Value::Type::Array: {
            const Value::Array& items = v.array();
            size_t size = 1 + lengthSize(items.size());
            for (const Value& item : items) {
                const size_t s = sizeOf(item);
                if (s == kRefused) return kRefused;
                size += s;
            }
            return size;
        }
        case Value::Type::Dictionary: {
            const Dictionary& d = v.dictionary();
            size_t size = 1 + lengthSize(d.size());
            for (const auto& [key, item] : d) {
                size += lengthSize(key.size()) + key.size();
                if (item.isText()) {
                    const size_t n = item.text().size();
                    size += 1 + lengthSize(n) + n;
                    continue;
                }
                const size_t s = sizeOf(item);
                if (s == kRefused) return kRefused;
                size += s;
            }
            return size;
        }
        case Value::Type::Object:
            return kRefused;
    }
    return kRefused;
}

// The writers take and return the write position, which thus stays out of memory that the
// bytes written could alias. put returns nullptr when the packed form would pass end or
// holds an object handle.
uint8_t* putLength(uint8_t* at, size_t n) {
    while (n >= 0x80) {
        *at++ = uint8_t(n | 0x80);
        n >>= 7;
    }
    *at++ = uint8_t(n);
    return at;
}

// A length and the bytes, nullptr past end. Keys and most texts are short: they are copied
// without a call.
uint8_t* putRaw(uint8_t* at, uint8_t* end, const void* data, size_t n) {
    if (size_t(end - at) < lengthSize(n) + n) return nullptr;
    at = putLength(at, n);
    const auto* from = static_cast<const uint8_t*>(data);
    if (n >= 8 && n <= 16) {
        uint64_t head, tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + n - 8, 8);
        std::memcpy(at, &head, 8);
        std::memcpy(at + n - 8, &tail, 8);
    } else if (n < 8) {
        for (size_t i = 0; i < n; ++i) at[i] = from[i];
    } else {
        std::memcpy(at, from, n);
    }
    return at + n;
}

// Whether n bytes are equal; short ones (keys) compared without a call.
[[gnu::always_inline]] inline bool sameBytes(const uint8_t* a, const void* other, size_t n) {
    const auto* b = static_cast<const uint8_t*>(other);
    const auto word = [](const uint8_t* p) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        return w;
    };
    if (n >= 8 && n <= 16) return word(a) == word(b) && word(a + n - 8) == word(b + n - 8);
    if (n > 16 && n <= 32) {
        return word(a) == word(b) && word(a + 8) == word(b + 8) &&
               word(a + n - 16) == word(b + n - 16) && word(a + n - 8) == word(b + n - 8);
    }
    if (n < 8) {
        for (size_t i = 0; i < n; ++i)
            if (a[i] != b[i]) return false;
        return true;
    }
    return std::memcmp(a, b, n) == 0;
}

uint8_t* putTagged(uint8_t* at, uint8_t* end, uint8_t tag, const void* data, size_t n) {
    if (at == end) return nullptr;
    *at++ = tag;
    return putRaw(at, end, data, n);
}

uint8_t* putNumber(uint8_t* at, uint8_t* end, uint8_t tag, uint64_t bits) {
    if (end - at < 9) return nullptr;
    *at++ = tag;
    for (int i = 0; i < 8; ++i) *at++ = uint8_t(bits >> (8 * i));
    return at;
}

uint8_t* putCount(uint8_t* at, uint8_t* end, uint8_t tag, size_t n) {
    if (size_t(end - at) < 1 + lengthSize(n)) return nullptr;
    *at++ = tag;
    return putLength(at, n);
}

uint8_t* put(uint8_t* at, uint8_t* end, const Value& v) {
    // Most values of a record are texts: they are told apart before the other kinds.
    if (v.isText()) {
        const std::string& text = v.text();
        return putTagged(at, end, kText, text.data(), text.size());
    }
    switch (v.type()) {
        case Value::Type::Null:
        case Value::Type::Bool:
            if (at == end) return nullptr;
            *at++ = v.isNull() ? kNull : v.boolValue() ? kTrue : kFalse;
            return at;
        case Value::Type::Int:
            return putNumber(at, end, kInt, uint64_t(v.int64Value()));
        case Value::Type::UInt:
            return putNumber(at, end, kUInt, v.uint64Value());
        case Value::Type::Double: {
            const double d = v.doubleValue();
            uint64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            return putNumber(at, end, kDouble, bits);
        }
        case Value::Type::Text: {
            const std::string& text = v.text();
            return putTagged(at, end, kText, text.data(), text.size());
        }
        case Value::Type::Bytes: {
            const Bytes& bytes = v.bytes();
            return putTagged(at, end, kBytes, bytes.data(), bytes.size());
        }
        case Value::Type::Array: {
            const Value::Array& items = v.array();
            at = putCount(at, end, kArray, items.size());
            for (auto item = items.begin(); at && item != items.end(); ++item)
                at = put(at, end, *item);
            return at;
        }
        case Value::Type::Dictionary: {
            const Dictionary& d = v.dictionary();
            at = putCount(at, end, kDictionary, d.size());
            for (auto entry = d.begin(); at && entry != d.end(); ++entry) {
                at = putRaw(at, end, entry->first.data(), entry->first.size());
                if (at) at = put(at, end, entry->second);
            }
            return at;
        }
        case Value::Type::Object:
            return nullptr;
    }
    return nullptr;
}

struct PackedReader {
    ByteView in;
    size_t at = 0;
    bool take(uint8_t& b) {
        if (at >= in.size()) return false;
        b = in[at++];
        return true;
    }
    bool length(size_t& n) {
        n = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            uint8_t b;
            if (!take(b)) return false;
            n |= size_t(b & 0x7F) << shift;
            if (!(b & 0x80)) return true;
        }
        return false;
    }
    bool span(size_t n, ByteView& out) {
        if (n > in.size() - at) return false;
        out = in.subspan(at, n);
        at += n;
        return true;
    }
    bool number(uint64_t& bits) {
        ByteView b;
        if (!span(8, b)) return false;
        bits = 0;
        for (int i = 0; i < 8; ++i) bits |= uint64_t(b[size_t(i)]) << (8 * i);
        return true;
    }
    std::optional<Value> value(int depth) {
        uint8_t tag;
        if (depth > kMaxPackedDepth || !take(tag)) return std::nullopt;
        uint64_t bits;
        size_t n;
        ByteView b;
        switch (tag) {
            case kNull:
                return Value();
            case kFalse:
                return Value(false);
            case kTrue:
                return Value(true);
            case kInt:
                if (!number(bits)) return std::nullopt;
                return Value(int64_t(bits));
            case kUInt:
                if (!number(bits)) return std::nullopt;
                return Value(uint64_t(bits));
            case kDouble: {
                if (!number(bits)) return std::nullopt;
                double d;
                std::memcpy(&d, &bits, sizeof d);
                return Value(d);
            }
            case kText:
                if (!length(n) || !span(n, b)) return std::nullopt;
                return Value(std::string(b.begin(), b.end()));
            case kBytes:
                if (!length(n) || !span(n, b)) return std::nullopt;
                return Value(Bytes(b.begin(), b.end()));
            case kArray: {
                // Each item takes at least one byte: a count beyond what is left is false.
                if (!length(n) || n > in.size() - at) return std::nullopt;
                Value::Array items;
                items.reserve(n);
                for (size_t i = 0; i < n; ++i) {
                    auto item = value(depth + 1);
                    if (!item) return std::nullopt;
                    items.push_back(std::move(*item));
                }
                return Value(std::move(items));
            }
            case kDictionary:
                return dictionary(*this, depth);
            default:
                return std::nullopt;
        }
    }
    // A dictionary's count and keys read from keys (which may be this reader), each value
    // from this one.
    std::optional<Value> dictionary(PackedReader& keys, int depth) {
        size_t n;
        if (!keys.length(n) || n > keys.in.size() - keys.at) return std::nullopt;
        Dictionary d;
        d.reserve(n);
        for (size_t i = 0; i < n; ++i) {
            size_t keyLength;
            ByteView key;
            if (!keys.length(keyLength) || !keys.span(keyLength, key)) return std::nullopt;
            auto item = value(depth + 1);
            if (!item) return std::nullopt;
            d.set(std::string(key.begin(), key.end()), std::move(*item));
        }
        return Value(std::move(d));
    }
};

}  // namespace

std::optional<ByteView> packInto(const Value& value, Bytes& scratch) {
    if (scratch.size() < 1024) scratch.resize(1024);
    if (const uint8_t* at = put(scratch.data(), scratch.data() + scratch.size(), value))
        return ByteView(scratch.data(), size_t(at - scratch.data()));
    const size_t size = sizeOf(value);
    if (size == kRefused) return std::nullopt;
    scratch.resize(size);
    put(scratch.data(), scratch.data() + size, value);
    return ByteView(scratch.data(), size);
}

std::optional<Bytes> pack(const Value& value) {
    const size_t size = sizeOf(value);
    if (size == kRefused) return std::nullopt;
    Bytes out(size);
    put(out.data(), out.data() + size, value);
    return out;
}

std::optional<Value> unpack(ByteView bytes) {
    PackedReader reader{bytes};
    auto value = reader.value(0);
    if (!value || reader.at != bytes.size()) return std::nullopt;
    return value;
}

ByteView packKeys(const Dictionary& dictionary, Bytes& scratch) {
    size_t size = lengthSize(dictionary.size());
    for (const auto& [key, item] : dictionary) size += lengthSize(key.size()) + key.size();
    if (scratch.size() < size) scratch.resize(size);
    uint8_t* const end = scratch.data() + scratch.size();
    uint8_t* at = putLength(scratch.data(), dictionary.size());
    for (const auto& [key, item] : dictionary) at = putRaw(at, end, key.data(), key.size());
    return ByteView(scratch.data(), size);
}

bool hasKeys(const Dictionary& dictionary, ByteView keys) {
    PackedReader in{keys};
    size_t n;
    if (!in.length(n) || n != dictionary.size()) return false;
    for (const auto& [key, item] : dictionary) {
        size_t size;
        ByteView stored;
        if (!in.length(size) || size != key.size() || !in.span(size, stored) ||
            !sameBytes(stored.data(), key.data(), size))
            return false;
    }
    return in.at == keys.size();
}

std::optional<ByteView> packValuesInto(const Dictionary& dictionary, Bytes& scratch) {
    if (scratch.size() < 1024) scratch.resize(1024);
    for (int pass = 0; pass < 2; ++pass) {
        uint8_t* const end = scratch.data() + scratch.size();
        uint8_t* at = scratch.data();
        for (auto entry = dictionary.begin(); at && entry != dictionary.end(); ++entry)
            at = put(at, end, entry->second);
        if (at) return ByteView(scratch.data(), size_t(at - scratch.data()));
        size_t size = 0;
        for (const auto& [key, item] : dictionary) {
            const size_t s = sizeOf(item);
            if (s == kRefused) return std::nullopt;
            size += s;
        }
        scratch.resize(size);
    }
    return std::nullopt;  // not reached: the second pass has room
}

namespace {

// A length at at, moving past it; false past end or beyond 64 bits.
bool readLength(const uint8_t*& at, const uint8_t* end, size_t& n) {
    n = 0;
    for (int shift = 0; shift < 64 && at != end; shift += 7) {
        const uint8_t b = *at++;
        n |= size_t(b & 0x7F) << shift;
        if (!(b & 0x80)) return true;
    }
    return false;
}

}  // namespace

std::optional<ByteView> packValuesWithKeys(const Dictionary& dictionary, ByteView keys,
                                           Bytes& scratch, const Value* mark, size_t* markAt) {
    const uint8_t* key = keys.data();
    const uint8_t* const keysEnd = key + keys.size();
    size_t n;
    if (!readLength(key, keysEnd, n) || n != dictionary.size()) return std::nullopt;
    if (scratch.size() < 1024) scratch.resize(1024);
    uint8_t* const end = scratch.data() + scratch.size();
    uint8_t* at = scratch.data();
    size_t marked = SIZE_MAX;
    for (const auto& [name, item] : dictionary) {
        // Keys and texts shorter than 128 bytes (nearly all) have a one-byte length.
        size_t size;
        if (key != keysEnd && *key < 0x80) {
            size = *key++;
        } else if (!readLength(key, keysEnd, size)) {
            return std::nullopt;
        }
        if (size != name.size() || size > size_t(keysEnd - key) ||
            !sameBytes(key, name.data(), size))
            return std::nullopt;
        key += size;
        if (!at) continue;  // out of room: the keys are still checked
        if (item.isText()) {
            const std::string& text = item.text();
            const size_t n = text.size();
            // A text's bytes follow its tag and length.
            if (&item == mark) marked = size_t(at - scratch.data()) + 1 + lengthSize(n);
            if (n < 0x80 && size_t(end - at) >= 2 + n) {
                at[0] = kText;
                at[1] = uint8_t(n);
                std::memcpy(at + 2, text.data(), n);
                at += 2 + n;
                continue;
            }
        }
        at = put(at, end, item);
    }
    if (key != keysEnd) return std::nullopt;
    if (at) {
        if (markAt && marked != SIZE_MAX) *markAt = marked;
        return ByteView(scratch.data(), size_t(at - scratch.data()));
    }
    // Out of room (or an object handle): sized first, as packValuesInto does.
    auto values = packValuesInto(dictionary, scratch);
    if (values && mark && markAt && mark->isText()) {
        size_t offset = 0;
        for (const auto& [name, item] : dictionary) {
            if (&item == mark) {
                *markAt = offset + 1 + lengthSize(item.text().size());
                break;
            }
            offset += sizeOf(item);
        }
    }
    return values;
}

std::optional<Value> unpackDictionary(ByteView keys, ByteView values) {
    PackedReader keyReader{keys};
    PackedReader valueReader{values};
    auto value = valueReader.dictionary(keyReader, 0);
    if (!value || keyReader.at != keys.size() || valueReader.at != values.size())
        return std::nullopt;
    return value;
}

}  // namespace telvo::packed
