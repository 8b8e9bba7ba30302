#include "telvosdk/Value.h"

#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <type_traits>

namespace telvo {

namespace {

const Value kNull;
const std::string kEmptyText;
const Bytes kEmptyBytes;
const Value::Array kEmptyArray;
const Dictionary kEmptyDictionary;

constexpr int kMaxDepth = 512;

using Json = nlohmann::ordered_json;

// Reads the leading decimal integer of a text as NSString's longLongValue does: blanks and a
// sign first; beyond the range it saturates.
template <class T>
T leadingInteger(const std::string& s) {
    const auto digit = [&](size_t i) { return s[i] >= '0' && s[i] <= '9'; };
    size_t i = 0;
    // Most texts start with a digit, which is a blank in no locale.
    while (i < s.size() && !digit(i) && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    uint64_t value = 0;
    bool any = false, beyond = false;
    for (; i < s.size() && digit(i); ++i) {
        const auto d = static_cast<uint64_t>(s[i] - '0');
        any = true;
        if (value > (UINT64_MAX - d) / 10) {
            beyond = true;
        } else {
            value = value * 10 + d;
        }
    }
    if (!any || (value == 0 && !beyond)) return 0;
    if (negative) {
        if constexpr (std::is_unsigned_v<T>) {
            return 0;
        } else {
            const auto magnitude = static_cast<uint64_t>(std::numeric_limits<T>::max()) + 1;
            return beyond || value >= magnitude ? std::numeric_limits<T>::min()
                                                : static_cast<T>(-static_cast<T>(value - 1) - 1);
        }
    }
    if (beyond || value >= static_cast<uint64_t>(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    return static_cast<T>(value);
}

template <class T>
T saturate(double d) {
    if (std::isnan(d)) return 0;
    if (d >= static_cast<double>(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    if (d <= static_cast<double>(std::numeric_limits<T>::min()))
        return std::numeric_limits<T>::min();
    return static_cast<T>(d);
}

std::optional<Value> fromJson(const Json& j, int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    switch (j.type()) {
        case Json::value_t::null:
            return Value();
        case Json::value_t::boolean:
            return Value(j.get<bool>());
        case Json::value_t::number_integer:
            return Value(static_cast<long long>(j.get<int64_t>()));
        case Json::value_t::number_unsigned: {
            uint64_t u = j.get<uint64_t>();
            if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
                return Value(static_cast<long long>(u));
            return Value(static_cast<unsigned long long>(u));
        }
        case Json::value_t::number_float:
            return Value(j.get<double>());
        case Json::value_t::string:
            return Value(j.get_ref<const std::string&>());
        case Json::value_t::array: {
            Value::Array a;
            a.reserve(j.size());
            for (const auto& e : j) {
                auto v = fromJson(e, depth + 1);
                if (!v) return std::nullopt;
                a.push_back(std::move(*v));
            }
            return Value(std::move(a));
        }
        case Json::value_t::object: {
            Dictionary d;
            for (const auto& [k, e] : j.items()) {
                auto v = fromJson(e, depth + 1);
                if (!v) return std::nullopt;
                d.set(k, std::move(*v));
            }
            return Value(std::move(d));
        }
        default:
            return std::nullopt;
    }
}

std::optional<Json> toJson(const Value& v, int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    switch (v.type()) {
        case Value::Type::Null:
            return Json(nullptr);
        case Value::Type::Bool:
            return Json(v.boolValue());
        case Value::Type::Int:
            return Json(v.int64Value());
        case Value::Type::UInt:
            return Json(v.uint64Value());
        case Value::Type::Double:
            if (!std::isfinite(v.doubleValue())) return std::nullopt;
            return Json(v.doubleValue());
        case Value::Type::Text:
            return Json(v.text());
        case Value::Type::Array: {
            Json a = Json::array();
            for (const auto& e : v.array()) {
                auto j = toJson(e, depth + 1);
                if (!j) return std::nullopt;
                a.push_back(std::move(*j));
            }
            return a;
        }
        case Value::Type::Dictionary: {
            Json o = Json::object();
            for (const auto& [k, e] : v.dictionary()) {
                auto j = toJson(e, depth + 1);
                if (!j) return std::nullopt;
                o[k] = std::move(*j);
            }
            return o;
        }
        case Value::Type::Bytes:
        case Value::Type::Object:
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

// ---- Dictionary

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
    entries_.reserve(entries.size());
    for (const auto& e : entries) set(e.first, e.second);
}

Dictionary::Dictionary(const Dictionary& other) : entries_(other.entries_) {
    if (other.index_) index_ = std::make_unique<Index>(*other.index_);
}

Dictionary& Dictionary::operator=(const Dictionary& other) {
    if (this != &other) {
        entries_ = other.entries_;
        index_ = other.index_ ? std::make_unique<Index>(*other.index_) : nullptr;
    }
    return *this;
}

Value::Value(const Value& other) = default;
Value::Value(Value&& other) noexcept = default;
Value& Value::operator=(const Value& other) = default;
Value& Value::operator=(Value&& other) noexcept = default;
Value::~Value() = default;

Dictionary::Dictionary(Dictionary&&) noexcept = default;
Dictionary& Dictionary::operator=(Dictionary&&) noexcept = default;
Dictionary::~Dictionary() = default;

size_t Dictionary::position(std::string_view key) const {
    if (index_) {
        auto it = index_->find(key);
        return it == index_->end() ? entries_.size() : it->second;
    }
    // Most keys differ in length or in their first or last byte (keys share prefixes such as
    // "device"): those are told apart without a call.
    const size_t n = key.size();
    for (size_t i = 0; i < entries_.size(); ++i) {
        const std::string& k = entries_[i].first;
        if (k.size() != n) continue;
        if (n == 0) return i;
        if (k[0] == key[0] && k[n - 1] == key[n - 1] && std::memcmp(k.data(), key.data(), n) == 0)
            return i;
    }
    return entries_.size();
}

bool Dictionary::contains(std::string_view key) const {
    return position(key) < entries_.size();
}

const Value* Dictionary::find(std::string_view key) const {
    const size_t at = position(key);
    return at < entries_.size() ? &entries_[at].second : nullptr;
}

Value* Dictionary::find(std::string_view key) {
    const size_t at = position(key);
    return at < entries_.size() ? &entries_[at].second : nullptr;
}

const Value& Dictionary::operator[](std::string_view key) const {
    const Value* v = find(key);
    return v ? *v : kNull;
}

// Inlined, so that set costs no extra call.
[[gnu::always_inline]] void Dictionary::addEntry(std::string&& key, Value&& value) {
    if (index_) index_->emplace(key, entries_.size());
    entries_.emplace_back(std::move(key), std::move(value));
    if (!index_ && entries_.size() >= kIndexedFrom) reindex();
}

void Dictionary::set(std::string key, Value value) {
    if (Value* existing = find(key)) {
        *existing = std::move(value);
        return;
    }
    addEntry(std::move(key), std::move(value));
}

bool Dictionary::erase(std::string_view key) {
    const size_t at = position(key);
    if (at >= entries_.size()) return false;
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(at));
    if (index_) reindex();
    return true;
}

void Dictionary::clear() {
    entries_.clear();
    index_.reset();
}

void Dictionary::reserve(size_t n) {
    entries_.reserve(n);
}

std::vector<std::string> Dictionary::keys() const {
    std::vector<std::string> k;
    k.reserve(entries_.size());
    for (const auto& e : entries_) k.push_back(e.first);
    return k;
}

bool Dictionary::operator==(const Dictionary& other) const {
    return entries_ == other.entries_;
}

void Dictionary::reindex() {
    if (entries_.size() < kIndexedFrom) {
        index_.reset();
        return;
    }
    if (!index_) index_ = std::make_unique<Index>();
    index_->clear();
    for (size_t i = 0; i < entries_.size(); ++i) index_->emplace(entries_[i].first, i);
}

// ---- Value

bool Value::isNumber() const {
    auto t = type();
    return t == Type::Bool || t == Type::Int || t == Type::UInt || t == Type::Double;
}

int64_t Value::int64Value() const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(v_) ? 1 : 0;
        case Type::Int:
            return std::get<int64_t>(v_);
        case Type::UInt: {
            uint64_t u = std::get<uint64_t>(v_);
            return u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
                       ? std::numeric_limits<int64_t>::max()
                       : static_cast<int64_t>(u);
        }
        case Type::Double:
            return saturate<int64_t>(std::get<double>(v_));
        case Type::Text:
            return leadingInteger<int64_t>(std::get<std::string>(v_));
        default:
            return 0;
    }
}

uint64_t Value::uint64Value() const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(v_) ? 1 : 0;
        case Type::Int: {
            int64_t i = std::get<int64_t>(v_);
            return i < 0 ? static_cast<uint64_t>(i) : static_cast<uint64_t>(i);
        }
        case Type::UInt:
            return std::get<uint64_t>(v_);
        case Type::Double:
            return saturate<uint64_t>(std::get<double>(v_));
        case Type::Text: {
            const auto& s = std::get<std::string>(v_);
            if (s.find('-') != std::string::npos)
                return static_cast<uint64_t>(leadingInteger<int64_t>(s));
            return leadingInteger<uint64_t>(s);
        }
        default:
            return 0;
    }
}

double Value::doubleValue() const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(v_) ? 1 : 0;
        case Type::Int:
            return static_cast<double>(std::get<int64_t>(v_));
        case Type::UInt:
            return static_cast<double>(std::get<uint64_t>(v_));
        case Type::Double:
            return std::get<double>(v_);
        case Type::Text: {
            const auto& s = std::get<std::string>(v_);
            char* end = nullptr;
            double d = std::strtod(s.c_str(), &end);
            return end == s.c_str() ? 0 : d;
        }
        default:
            return 0;
    }
}

bool Value::boolValue() const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(v_);
        case Type::Int:
            return std::get<int64_t>(v_) != 0;
        case Type::UInt:
            return std::get<uint64_t>(v_) != 0;
        case Type::Double:
            return std::get<double>(v_) != 0;
        case Type::Text: {
            const auto& s = std::get<std::string>(v_);
            size_t i = 0;
            while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
            if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
            while (i < s.size() && s[i] == '0') ++i;
            if (i >= s.size()) return false;
            char c = s[i];
            return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
        }
        default:
            return false;
    }
}

