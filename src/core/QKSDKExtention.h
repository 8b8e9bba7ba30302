#pragma once

#include <optional>
#include <string>

namespace telvo {

// NSString(QKSDKExtention): YES when the lower-case forms of receiver and other are equal;
// NO when either is absent. Letters outside ASCII compare as they are.
bool qksdk_isEqualToStringIgnoreCase(const std::optional<std::string>& receiver,
                                     const std::optional<std::string>& other);

}  // namespace telvo
