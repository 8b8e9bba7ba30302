#include "telvosdk/Value.h"

#include <sys/random.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <type_traits>

#include "platform/foundation/ValueBuilder.h"

namespace telvo {

namespace {

const Value kNull;
const std::string kEmptyText;
const Bytes kEmptyBytes;
const Value::Array kEmptyArray;
const Dictionary kEmptyDictionary;

constexpr size_t kMaxDepth = 512;

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

// The parser's events, handed to a ValueBuilder.
class JsonEvents {
  public:
    bool null() { return builder_.add(Value()); }
    bool boolean(bool b) { return builder_.add(Value(b)); }
    bool number_integer(int64_t i) { return builder_.add(Value(static_cast<long long>(i))); }
    bool number_unsigned(uint64_t u) {
        if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return builder_.add(Value(static_cast<long long>(u)));
        return builder_.add(Value(static_cast<unsigned long long>(u)));
    }
    bool number_float(double d, const std::string&) { return builder_.add(Value(d)); }
    bool string(std::string& s) { return builder_.text(std::move(s)); }
    bool binary(nlohmann::json::binary_t&) { return false; }  // not in JSON text
    bool key(std::string& k) { return builder_.key(std::move(k)); }
    bool start_object(size_t) { return builder_.begin(true); }
    bool start_array(size_t) { return builder_.begin(false); }
    bool end_object() { return builder_.end(); }
    bool end_array() { return builder_.end(); }
    bool parse_error(size_t, const std::string&, const nlohmann::json::exception& e) {
        error_ = std::string("invalid JSON: ") + e.what();
        return false;
    }

    // After a parse that succeeded: the top value (an object or array), or nullopt and why not.
    std::optional<Value> result(std::string& error) {
        Value top = builder_.take();
        if (!top.isArray() && !top.isDictionary()) {
            error = "JSON text must be an object or an array";
            return std::nullopt;
        }
        return top;
    }
    // After a parse that failed.
    std::string error() const { return error_.empty() ? "JSON nesting is too deep" : error_; }

  private:
    ValueBuilder builder_{kMaxDepth};
    std::string error_;
};

// A scalar as nlohmann's writer writes it; throws on a text that is not valid UTF-8.
std::string jsonScalar(const Json& scalar) {
    return scalar.dump(-1, ' ', false, Json::error_handler_t::strict);
}

// A text as a JSON string: most texts need neither escapes nor a check of their UTF-8 and are
// written as they are, the rest by nlohmann's writer.
void appendJsonText(std::string& out, const std::string& text) {
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte < 0x80 && c != '"' && c != '\\';
    });
    if (!plain) {
        out += jsonScalar(Json(text));
        return;
    }
    out += '"';
    out += text;
    out += '"';
}

template <class Integer>
void appendInteger(std::string& out, Integer i) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, i).ptr);
}

// JSON text of root without recursion, laid out as nlohmann's writer lays out the same document
// (indent < 0: compact): a stack of the containers being written, each with its next child.
std::optional<std::string> writeJson(const Value& root, int indent) {
    struct Open {
        const Value* container;
        size_t next;
    };
    std::vector<Open> open;
    std::string out;
    const auto newline = [&](size_t depth) {
        if (indent < 0) return;
        out += '\n';
        out.append(depth * size_t(indent), ' ');
    };
    // Writes a scalar or opens a container; false for what JSON cannot express.
    const auto write = [&](const Value& v) {
        if (open.size() > kMaxDepth) return false;
        switch (v.type()) {
            case Value::Type::Null:
                out += "null";
                return true;
            case Value::Type::Bool:
                out += v.boolValue() ? "true" : "false";
                return true;
            case Value::Type::Int:
                appendInteger(out, v.int64Value());
                return true;
            case Value::Type::UInt:
                appendInteger(out, v.uint64Value());
                return true;
            case Value::Type::Double:
                if (!std::isfinite(v.doubleValue())) return false;
                out += jsonScalar(Json(v.doubleValue()));
                return true;
            case Value::Type::Text:
                appendJsonText(out, v.text());
                return true;
            case Value::Type::Array:
            case Value::Type::Dictionary:
                out += v.isArray() ? '[' : '{';
                open.push_back({&v, 0});
                return true;
            case Value::Type::Bytes:
            case Value::Type::Object:
                return false;
        }
        return false;
    };
    try {
        if (!write(root)) return std::nullopt;
        while (!open.empty()) {
            const Value& container = *open.back().container;
            const size_t at = open.back().next++;
            if (at == container.count()) {
                if (at) newline(open.size() - 1);
                out += container.isArray() ? ']' : '}';
                open.pop_back();
                continue;
            }
            if (at) out += ',';
            newline(open.size());
            if (container.isArray()) {
                if (!write(container.array()[at])) return std::nullopt;
                continue;
            }
            const auto& [key, value] = container.dictionary().entries()[at];
            appendJsonText(out, key);
            out += indent < 0 ? ":" : ": ";
            if (!write(value)) return std::nullopt;
        }
    } catch (const Json::exception&) {
        return std::nullopt;  // a text that is not valid UTF-8
    }
    return out;
}

}  // namespace

