#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace telvo {

// The parts of a text between separators, as NSString's componentsSeparatedByString: reads
// them: an empty text gives one empty part, and n separators give n + 1 parts.
inline std::vector<std::string> componentsSeparatedBy(std::string_view text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back().push_back(c);
    }
    return parts;
}

}  // namespace telvo
