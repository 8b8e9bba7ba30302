#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "telvosdk/Error.h"
#include "telvosdk/Value.h"

namespace telvo {

// The completion of a cloud request: the error (the shared success object when the call
// succeeded) and the parsed reply, or nullopt.
using QKCloudCompletion =
    std::function<void(const ErrorPtr& error, const std::optional<Value>& reply)>;

// One request kept for replay after a token refresh. A plain record: the cloud client reads
// and changes it only under its own lock.
struct QKNetworkRequestObject {
    bool needRepeat = false;    // marked for replay by a token-invalid reply
    bool isKUCRequest = false;  // body-signed (true) or open API (false)
    std::string urlString;
    std::string apiPath;           // open API: the path as signed, for a replay to sign it again
    Value postDic = Dictionary{};  // the caller's body, before the common keys
    int64_t repeateCount = 0;      // token-invalid replies since the last success
    QKCloudCompletion competionBlock;
    bool replayed = false;  // sent again after a refresh; never a second time
};

}  // namespace telvo
