#include "platform/foundation/FoundationErrors.h"

#include <cstring>

namespace telvo {

ErrorPtr posixError(int err, const std::string& reason) {
    Dictionary info;
    if (!reason.empty()) info.set(NSLocalizedFailureReasonErrorKey, reason);
    return makeError(NSPOSIXErrorDomain, err, std::strerror(err), std::move(info));
}

ErrorPtr withUnderlyingError(const ErrorPtr& error, const ErrorPtr& underlying) {
    return error->withUserInfo(kNSUnderlyingErrorKey,
                               Value::object(std::const_pointer_cast<Error>(underlying)));
}

}  // namespace telvo
