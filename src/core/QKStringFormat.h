#pragma once

#include <optional>
#include <string>
#include <vector>

#include "telvosdk/Bytes.h"
#include "telvosdk/Value.h"

namespace telvo {

// Conversions between bytes, hexadecimal and decimal texts, binary digits and JSON texts.
// Stateless; every operation may be called from any thread. An absent input (nullopt) and an
// empty one differ where the operation says so.
class QKStringFormat {
  public:
    // One decimal text per byte ("0" to "255"); nullopt for nullopt.
    static std::optional<std::vector<std::string>> arrIntForData(const std::optional<Bytes>& data);
    // Each element's integer value taken modulo 256: texts are read as their leading decimal
    // number ("-61" gives 0xC3), numbers as integers, anything else as 0.
    static Bytes intArrayToData(const Value::Array& array);
    static Bytes intArrayToData(const std::vector<std::string>& array);
    // Each element is a two-digit hex text; what is not a hex digit ends the number read.
    static Bytes hexArrayToData(const std::vector<std::string>& array);
    // Digits read in pairs, either case; a lone last digit is read alone. nullopt for nullopt.
    static std::optional<Bytes> dataForHexString(const std::optional<std::string>& hex);
    // Lowercase, two digits a byte; nullopt for nullopt.
    static std::optional<std::string> hexStringForData(const std::optional<Bytes>& data);
    // Each decimal text modulo 256 as two lowercase hex digits.
    static std::string decimalArrayToHexString(const std::vector<std::string>& array);
    // The value (0 to 255) of the first byte the text writes; -1 for nullopt or empty text.
    static int hexStringToInteger(const std::optional<std::string>& hex);
    // Decimal texts of the UTF-8 bytes, bytes above 127 as negative numbers (-128 to -1).
    static std::vector<std::string> utf8StrForString(const std::string& text);
    // 32 binary digits, most significant first.
    static std::string intToBinary(int value);
    // The decimal text of the leading binary digits' value ("0" when there are none).
    static std::string BinaryToint(const std::string& binary);
    // Each number of the array modulo 256 as two lowercase hex digits; nullopt when the value
    // is not an array.
    static std::optional<std::string> toHexStringWithArray(const Value& array);
    // Compact JSON text of a dictionary or array; nullopt for anything else or anything JSON
    // cannot express.
    static std::optional<std::string> dicToJsonStr(const Value& dictionary);
    // Lowercase hex text, two digits a byte.
    static std::string dataToHexStr(ByteView data);
    // Lowercases the text and walks it: a hex digit and the character after it make one byte
    // (read base-16 up to the first non-digit) and the walk moves on by two; any other
    // character is skipped; a hex digit that is the last character is ignored. nullopt for
    // nullopt or empty text.
    static std::optional<Bytes> dataFromHexString(const std::optional<std::string>& text);
};

}  // namespace telvo
