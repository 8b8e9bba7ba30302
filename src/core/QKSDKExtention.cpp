#include "core/QKSDKExtention.h"

#include <algorithm>
#include <cctype>

namespace telvo {

bool qksdk_isEqualToStringIgnoreCase(const std::optional<std::string>& receiver,
                                     const std::optional<std::string>& other) {
    if (!receiver || !other || receiver->size() != other->size()) return false;
    return std::equal(receiver->begin(), receiver->end(), other->begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
}

}  // namespace telvo
