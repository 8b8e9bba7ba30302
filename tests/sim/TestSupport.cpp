#include "sim/TestSupport.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace telvo::test {

std::string vectorsDir() { return TELVO_VECTORS_DIR; }

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

Value loadWycheproof(const std::string& fileName) {
    std::string error;
    auto v = Value::fromJSON(readFile(vectorsDir() + "/wycheproof/" + fileName), &error);
    if (!v) throw std::runtime_error("cannot read " + fileName + ": " + error);
    return *v;
}

Bytes hex(const std::string& text) {
    Bytes out;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument("bad hex digit");
    };
    std::string digits;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) digits.push_back(c);
    if (digits.size() % 2) throw std::invalid_argument("odd hex length");
    for (size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(nibble(digits[i]) << 4 | nibble(digits[i + 1])));
    return out;
}

std::string toHex(ByteView bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

}  // namespace telvo::test
