#include "platform/dbus/DBusValue.h"

#include <cstring>
#include <limits>

namespace telvo {

namespace {

const std::string kNoText;

// The nesting the D-Bus wire format allows: 32 arrays and 32 structs (dict entries count as
// structs).
constexpr int kMaxArrayNesting = 32;
constexpr int kMaxStructNesting = 32;
// The wire format caps a signature at 255 bytes.
constexpr size_t kMaxSignature = 255;

bool isBasicCode(char c) {
    return std::strchr("ybnqiuxtdsogh", c) != nullptr && c != '\0';
}

// The end of the complete type starting at pos, or npos.
size_t completeTypeEnd(std::string_view sig, size_t pos, int arrays, int structs) {
    if (pos >= sig.size()) return std::string_view::npos;
    char c = sig[pos];
    if (isBasicCode(c) || c == 'v') return pos + 1;
    if (c == 'a') {
        if (++arrays > kMaxArrayNesting) return std::string_view::npos;
        if (pos + 1 < sig.size() && sig[pos + 1] == '{') {
            if (++structs > kMaxStructNesting) return std::string_view::npos;
            size_t key = pos + 2;
            if (key >= sig.size() || !isBasicCode(sig[key])) return std::string_view::npos;
            size_t end = completeTypeEnd(sig, key + 1, arrays, structs);
            if (end == std::string_view::npos || end >= sig.size() || sig[end] != '}')
                return std::string_view::npos;
            return end + 1;
        }
        return completeTypeEnd(sig, pos + 1, arrays, structs);
    }
    if (c == '(') {
        if (++structs > kMaxStructNesting) return std::string_view::npos;
        size_t p = pos + 1;
        if (p < sig.size() && sig[p] == ')') return std::string_view::npos;  // empty struct
        while (p < sig.size() && sig[p] != ')') {
            p = completeTypeEnd(sig, p, arrays, structs);
            if (p == std::string_view::npos) return p;
        }
        return p < sig.size() ? p + 1 : std::string_view::npos;
    }
    return std::string_view::npos;
}

std::vector<std::string> textsOf(const DBusValue& v, std::string_view elementType,
                                 DBusValue::Type textType, bool& ok) {
    std::vector<std::string> out;
    const DBusValue& a = v.unwrapped();
    ok = a.type() == DBusValue::Type::Array && a.elementSignature() == elementType;
    if (!ok) return out;
    out.reserve(a.items().size());
    for (const auto& item : a.items()) {
        if (item.type() != textType) {
            ok = false;
            return {};
        }
        out.push_back(textType == DBusValue::Type::String ? *item.asString()
                                                          : *item.asObjectPath());
    }
    return out;
}

}  // namespace

const DBusValue& DBusValue::absent() {
    static const DBusValue none;
    return none;
}

DBusValue DBusValue::ofByte(uint8_t v) {
    return DBusValue(Type::Byte, v);
}
DBusValue DBusValue::ofBool(bool v) {
    return DBusValue(Type::Boolean, v ? 1 : 0);
}
DBusValue DBusValue::ofInt16(int16_t v) {
    return DBusValue(Type::Int16, uint64_t(int64_t(v)));
}
DBusValue DBusValue::ofUInt16(uint16_t v) {
    return DBusValue(Type::UInt16, v);
}
DBusValue DBusValue::ofInt32(int32_t v) {
    return DBusValue(Type::Int32, uint64_t(int64_t(v)));
}
DBusValue DBusValue::ofUInt32(uint32_t v) {
    return DBusValue(Type::UInt32, v);
}
DBusValue DBusValue::ofInt64(int64_t v) {
    return DBusValue(Type::Int64, uint64_t(v));
}
DBusValue DBusValue::ofUInt64(uint64_t v) {
    return DBusValue(Type::UInt64, v);
}
DBusValue DBusValue::ofDouble(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return DBusValue(Type::Double, bits);
}

DBusValue DBusValue::ofString(std::string v) {
    DBusValue out(Type::String, 0);
    out.text_ = std::move(v);
    return out;
}
DBusValue DBusValue::ofObjectPath(std::string v) {
    DBusValue out(Type::ObjectPath, 0);
    out.text_ = std::move(v);
    return out;
}
DBusValue DBusValue::ofSignature(std::string v) {
    DBusValue out(Type::Signature, 0);
    out.text_ = std::move(v);
    return out;
}

DBusValue DBusValue::ofBytes(Bytes v) {
    DBusValue out(Type::Array, 0);
    out.text_ = "y";
    out.bytes_ = std::move(v);
    return out;
}

DBusValue DBusValue::array(std::string elementSignature, std::vector<DBusValue> elements) {
    if (elementSignature == "y") {
        // Kept compact, as the bus reader does.
        Bytes bytes;
        bytes.reserve(elements.size());
        for (const auto& e : elements) bytes.push_back(e.asByte().value_or(0));
        return ofBytes(std::move(bytes));
    }
    DBusValue out(Type::Array, 0);
    out.text_ = std::move(elementSignature);
    out.items_ = std::move(elements);
    return out;
}

DBusValue DBusValue::structure(std::vector<DBusValue> fields) {
    DBusValue out(Type::Struct, 0);
    out.items_ = std::move(fields);
    return out;
}

DBusValue DBusValue::dictEntry(DBusValue key, DBusValue value) {
    DBusValue out(Type::DictEntry, 0);
    out.items_.reserve(2);
    out.items_.push_back(std::move(key));
    out.items_.push_back(std::move(value));
    return out;
}

DBusValue DBusValue::variant(DBusValue inner) {
    DBusValue out(Type::Variant, 0);
    out.items_.push_back(std::move(inner));
    return out;
}

DBusValue DBusValue::dictionary(std::string keySignature, std::string valueSignature,
                                std::vector<std::pair<DBusValue, DBusValue>> entries) {
    std::vector<DBusValue> items;
    items.reserve(entries.size());
    for (auto& [k, v] : entries) items.push_back(dictEntry(std::move(k), std::move(v)));
    return array("{" + keySignature + valueSignature + "}", std::move(items));
}

DBusValue DBusValue::propertyMap(std::vector<std::pair<std::string, DBusValue>> properties) {
    std::vector<DBusValue> items;
    items.reserve(properties.size());
    for (auto& [k, v] : properties)
        items.push_back(dictEntry(ofString(std::move(k)), variant(std::move(v))));
    return array("{sv}", std::move(items));
}

DBusValue DBusValue::stringArray(const std::vector<std::string>& strings) {
    std::vector<DBusValue> items;
    items.reserve(strings.size());
    for (const auto& s : strings) items.push_back(ofString(s));
    return array("s", std::move(items));
}

DBusValue DBusValue::objectPathArray(const std::vector<std::string>& paths) {
    std::vector<DBusValue> items;
    items.reserve(paths.size());
    for (const auto& p : paths) items.push_back(ofObjectPath(p));
    return array("o", std::move(items));
}

std::string DBusValue::signature() const {
    switch (type_) {
        case Type::Invalid:
            return {};
        case Type::Array:
            return "a" + text_;
        case Type::Struct: {
            std::string out = "(";
            for (const auto& f : items_) out += f.signature();
            return out + ")";
        }
        case Type::DictEntry: {
            std::string out = "{";
            for (const auto& f : items_) out += f.signature();
            return out + "}";
        }
        default:
            return std::string(1, char(type_));
    }
}

const DBusValue& DBusValue::unwrapped() const {
    const DBusValue* v = this;
    while (v->type_ == Type::Variant && !v->items_.empty()) v = &v->items_.front();
    return *v;
}

template <class T>
std::optional<T> DBusValue::scalar(Type wanted) const {
    const DBusValue& v = unwrapped();
    if (v.type_ != wanted) return std::nullopt;
    return static_cast<T>(v.bits_);
}

std::optional<uint8_t> DBusValue::asByte() const {
    return scalar<uint8_t>(Type::Byte);
}
std::optional<bool> DBusValue::asBool() const {
    return scalar<bool>(Type::Boolean);
}
std::optional<int16_t> DBusValue::asInt16() const {
    return scalar<int16_t>(Type::Int16);
}
std::optional<uint16_t> DBusValue::asUInt16() const {
    return scalar<uint16_t>(Type::UInt16);
}
std::optional<int32_t> DBusValue::asInt32() const {
    return scalar<int32_t>(Type::Int32);
}
std::optional<uint32_t> DBusValue::asUInt32() const {
    return scalar<uint32_t>(Type::UInt32);
}
std::optional<int64_t> DBusValue::asInt64() const {
    return scalar<int64_t>(Type::Int64);
}
std::optional<uint64_t> DBusValue::asUInt64() const {
    return scalar<uint64_t>(Type::UInt64);
}

std::optional<double> DBusValue::asDouble() const {
    const DBusValue& v = unwrapped();
    if (v.type_ != Type::Double) return std::nullopt;
    double d;
    std::memcpy(&d, &v.bits_, sizeof d);
    return d;
}

std::optional<std::string> DBusValue::asString() const {
    const DBusValue& v = unwrapped();
    if (v.type_ != Type::String) return std::nullopt;
    return v.text_;
}
std::optional<std::string> DBusValue::asObjectPath() const {
    const DBusValue& v = unwrapped();
    if (v.type_ != Type::ObjectPath) return std::nullopt;
    return v.text_;
}
std::optional<std::string> DBusValue::asSignature() const {
    const DBusValue& v = unwrapped();
    if (v.type_ != Type::Signature) return std::nullopt;
    return v.text_;
}

std::optional<Bytes> DBusValue::asBytes() const {
    const DBusValue& v = unwrapped();
    if (v.type_ != Type::Array || v.text_ != "y") return std::nullopt;
    return v.bytes_;
}

std::optional<std::vector<std::string>> DBusValue::asStringArray() const {
    bool ok;
    auto out = textsOf(*this, "s", Type::String, ok);
    if (!ok) return std::nullopt;
    return out;
}

std::optional<std::vector<std::string>> DBusValue::asObjectPathArray() const {
    bool ok;
    auto out = textsOf(*this, "o", Type::ObjectPath, ok);
    if (!ok) return std::nullopt;
    return out;
}

std::optional<int64_t> DBusValue::asInteger() const {
    const DBusValue& v = unwrapped();
    switch (v.type_) {
        case Type::Byte:
        case Type::UInt16:
        case Type::UInt32:
            return int64_t(v.bits_);
        case Type::Int16:
        case Type::Int32:
        case Type::Int64:
            return int64_t(v.bits_);
        case Type::UInt64:
            if (v.bits_ > uint64_t(std::numeric_limits<int64_t>::max())) return std::nullopt;
            return int64_t(v.bits_);
        default:
            return std::nullopt;
    }
}

size_t DBusValue::size() const {
    const DBusValue& v = unwrapped();
    if (v.type_ == Type::Array && v.text_ == "y") return v.bytes_.size();
    if (v.type_ == Type::Array || v.type_ == Type::Struct) return v.items_.size();
    return 0;
}

const DBusValue& DBusValue::at(size_t index) const {
    const DBusValue& v = unwrapped();
    if ((v.type_ != Type::Array && v.type_ != Type::Struct && v.type_ != Type::DictEntry) ||
        index >= v.items_.size())
        return absent();
    return v.items_[index];
}

const DBusValue& DBusValue::at(std::string_view key) const {
    if (!isDictionary()) return absent();
    for (const auto& entry : unwrapped().items_) {
        if (entry.type_ != Type::DictEntry || entry.items_.size() != 2) continue;
        const DBusValue& k = entry.items_[0].unwrapped();
        if ((k.type_ == Type::String || k.type_ == Type::ObjectPath) && k.text_ == key)
            return entry.items_[1];
    }
    return absent();
}

const std::string& DBusValue::elementSignature() const {
    const DBusValue& v = unwrapped();
    return v.type_ == Type::Array ? v.text_ : kNoText;
}

bool DBusValue::isDictionary() const {
    const DBusValue& v = unwrapped();
    return v.type_ == Type::Array && !v.text_.empty() && v.text_[0] == '{';
}

bool DBusValue::operator==(const DBusValue& other) const {
    return type_ == other.type_ && bits_ == other.bits_ && text_ == other.text_ &&
           bytes_ == other.bytes_ && items_ == other.items_;
}

size_t DBusValue::completeTypeLength(std::string_view signature) {
    size_t end = completeTypeEnd(signature, 0, 0, 0);
    return end == std::string_view::npos || end > kMaxSignature ? 0 : end;
}

std::optional<std::vector<std::string_view>> DBusValue::splitSignature(std::string_view signature) {
    if (signature.size() > kMaxSignature) return std::nullopt;
    std::vector<std::string_view> out;
    size_t pos = 0;
    while (pos < signature.size()) {
        size_t end = completeTypeEnd(signature, pos, 0, 0);
        if (end == std::string_view::npos) return std::nullopt;
        out.push_back(signature.substr(pos, end - pos));
        pos = end;
    }
    return out;
}

}  // namespace telvo
