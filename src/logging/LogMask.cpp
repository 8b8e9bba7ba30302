#include "logging/LogMask.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "platform/base/AsciiText.h"

namespace telvo {
namespace {

constexpr std::string_view kMask = "********";

bool namesSecret(std::string_view key) {
    const std::string lower = lowercased(std::string(key));
    static constexpr std::array<std::string_view, 15> kWords = {
        "pwd", "pass", "key",    "token",   "secret", "random", "sign", "code",
        "psk", "auth", "cookie", "session", "cred",   "bearer", "jwt"};
    // Words too short to find inside other words ("shipping", "footprint") count at the end.
    static constexpr std::array<std::string_view, 2> kEndings = {"otp", "pin"};
    return std::any_of(
               kWords.begin(), kWords.end(),
               [&](std::string_view word) { return lower.find(word) != std::string::npos; }) ||
           std::any_of(kEndings.begin(), kEndings.end(),
                       [&](std::string_view ending) { return lower.ends_with(ending); });
}

Value masked(const Value& value, bool secret) {
    if (value.isDictionary()) {
        Dictionary out;
        for (const auto& [key, inner] : value.dictionary())
            out.set(key, masked(inner, secret || namesSecret(key)));
        return out;
    }
    if (value.isArray()) {
        Value::Array out;
        for (const Value& inner : value.array()) out.push_back(masked(inner, secret));
        return out;
    }
    if (value.isBytes())
        return maskedSecret("bytes",
                            std::string_view(reinterpret_cast<const char*>(value.bytes().data()),
                                             value.bytes().size()));
    // A yes-or-no flag ("authenticationEnable") carries no secret.
    if (secret && !value.isNull() && !value.isBool()) return maskedSecret("", value.stringValue());
    return value;
}

}  // namespace

std::string maskedSecret(std::string_view kind, std::string_view secret) {
    std::string out(kind);
    out += "(" + std::to_string(secret.size()) + " bytes)";
    if (!secret.empty()) out += kMask;
    return out;
}

std::string maskedSecret(std::string_view kind, const std::optional<std::string>& secret) {
    return secret ? maskedSecret(kind, std::string_view(*secret)) : std::string(kind) + "(none)";
}

std::string maskedBody(ByteView body) {
    return "(" + std::to_string(body.size()) + " bytes)";
}

std::string maskedJSON(const Value& value) {
    return masked(value, false).toJSON().value_or("");
}

}  // namespace telvo
