#pragma once

#include <string>

#include "telvosdk/Error.h"

namespace telvo {

// The platform's error domain of system calls, and its user-information keys.
inline constexpr const char* NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* NSLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr const char* kNSUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* kNSErrorFailingURLKey = "NSErrorFailingURLKey";
inline constexpr const char* kNSLocalizedDescriptionKey = "NSLocalizedDescription";

// An error in a log line: its domain, code and text; "(null)" for none.
inline std::string errorLogText(const ErrorPtr& error) {
    return error ? error->domain() + " " + std::to_string(error->code()) + " " +
                       error->localizedDescription()
                 : "(null)";
}

// A POSIX-domain error: the code and text of err, the reason as failure reason (when given).
ErrorPtr posixError(int err, const std::string& reason = {});
// A copy of error with underlying stored under kNSUnderlyingErrorKey.
ErrorPtr withUnderlyingError(const ErrorPtr& error, const ErrorPtr& underlying);

}  // namespace telvo