// ---- Dictionary

namespace {

// The index's hash: SipHash-1-3 under a key drawn once per process, so that no one who writes a
// document can choose keys that collide.
struct SipKey {
    uint64_t k0 = 0, k1 = 0;
};

SipKey drawSipKey() {
    SipKey key;
    auto* out = reinterpret_cast<unsigned char*>(&key);
    size_t got = 0;
    while (got < sizeof key) {
        const ssize_t n = getrandom(out + got, sizeof key - got, 0);
        if (n > 0) {
            got += size_t(n);
        } else if (n < 0 && errno != EINTR) {
            break;
        }
    }
    if (got < sizeof key) {
        // No getrandom (an old kernel, a sandbox that forbids it): the clock and the addresses
        // the loader chose still differ from run to run.
        key.k0 ^= uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
        key.k1 ^= reinterpret_cast<uintptr_t>(&key) ^ reinterpret_cast<uintptr_t>(&drawSipKey);
    }
    return key;
}

inline uint64_t rotateLeft(uint64_t x, int bits) {
    return (x << bits) | (x >> (64 - bits));
}

uint64_t sipHash13(std::string_view text) {
    static const SipKey key = drawSipKey();
    uint64_t v0 = 0x736f6d6570736575ULL ^ key.k0, v1 = 0x646f72616e646f6dULL ^ key.k1;
    uint64_t v2 = 0x6c7967656e657261ULL ^ key.k0, v3 = 0x7465646279746573ULL ^ key.k1;
    const auto round = [&] {
        v0 += v1, v1 = rotateLeft(v1, 13), v1 ^= v0, v0 = rotateLeft(v0, 32);
        v2 += v3, v3 = rotateLeft(v3, 16), v3 ^= v2;
        v0 += v3, v3 = rotateLeft(v3, 21), v3 ^= v0;
        v2 += v1, v1 = rotateLeft(v1, 17), v1 ^= v2, v2 = rotateLeft(v2, 32);
    };
    const size_t n = text.size();
    const char* p = text.data();
    for (const char* end = p + (n & ~size_t{7}); p != end; p += 8) {
        uint64_t m;
        std::memcpy(&m, p, 8);
        if constexpr (std::endian::native == std::endian::big) m = __builtin_bswap64(m);
        v3 ^= m;
        round();
        v0 ^= m;
    }
    uint64_t last = uint64_t(n) << 56;
    for (size_t i = 0; i < (n & 7); ++i) last |= uint64_t(uint8_t(p[i])) << (8 * i);
    v3 ^= last;
    round();
    v0 ^= last;
    v2 ^= 0xff;
    round(), round(), round();
    return v0 ^ v1 ^ v2 ^ v3;
}

// A slot of the index: the low 32 bits of the key's hash above, the entry's position + 1 below
// (0: an empty slot). The table is a power of two long and at most half full; a key sits at the
// first free slot from its hash on (linear probing).
using IndexSlot = uint64_t;
constexpr size_t kNotFound = SIZE_MAX;

inline uint32_t slotHash(IndexSlot slot) {
    return uint32_t(slot >> 32);
}
inline uint32_t slotEntry(IndexSlot slot) {
    return uint32_t(slot);
}

// Slots for n entries: at least twice as many.
size_t slotsFor(size_t n) {
    if (n >= (size_t{1} << 31)) throw std::length_error("Dictionary: too many entries");
    return std::bit_ceil(std::max<size_t>(2 * n, 64));
}

// Where key's probe ends: the slot that holds it and its position, or the free slot where it
// would go and kNotFound.
std::pair<size_t, size_t> probeIndex(const std::vector<IndexSlot>& slots,
                                     const std::vector<Dictionary::Entry>& entries,
                                     std::string_view key, uint32_t hash) {
    const size_t mask = slots.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const IndexSlot slot = slots[i];
        if (slotEntry(slot) == 0) return {i, kNotFound};
        if (slotHash(slot) == hash && entries[slotEntry(slot) - 1].first == key)
            return {i, slotEntry(slot) - 1};
    }
}

