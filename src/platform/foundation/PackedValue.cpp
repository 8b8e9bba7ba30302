#include "platform/foundation/PackedValue.h"

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
constexpr int kMaxDepth = 64;

size_t lengthSize(size_t n) {
    size_t size = 1;
    while (n >= 0x80) {
        n >>= 7;
        ++size;
    }
    return size;
}

// The packed size, or nothing when an object handle is inside.
std::optional<size_t> packedSize(const Value& v) {
    switch (v.type()) {
        case Value::Type::Null:
        case Value::Type::Bool:
            return 1;
        case Value::Type::Int:
        case Value::Type::UInt:
        case Value::Type::Double:
            return 9;
        case Value::Type::Text:
            return 1 + lengthSize(v.text().size()) + v.text().size();
        case Value::Type::Bytes:
            return 1 + lengthSize(v.bytes().size()) + v.bytes().size();
        case Value::Type::Array: {
            size_t size = 1 + lengthSize(v.array().size());
            for (const Value& item : v.array()) {
                auto s = packedSize(item);
                if (!s) return std::nullopt;
                size += *s;
            }
            return size;
        }
        case Value::Type::Dictionary: {
            size_t size = 1 + lengthSize(v.dictionary().size());
            for (const auto& [key, item] : v.dictionary()) {
                auto s = packedSize(item);
                if (!s) return std::nullopt;
                size += lengthSize(key.size()) + key.size() + *s;
            }
            return size;
        }
        case Value::Type::Object:
            return std::nullopt;
    }
    return std::nullopt;
}

struct Writer {
    uint8_t* at;
    void byte(uint8_t b) { *at++ = b; }
    void length(size_t n) {
        while (n >= 0x80) {
            byte(uint8_t(n | 0x80));
            n >>= 7;
        }
        byte(uint8_t(n));
    }
    void raw(const void* data, size_t n) {
        if (n) std::memcpy(at, data, n);
        at += n;
    }
    void number(uint64_t bits) {
        for (int i = 0; i < 8; ++i) byte(uint8_t(bits >> (8 * i)));
    }
    void value(const Value& v) {
        switch (v.type()) {
            case Value::Type::Null:
                byte(kNull);
                return;
            case Value::Type::Bool:
                byte(v.boolValue() ? kTrue : kFalse);
                return;
            case Value::Type::Int:
                byte(kInt);
                number(uint64_t(v.int64Value()));
                return;
            case Value::Type::UInt:
                byte(kUInt);
                number(v.uint64Value());
                return;
            case Value::Type::Double: {
                byte(kDouble);
                const double d = v.doubleValue();
                uint64_t bits;
                std::memcpy(&bits, &d, sizeof bits);
                number(bits);
                return;
            }
            case Value::Type::Text:
                byte(kText);
                length(v.text().size());
                raw(v.text().data(), v.text().size());
                return;
            case Value::Type::Bytes:
                byte(kBytes);
                length(v.bytes().size());
                raw(v.bytes().data(), v.bytes().size());
                return;
            case Value::Type::Array:
                byte(kArray);
                length(v.array().size());
                for (const Value& item : v.array()) value(item);
                return;
            case Value::Type::Dictionary:
                byte(kDictionary);
                length(v.dictionary().size());
                for (const auto& [key, item] : v.dictionary()) {
                    length(key.size());
                    raw(key.data(), key.size());
                    value(item);
                }
                return;
            case Value::Type::Object:
                return;  // packedSize refused it
        }
    }
};

struct Reader {
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
        if (depth > kMaxDepth || !take(tag)) return std::nullopt;
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
            case kDictionary: {
                if (!length(n) || n > in.size() - at) return std::nullopt;
                Dictionary d;
                d.reserve(n);
                for (size_t i = 0; i < n; ++i) {
                    size_t keyLength;
                    ByteView key;
                    if (!length(keyLength) || !span(keyLength, key)) return std::nullopt;
                    auto item = value(depth + 1);
                    if (!item) return std::nullopt;
                    d.set(std::string(key.begin(), key.end()), std::move(*item));
                }
                return Value(std::move(d));
            }
            default:
                return std::nullopt;
        }
    }
};

}  // namespace

std::optional<Bytes> pack(const Value& value) {
    auto size = packedSize(value);
    if (!size) return std::nullopt;
    Bytes out(*size);
    Writer{out.data()}.value(value);
    return out;
}

std::optional<Value> unpack(ByteView bytes) {
    Reader reader{bytes};
    auto value = reader.value(0);
    if (!value || reader.at != bytes.size()) return std::nullopt;
    return value;
}

}  // namespace telvo::packed