const std::string& Value::text() const {
    auto* s = std::get_if<std::string>(&v_);
    return s ? *s : kEmptyText;
}

std::optional<std::string> Value::optionalText() const {
    if (auto* s = std::get_if<std::string>(&v_)) return *s;
    return std::nullopt;
}

std::string Value::stringValue() const {
    switch (type()) {
        case Type::Text:
            return std::get<std::string>(v_);
        case Type::Bool:
            return std::get<bool>(v_) ? "1" : "0";
        case Type::Int:
            return std::to_string(std::get<int64_t>(v_));
        case Type::UInt:
            return std::to_string(std::get<uint64_t>(v_));
        case Type::Double: {
            double d = std::get<double>(v_);
            if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 1e15)
                return std::to_string(static_cast<int64_t>(d));
            return Json(d).dump();
        }
        default:
            return "";
    }
}

const Bytes& Value::bytes() const {
    auto* b = std::get_if<telvo::Bytes>(&v_);
    return b ? *b : kEmptyBytes;
}

const Value::Array& Value::array() const {
    auto* a = std::get_if<Array>(&v_);
    return a ? *a : kEmptyArray;
}

const Dictionary& Value::dictionary() const {
    auto* d = std::get_if<telvo::Dictionary>(&v_);
    return d ? *d : kEmptyDictionary;
}

