#pragma once

#include <string>

#include "telvosdk/Error.h"

namespace telvo {

// Errors the socket classes report for failed system calls and host lookups.

inline constexpr const char* NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kCFStreamErrorDomainNetDB = "kCFStreamErrorDomainNetDB";
// User-information key of the failure reason.
inline constexpr const char* NSLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";

// A POSIX-domain error: the code and text of err, the reason as failure reason (when given).
ErrorPtr posixError(int err, const std::string& reason = {});
// A resolver error: the resolver's code and its gai_strerror text.
ErrorPtr resolverError(int gaiCode);

}  // namespace telvo
