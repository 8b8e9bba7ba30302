// JSON documents built to hurt a reader, for the tests and the benchmarks: objects whose keys
// share one hash under a hash function anyone can compute, and nesting.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace telvo::test {

// count distinct keys with one times-33 hash (h = h * 33 + byte, at any width): strings of the
// blocks "Ab" and "BA", which add the same to the hash wherever they stand.
inline std::vector<std::string> djbCollidingKeys(size_t count) {
    size_t blocks = 1;
    while ((size_t{1} << blocks) < count) ++blocks;
    std::vector<std::string> keys;
    keys.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        std::string key;
        for (size_t b = 0; b < blocks; ++b) key += (i >> b) & 1 ? "BA" : "Ab";
        keys.push_back(std::move(key));
    }
    return keys;
}

// count distinct 16-byte keys with one std::hash under libstdc++ (a 64-bit MurmurHash with a
// fixed seed): 8 printable bytes, counting, then the 8 bytes that bring the hash state after
// both blocks to one value, found by undoing a block's mixing; kept when they are 7-bit.
inline std::vector<std::string> stdHashCollidingKeys(size_t count) {
    constexpr uint64_t mul = 0xc6a4a7935bd1e995ULL;
    constexpr uint64_t inverse = [] {
        uint64_t x = mul;  // Newton's iteration: each step doubles the correct low bits
        for (int i = 0; i < 6; ++i) x *= 2 - mul * x;
        return x;
    }();
    static_assert(mul * inverse == 1);
    const auto shiftMix = [](uint64_t v) { return v ^ (v >> 47); };
    const uint64_t start = 0xc70f6907ULL ^ (16 * mul);
    const uint64_t target = 0x5bd1e9955bd1e995ULL;
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::vector<std::string> keys;
    keys.reserve(count);
    for (uint64_t n = 0; keys.size() < count; ++n) {
        char key[16];
        for (int i = 0; i < 8; ++i) key[i] = digits[(n >> (6 * i)) & 63];
        uint64_t first;
        std::memcpy(&first, key, 8);
        const uint64_t state = (start ^ (shiftMix(first * mul) * mul)) * mul;
        const uint64_t second = shiftMix((state ^ target) * inverse) * inverse;
        if (second & 0x8080808080808080ULL) continue;
        std::memcpy(key + 8, &second, 8);
        keys.emplace_back(key, 16);
    }
    return keys;
}

// text as a JSON string.
inline std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + '"';
}

// {"key": 0, ...} of the keys in their order.
inline std::string jsonObjectOfKeys(const std::vector<std::string>& keys) {
    std::string out = "{";
    for (const std::string& key : keys) out += jsonString(key) + ":0,";
    if (!keys.empty()) out.pop_back();
    return out + "}";
}

// levels containers, each holding the next: arrays, or objects under the key "a" with an
// array before their child, as [[[...]]] or {"a":[0,{"a":[0,...]}]} (each counting two).
inline std::string nestedJson(size_t levels, bool objects = false) {
    std::string open = objects ? "{\"a\":[0," : "[", close = objects ? "]}" : "]";
    if (objects) levels /= 2;
    std::string out;
    out.reserve(levels * (open.size() + close.size()));
    for (size_t i = 0; i < levels; ++i) out += open;
    if (objects) out += "0";
    for (size_t i = 0; i < levels; ++i) out += close;
    return out;
}

}  // namespace telvo::test