// The same slots in a table of size slots; the stored hashes place them without a key's help.
std::vector<IndexSlot> resized(const std::vector<IndexSlot>& slots, size_t size) {
    std::vector<IndexSlot> table(size);
    const size_t mask = size - 1;
    for (IndexSlot slot : slots) {
        if (slotEntry(slot) == 0) continue;
        size_t i = slotHash(slot) & mask;
        while (slotEntry(table[i]) != 0) i = (i + 1) & mask;
        table[i] = slot;
    }
    return table;
}

// Empties slot at and moves up the slots after it that may then sit nearer their hash, so that
// no probe finds a gap before its key.
void removeSlot(std::vector<IndexSlot>& slots, size_t at) {
    const size_t mask = slots.size() - 1;
    slots[at] = 0;
    for (size_t j = (at + 1) & mask; slotEntry(slots[j]) != 0; j = (j + 1) & mask) {
        const size_t home = slotHash(slots[j]) & mask;
        if (((j - home) & mask) >= ((j - at) & mask)) {
            slots[at] = slots[j];
            slots[j] = 0;
            at = j;
        }
    }
}

}  // namespace

struct Dictionary::Index {
    std::vector<IndexSlot> slots;
};

Dictionary::Dictionary() = default;

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
    entries_.reserve(entries.size());
    for (const auto& e : entries) set(e.first, e.second);
}

Dictionary::Dictionary(const Dictionary& other)
    : entries_(other.entries_),
      index_(other.index_ ? std::make_unique<Index>(*other.index_) : nullptr) {}

// Both assignments take what they need from other before letting go of their own entries, which
// may hold other (a dictionary replaced by one of its values).
Dictionary& Dictionary::operator=(const Dictionary& other) {
    if (this != &other) *this = Dictionary(other);
    return *this;
}

Dictionary::Dictionary(Dictionary&& other) noexcept = default;

Dictionary& Dictionary::operator=(Dictionary&& other) noexcept {
    if (this != &other) {
        std::unique_ptr<Index> index = std::move(other.index_);
        std::vector<Entry> entries = std::move(other.entries_);
        entries_ = std::move(entries);
        index_ = std::move(index);
    }
    return *this;
}

Dictionary::~Dictionary() = default;

