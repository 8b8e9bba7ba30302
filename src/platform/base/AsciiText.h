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

}  // namespace telvo
