#pragma once

#include <string>
#include <string_view>

namespace telvo {

// Case changes and comparisons of protocol text (header names, serials, hex, key words): ASCII
// letters only, whatever locale the app has set, so that no other byte is ever changed.

inline char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}
inline char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

// The value of one hexadecimal digit (either case), or -1.
inline int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

inline std::string lowercased(std::string text) {
    for (char& c : text) c = asciiLower(c);
    return text;
}

inline std::string uppercased(std::string text) {
    for (char& c : text) c = asciiUpper(c);
    return text;
}

inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

// Where word first occurs in text, in either case; npos when it does not.
inline size_t findIgnoringCase(std::string_view text, std::string_view word) {
    for (size_t at = 0; at + word.size() <= text.size(); ++at)
        if (equalsIgnoringCase(text.substr(at, word.size()), word)) return at;
    return std::string_view::npos;
}

}  // namespace telvo