Value::Value(const Value& other) = default;
Value::Value(Value&& other) noexcept = default;
Value& Value::operator=(const Value& other) = default;
Value& Value::operator=(Value&& other) noexcept = default;
// Letting go of a deep value recurses one level only: the containers nested in a container are
// moved out to a list first, and each one taken from the list gives up its own the same way.
Value::~Value() {
    const auto nested = [](const Value& v) {
        return (v.isArray() && !v.array().empty()) || (v.isDictionary() && !v.dictionary().empty());
    };
    const auto moveNested = [&](Value& from, std::vector<Value>& to) {
        if (auto* a = std::get_if<Array>(&from.v_)) {
            for (Value& element : *a)
                if (nested(element)) to.push_back(std::move(element));
        } else if (auto* d = std::get_if<telvo::Dictionary>(&from.v_)) {
            // The entries are this value's own: only the dictionary's interface keeps them const.
            for (const auto& entry : d->entries())
                if (nested(entry.second)) to.push_back(std::move(const_cast<Value&>(entry.second)));
        }
    };
    if (!nested(*this)) return;
    std::vector<Value> later;
    moveNested(*this, later);
    while (!later.empty()) {
        Value v = std::move(later.back());
        later.pop_back();
        moveNested(v, later);
    }
}

size_t Dictionary::position(std::string_view key) const {
    if (index_) {
        const size_t at = probeIndex(index_->slots, entries_, key, uint32_t(sipHash13(key))).second;
        return at == kNotFound ? entries_.size() : at;
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

void Dictionary::set(std::string key, Value value) {
    if (!index_) {
        if (Value* existing = find(key)) {
            *existing = std::move(value);
            return;
        }
        entries_.emplace_back(std::move(key), std::move(value));
        if (entries_.size() >= kIndexedFrom) reindex();
        return;
    }
    auto& slots = index_->slots;
    // Grown before anything changes, so that a failed allocation leaves the dictionary whole.
    if (2 * (entries_.size() + 1) > slots.size())
        slots = resized(slots, slotsFor(entries_.size() + 1));
    const uint32_t hash = uint32_t(sipHash13(key));
    const auto [slot, at] = probeIndex(slots, entries_, key, hash);
    if (at != kNotFound) {
        entries_[at].second = std::move(value);
        return;
    }
    entries_.emplace_back(std::move(key), std::move(value));
    slots[slot] = (IndexSlot{hash} << 32) | entries_.size();
}

bool Dictionary::erase(std::string_view key) {
    if (!index_) {
        const size_t at = position(key);
        if (at >= entries_.size()) return false;
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(at));
        return true;
    }
    auto& slots = index_->slots;
    const auto [slot, at] = probeIndex(slots, entries_, key, uint32_t(sipHash13(key)));
    if (at == kNotFound) return false;
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(at));
    if (entries_.size() < kIndexedFrom) {
        index_.reset();
        return true;
    }
    removeSlot(slots, slot);
    // Without a branch, so that the pass runs at the speed of memory.
    const uint32_t erased = uint32_t(at + 1);
    for (IndexSlot& s : slots) s -= slotEntry(s) > erased;
    return true;
}

void Dictionary::clear() {
    entries_.clear();
    index_.reset();
}

void Dictionary::reserve(size_t n) {
    entries_.reserve(n);
    if (index_ && slotsFor(n) > index_->slots.size())
        index_->slots = resized(index_->slots, slotsFor(n));
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

// Builds the index of a dictionary that has just reached kIndexedFrom entries, with room for
// as many as it has reserved.
void Dictionary::reindex() {
    std::vector<IndexSlot> slots(slotsFor(std::max(entries_.size(), entries_.capacity())));
    const size_t mask = slots.size() - 1;
    for (size_t at = 0; at < entries_.size(); ++at) {
        const uint32_t hash = uint32_t(sipHash13(entries_[at].first));
        size_t i = hash & mask;
        while (slotEntry(slots[i]) != 0) i = (i + 1) & mask;
        slots[i] = (IndexSlot{hash} << 32) | (at + 1);
    }
    index_ = std::make_unique<Index>(Index{std::move(slots)});
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
    JsonEvents builder;
    std::string reason;
    std::optional<Value> value;
    if (nlohmann::json::sax_parse(json.begin(), json.end(), &builder))
        value = builder.result(reason);
    else
        reason = builder.error();
    if (!value && error) *error = std::move(reason);
    return value;
}

std::optional<std::string> Value::toJSON() const {
    return writeJson(*this, -1);
}

std::optional<std::string> Value::toPrettyJSON() const {
    return writeJson(*this, 4);
}

}  // namespace telvo
