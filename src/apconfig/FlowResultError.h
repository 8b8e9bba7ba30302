#pragma once

#include <string>

#include "telvosdk/Error.h"
#include "telvosdk/TelvoError.h"
#include "telvosdk/Value.h"

namespace telvo {

// A flow's result error (the shared success object when none) in the flow's own domain, with one
// more entry in its user info (the discovery reply under "udpBroadMsg", the former configuration
// under its key).
inline ErrorPtr flowErrorAddingInfo(const std::string& domain, const ErrorPtr& error,
                                    const std::string& key, Value value) {
    const ErrorPtr given = error ? error : TelvoError::sucError();
    Value info = given->userInfo().isDictionary() ? given->userInfo() : Value(Dictionary{});
    info.mutableDictionary().set(key, std::move(value));
    return makeError(domain, given->code(), given->localizedDescription(), std::move(info));
}

}  // namespace telvo
