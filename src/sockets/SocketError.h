#pragma once

#include <string>

#include "platform/foundation/FoundationErrors.h"
#include "telvosdk/Error.h"

namespace telvo {

// Errors the socket classes report for failed system calls and host lookups.

inline constexpr const char* kCFStreamErrorDomainNetDB = "kCFStreamErrorDomainNetDB";

// A resolver error: the resolver's code and its gai_strerror text.
ErrorPtr resolverError(int gaiCode);

}  // namespace telvo
