#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "telvosdk/Bytes.h"

namespace telvo {

// Any D-Bus value as a tree: the basic types, object paths, signatures, arrays, dict entries,
// structs and variants (unix descriptors are not carried). Values read from the bus come from
// a peer we do not trust: every lookup below answers nothing (nullopt, or the absent value) for
// a missing key, an index out of range or another type than the one asked for, never a crash.
//
// Arrays of bytes ("ay") keep their content in bytes(), not as one element per byte.
// A plain value; copies are deep. Not synchronised: share a value between threads only to read.
class DBusValue {
  public:
    enum class Type : char {
        Invalid = 0,  // the absent value
        Byte = 'y',
        Boolean = 'b',
        Int16 = 'n',
        UInt16 = 'q',
        Int32 = 'i',
        UInt32 = 'u',
        Int64 = 'x',
        UInt64 = 't',
        Double = 'd',
        String = 's',
        ObjectPath = 'o',
        Signature = 'g',
        Array = 'a',
        Struct = 'r',
        DictEntry = 'e',
        Variant = 'v',
    };

    DBusValue() = default;
    static const DBusValue& absent();

    static DBusValue ofByte(uint8_t v);
    static DBusValue ofBool(bool v);
    static DBusValue ofInt16(int16_t v);
    static DBusValue ofUInt16(uint16_t v);
    static DBusValue ofInt32(int32_t v);
    static DBusValue ofUInt32(uint32_t v);
    static DBusValue ofInt64(int64_t v);
    static DBusValue ofUInt64(uint64_t v);
    static DBusValue ofDouble(double v);
    static DBusValue ofString(std::string v);
    static DBusValue ofObjectPath(std::string v);
    static DBusValue ofSignature(std::string v);
    // "ay"
    static DBusValue ofBytes(Bytes v);
    // An array of elements of one complete type (elementSignature, e.g. "s" or "{sv}").
    static DBusValue array(std::string elementSignature, std::vector<DBusValue> elements);
    static DBusValue structure(std::vector<DBusValue> fields);
    static DBusValue dictEntry(DBusValue key, DBusValue value);
    static DBusValue variant(DBusValue inner);
    // "a{KV}" from key-value pairs.
    static DBusValue dictionary(std::string keySignature, std::string valueSignature,
                                std::vector<std::pair<DBusValue, DBusValue>> entries);
    // "a{sv}": each value is wrapped in a variant.
    static DBusValue propertyMap(std::vector<std::pair<std::string, DBusValue>> properties);
    static DBusValue stringArray(const std::vector<std::string>& strings);    // "as"
    static DBusValue objectPathArray(const std::vector<std::string>& paths);  // "ao"

    Type type() const { return type_; }
    bool isValid() const { return type_ != Type::Invalid; }
    // The value's complete type ("a{sv}", "(ii)"); empty for the absent value.
    std::string signature() const;

    // Typed lookups. Each looks through variants and answers only for exactly its type.
    std::optional<uint8_t> asByte() const;
    std::optional<bool> asBool() const;
    std::optional<int16_t> asInt16() const;
    std::optional<uint16_t> asUInt16() const;
    std::optional<int32_t> asInt32() const;
    std::optional<uint32_t> asUInt32() const;
    std::optional<int64_t> asInt64() const;
    std::optional<uint64_t> asUInt64() const;
    std::optional<double> asDouble() const;
    std::optional<std::string> asString() const;                        // "s"
    std::optional<std::string> asObjectPath() const;                    // "o"
    std::optional<std::string> asSignature() const;                     // "g"
    std::optional<Bytes> asBytes() const;                               // "ay"
    std::optional<std::vector<std::string>> asStringArray() const;      // "as"
    std::optional<std::vector<std::string>> asObjectPathArray() const;  // "ao"
    // Any integer type (y n q i u x t) whose value fits an int64_t.
    std::optional<int64_t> asInteger() const;

    // This value with every enclosing variant taken off.
    const DBusValue& unwrapped() const;
    // Elements of an array (none for "ay"), fields of a struct, key and value of a dict entry,
    // the content of a variant (the one place that does not look through variants).
    const std::vector<DBusValue>& items() const { return items_; }
    // Number of elements of an array (bytes for "ay"), fields of a struct; looks through
    // variants.
    size_t size() const;
    // The element at index (looking through variants); the absent value when out of range.
    const DBusValue& at(size_t index) const;
    // A dictionary's value for a string or object-path key (looking through variants on this
    // value and on the keys); the absent value when this is no dictionary or the key is missing.
    // The answer may itself be a variant; the typed lookups look through it.
    const DBusValue& at(std::string_view key) const;
    // The element type of an array ("y", "{sv}").
    const std::string& elementSignature() const;
    // An array of dict entries (looking through variants): items() of unwrapped() are then
    // entries whose at(0) is the key and at(1) the value.
    bool isDictionary() const;

    bool operator==(const DBusValue& other) const;

    // Signatures. The length of the complete type at the start of signature, 0 when there is
    // none (invalid, nested deeper than the wire format allows, or longer than 255).
    static size_t completeTypeLength(std::string_view signature);
    // Splits a signature into its complete types (views into signature); nullopt when it is
    // not a valid signature.
    static std::optional<std::vector<std::string_view>> splitSignature(std::string_view signature);

  private:
    DBusValue(Type type, uint64_t bits) : type_(type), bits_(bits) {}
    template <class T>
    std::optional<T> scalar(Type wanted) const;

    Type type_ = Type::Invalid;
    uint64_t bits_ = 0;  // integers (two's complement), booleans, the bits of a double
    std::string text_;   // strings, object paths, signatures; an array's element type
    Bytes bytes_;        // the content of "ay"
    std::vector<DBusValue> items_;
};

}  // namespace telvo
