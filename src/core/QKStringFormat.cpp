#include "core/QKStringFormat.h"

#include <limits>

#include "core/HexText.h"
#include "platform/base/AsciiText.h"

namespace telvo {

namespace {

uint8_t byteOf(const Value& element) {
    return static_cast<uint8_t>(element.int64Value());
}

}  // namespace

std::optional<std::vector<std::string>> QKStringFormat::arrIntForData(
    const std::optional<Bytes>& data) {
    if (!data) return std::nullopt;
    std::vector<std::string> out;
    out.reserve(data->size());
    for (uint8_t b : *data) out.push_back(std::to_string(b));
    return out;
}

Bytes QKStringFormat::intArrayToData(const Value::Array& array) {
    Bytes out;
    out.reserve(array.size());
    for (const Value& element : array) out.push_back(byteOf(element));
    return out;
}

Bytes QKStringFormat::intArrayToData(const std::vector<std::string>& array) {
    Bytes out;
    out.reserve(array.size());
    for (const std::string& element : array) out.push_back(byteOf(Value(element)));
    return out;
}

Bytes QKStringFormat::hexArrayToData(const std::vector<std::string>& array) {
    Bytes out;
    out.reserve(array.size());
    for (const std::string& element : array) out.push_back(hextext::leadingPair(element));
    return out;
}

std::optional<Bytes> QKStringFormat::dataForHexString(const std::optional<std::string>& hex) {
    if (!hex) return std::nullopt;
    return hextext::readPairs(*hex);
}

std::optional<std::string> QKStringFormat::hexStringForData(const std::optional<Bytes>& data) {
    if (!data) return std::nullopt;
    return hextext::encode(*data, false);
}

std::string QKStringFormat::decimalArrayToHexString(const std::vector<std::string>& array) {
    return hextext::encode(intArrayToData(array), false);
}

int QKStringFormat::hexStringToInteger(const std::optional<std::string>& hex) {
    if (!hex || hex->empty()) return -1;
    return hextext::leadingPair(*hex);
}

std::vector<std::string> QKStringFormat::utf8StrForString(const std::string& text) {
    std::vector<std::string> out;
    out.reserve(text.size());
    for (char c : text) out.push_back(std::to_string(static_cast<int>(static_cast<int8_t>(c))));
    return out;
}

std::string QKStringFormat::intToBinary(int value) {
    std::string out(32, '0');
    auto bits = static_cast<uint32_t>(value);
    for (int i = 31; i >= 0; --i, bits >>= 1) out[static_cast<size_t>(i)] = (bits & 1) ? '1' : '0';
    return out;
}

std::string QKStringFormat::BinaryToint(const std::string& binary) {
    uint64_t value = 0;
    for (char c : binary) {
        if (c != '0' && c != '1') break;
        if (value > (std::numeric_limits<uint64_t>::max() >> 1)) {
            value = std::numeric_limits<uint64_t>::max();
            break;
        }
        value = (value << 1) | static_cast<uint64_t>(c - '0');
    }
    return std::to_string(value);
}

std::optional<std::string> QKStringFormat::toHexStringWithArray(const Value& array) {
    if (!array.isArray()) return std::nullopt;
    return hextext::encode(intArrayToData(array.array()), false);
}

std::optional<std::string> QKStringFormat::dicToJsonStr(const Value& dictionary) {
    if (!dictionary.isDictionary() && !dictionary.isArray()) return std::nullopt;
    return dictionary.toJSON();
}

std::string QKStringFormat::dataToHexStr(ByteView data) {
    return hextext::encode(data, false);
}

std::optional<Bytes> QKStringFormat::dataFromHexString(const std::optional<std::string>& text) {
    if (!text || text->empty()) return std::nullopt;
    // Hex digits are read in either case, so the text needs no lowercasing.
    Bytes out;
    const std::string_view s = *text;
    size_t i = 0;
    while (i < s.size()) {
        if (hexDigitValue(s[i]) < 0) {
            ++i;
            continue;
        }
        if (i + 1 >= s.size()) break;
        out.push_back(hextext::leadingPair(s.substr(i, 2)));
        i += 2;
    }
    return out;
}

}  // namespace telvo
