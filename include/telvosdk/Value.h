#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <typeindex>
#include <utility>
#include <variant>
#include <vector>

#include "telvosdk/Bytes.h"
#include "telvosdk/Export.h"

namespace telvo {

class Value;

// A dictionary that keeps its keys in insertion order. Setting an existing key replaces the
// value in place. Building n entries takes linear expected time whatever the keys (they may be
// an attacker's): small dictionaries are scanned, larger ones keep an index of entry positions
// under a hash keyed afresh in each process. Erasing takes time linear in the size (the entries
// after it move up) and rehashes no key.
class TELVO_EXPORT Dictionary {
  public:
    using Entry = std::pair<std::string, Value>;

    Dictionary();
    Dictionary(std::initializer_list<Entry> entries);
    Dictionary(const Dictionary& other);
    Dictionary& operator=(const Dictionary& other);
    Dictionary(Dictionary&&) noexcept;
    Dictionary& operator=(Dictionary&&) noexcept;
    ~Dictionary();

    bool contains(std::string_view key) const;
    // The value under key, or nullptr.
    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    // The value under key, or a null Value.
    const Value& operator[](std::string_view key) const;
    void set(std::string key, Value value);
    bool erase(std::string_view key);
    void clear();
    // Room for n entries without growing.
    void reserve(size_t n);

    // Defined below Value: they need it complete.
    size_t size() const;
    bool empty() const;
    std::vector<std::string> keys() const;
    const std::vector<Entry>& entries() const { return entries_; }
    std::vector<Entry>::const_iterator begin() const;
    std::vector<Entry>::const_iterator end() const;

    bool operator==(const Dictionary& other) const;

  private:
    // Small dictionaries (most of them: device dictionaries, extras) are looked up by scanning
    // their entries; from kIndexedFrom entries on, a dictionary keeps an index: an open-addressed
    // table of entry positions (SipHash-1-3 under a random key), which holds no copy of a key.
    static constexpr size_t kIndexedFrom = 40;
    size_t position(std::string_view key) const;
    void reindex();
    std::vector<Entry> entries_;
    struct Index;
    std::unique_ptr<Index> index_;  // from kIndexedFrom entries on
};

// A dynamically typed value: the property-list model of the system (device dictionaries,
// extras, cloud replies). Accessors never fail: a value of another type answers with a
// default (0, false, "", empty), as a message to nil does.
class TELVO_EXPORT Value {
  public:
    using Array = std::vector<Value>;
    // Opaque handle to an object of the host or of the library (a peripheral, a session...).
    struct Object {
        std::shared_ptr<void> pointer;
        std::type_index type = typeid(void);
        bool operator==(const Object& other) const { return pointer == other.pointer; }
    };
    enum class Type { Null, Bool, Int, UInt, Double, Text, Bytes, Array, Dictionary, Object };

    Value() = default;
    Value(const Value& other);
    Value(Value&& other) noexcept;
    Value& operator=(const Value& other);
    Value& operator=(Value&& other) noexcept;
    ~Value();
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(int64_t{i}) {}
    Value(long i) : v_(int64_t{i}) {}
    Value(long long i) : v_(int64_t{i}) {}
    Value(unsigned u) : v_(int64_t{u}) {}
    Value(unsigned long u) : v_(uint64_t{u}) {}
    Value(unsigned long long u) : v_(uint64_t{u}) {}
    Value(double d) : v_(d) {}
    Value(const char* s) : v_(std::string(s ? s : "")) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(telvo::Bytes b) : v_(std::move(b)) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(telvo::Dictionary d) : v_(std::move(d)) {}
    template <class T>
    static Value object(std::shared_ptr<T> p) {
        Value v;
        v.v_ = Object{std::static_pointer_cast<void>(std::move(p)), typeid(T)};
        return v;
    }

    Type type() const { return static_cast<Type>(v_.index()); }
    bool isNull() const { return type() == Type::Null; }
    bool isBool() const { return type() == Type::Bool; }
    // Bool, Int, UInt or Double.
    bool isNumber() const;
    bool isInteger() const { return type() == Type::Int || type() == Type::UInt; }
    bool isText() const { return type() == Type::Text; }
    bool isBytes() const { return type() == Type::Bytes; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }
    bool isObject() const { return type() == Type::Object; }

    // Numbers convert between their kinds (out-of-range values saturate); a text is read as
    // its leading decimal number as NSString does ("12abc" -> 12); anything else gives 0.
    int64_t int64Value() const;
    uint64_t uint64Value() const;
    int intValue() const { return static_cast<int>(int64Value()); }
    double doubleValue() const;
    // Numbers: non-zero. Text: NSString's rule (leading "Y", "y", "T", "t" or a digit 1-9
    // after blanks, sign and zeros). Anything else: false.
    bool boolValue() const;

    // The text, or "" for any other type.
    const std::string& text() const;
    // The text, or nullopt for any other type (absent and empty differ).
    std::optional<std::string> optionalText() const;
    // A text, or the decimal form of a number; "" otherwise.
    std::string stringValue() const;
    const telvo::Bytes& bytes() const;
    const Array& array() const;
    const telvo::Dictionary& dictionary() const;
    // Mutable access; converts a value of another type to an empty one of this type first.
    Array& mutableArray();
    telvo::Dictionary& mutableDictionary();
    template <class T>
    std::shared_ptr<T> objectAs() const {
        if (auto* o = std::get_if<Object>(&v_); o && o->type == typeid(T))
            return std::static_pointer_cast<T>(o->pointer);
        return nullptr;
    }

    // Dictionary lookup; a null Value when this is not a dictionary or the key is absent.
    const Value& operator[](std::string_view key) const;
    const Value& operator[](const char* key) const { return (*this)[std::string_view(key)]; }
    // Array element; a null Value when out of range or not an array.
    const Value& at(size_t index) const;
    // Count of an array or dictionary, length of a text or bytes; 0 otherwise.
    size_t count() const;

    bool operator==(const Value& other) const { return v_ == other.v_; }

    // JSON text -> Value, in expected time linear in the text, without recursion. Only an
    // object or an array is accepted at the top level; invalid UTF-8, trailing garbage and more
    // than 512 nested containers are refused. A key given twice keeps its first place and its
    // last value. On failure returns nullopt and, when error is given, a reason.
    static std::optional<Value> fromJSON(std::string_view json, std::string* error = nullptr);
    // Compact JSON text (no added whitespace), keys in their order, in time linear in the value
    // and without recursion. nullopt when the value holds something JSON cannot express (bytes,
    // object handles, NaN or infinity, a text that is not UTF-8) or a value more than 512 levels
    // below the top.
    std::optional<std::string> toJSON() const;
    // Indented JSON text (4 blanks), as the platform's pretty printer writes it.
    std::optional<std::string> toPrettyJSON() const;

  private:
    std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string, telvo::Bytes, Array,
                 telvo::Dictionary, Object>
        v_;
};

inline size_t Dictionary::size() const {
    return entries_.size();
}
inline bool Dictionary::empty() const {
    return entries_.empty();
}
inline std::vector<Dictionary::Entry>::const_iterator Dictionary::begin() const {
    return entries_.begin();
}
inline std::vector<Dictionary::Entry>::const_iterator Dictionary::end() const {
    return entries_.end();
}

}  // namespace telvo