Value::Array& Value::mutableArray() {
    if (!isArray()) v_ = Array{};
    return std::get<Array>(v_);
}

Dictionary& Value::mutableDictionary() {
    if (!isDictionary()) v_ = telvo::Dictionary{};
    return std::get<telvo::Dictionary>(v_);
}

const Value& Value::operator[](std::string_view key) const {
    return dictionary()[key];
}

const Value& Value::at(size_t index) const {
    const auto& a = array();
    return index < a.size() ? a[index] : kNull;
}

size_t Value::count() const {
    switch (type()) {
        case Type::Text:
            return text().size();
        case Type::Bytes:
            return bytes().size();
        case Type::Array:
            return array().size();
        case Type::Dictionary:
            return dictionary().size();
        default:
            return 0;
    }
}

std::optional<Value> Value::fromJSON(std::string_view json, std::string* error) {
    auto fail = [&](std::string reason) -> std::optional<Value> {
        if (error) *error = std::move(reason);
        return std::nullopt;
    };
    // The parser itself is iterative; nesting is bounded before it builds anything.
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : json) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth) return fail("JSON nesting is too deep");
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    Json j;
    try {
        j = Json::parse(json.begin(), json.end());
    } catch (const Json::exception& e) {
        return fail(std::string("invalid JSON: ") + e.what());
    }
    if (!j.is_object() && !j.is_array()) return fail("JSON text must be an object or an array");
    auto v = fromJson(j, 0);
    if (!v) return fail("JSON value cannot be represented");
    return v;
}

std::optional<std::string> Value::toJSON() const {
    auto j = toJson(*this, 0);
    if (!j) return std::nullopt;
    try {
        return j->dump(-1, ' ', false, Json::error_handler_t::strict);
    } catch (const Json::exception&) {
        return std::nullopt;  // a text that is not valid UTF-8
    }
}

std::optional<std::string> Value::toPrettyJSON() const {
    auto j = toJson(*this, 0);
    if (!j) return std::nullopt;
    try {
        return j->dump(4, ' ', false, Json::error_handler_t::strict);
    } catch (const Json::exception&) {
        return std::nullopt;
    }
}

}  // namespace telvo
