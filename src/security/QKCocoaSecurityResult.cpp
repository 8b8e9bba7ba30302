#include "security/QKCocoaSecurityResult.h"

#include "security/QKCocoaSecurityEncoder.h"
#include "security/TextBytes.h"

namespace telvo {

std::optional<std::string> QKCocoaSecurityResult::utf8String() const {
    return textbytes::utf8Text(data_);
}

std::string QKCocoaSecurityResult::hex() const {
    return QKCocoaSecurityEncoder().hex(data_, false).value_or("");
}

std::string QKCocoaSecurityResult::hexLower() const {
    return QKCocoaSecurityEncoder().hex(data_, true).value_or("");
}

std::string QKCocoaSecurityResult::base64() const {
    return QKCocoaSecurityEncoder().base64(data_);
}

}  // namespace telvo
