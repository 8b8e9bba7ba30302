#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "telvosdk/Error.h"
#include "telvosdk/Export.h"

namespace telvo {

// The library's own errors. Domain "TelvoError"; the code is a composite of a type
// (1 configuration, 2 transport, 3 cloud), a source and a plain code:
//   composite = code + src * 10^n + type * 10^(n+1),
// n being the length of the code's decimal text (sign included), at least 4. Code 0 is the
// shared success object. User information starts empty; callers extend it with
// Error::withUserInfo ("errorSubType", "udpBroadMsg", "formerConfigInfo"...).
class TELVO_EXPORT TelvoError {
  public:
    static constexpr char kDomain[] = "TelvoError";

    // The shared success object: code 0, "Executed Successfully.".
    static ErrorPtr sucError();
    // sdkErrorWithType(1, code).
    static ErrorPtr configNetErrorWithCode(int64_t code);
    // Type, source 1, the message table's text for the code ("" when it has none).
    static ErrorPtr sdkErrorWithType(int64_t type, int64_t code);
    // A composite error with the given message (absent: ""); code 0 gives sucError().
    static ErrorPtr errorWithType(int64_t type, int64_t src, int64_t code,
                                  std::optional<std::string> msg);

    // The plain code of an error: 0 for none or code 0; else the code's decimal text without
    // its first two characters, read as an integer; -1 when that text is shorter than 3.
    static int64_t codeForSDKError(const ErrorPtr& error);
    // The message table's text for a plain code, or nullopt.
    static std::optional<std::string> desWithSDKErrorCode(int64_t code);

    // The composite code. When it does not fit in 64 bits the plain code is kept.
    static int64_t compositeCode(int64_t type, int64_t src, int64_t code);
};

}  // namespace telvo
