#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "telvosdk/Bytes.h"
#include "telvosdk/Value.h"

namespace telvo {

// How secrets (passwords, keys, tokens, bind and random codes, and message bodies that may carry
// them) appear in log lines: their kind, their length and a fixed mask, never their bytes.

// "password(12 bytes)********"; "password(none)" without one, "password(0 bytes)" when empty.
std::string maskedSecret(std::string_view kind, std::string_view secret);
std::string maskedSecret(std::string_view kind, const std::optional<std::string>& secret);
inline std::string maskedSecret(std::string_view kind, const std::string& secret) {
    return maskedSecret(kind, std::string_view(secret));
}
// A message body: "(24 bytes)".
std::string maskedBody(ByteView body);
// The value's JSON with every value under a key that names a secret (password, key, token,
// random, sign, code, auth, cookie, session, credential...) or ends in one (otp, pin) masked as
// above, at any depth (a yes-or-no flag excepted); bytes values are masked everywhere.
std::string maskedJSON(const Value& value);

}  // namespace telvo
