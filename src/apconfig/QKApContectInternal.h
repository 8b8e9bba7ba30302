#pragma once

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "apconfig/QKApContect.h"
#include "platform/base/AsciiText.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/QKUserDefault.h"
#include "telvosdk/TelvoError.h"

// Internal to the QKApContect*.cpp files: what the phases of one run share.

namespace telvo {

template <class... A, class F>
std::function<void(A...)> QKApContect::weakly(F block) {
    return [weak = weak_from_this(), block = std::move(block)](A... args) {
        if (auto self = weak.lock()) block(*self, std::forward<A>(args)...);
    };
}

namespace apcontect {

inline int64_t nextCounter(std::atomic<int64_t>& counter) {
    int64_t current = counter.load();
    int64_t next;
    do {
        next = current + 1 >= 0x10000 ? 1 : current + 1;
    } while (!counter.compare_exchange_weak(current, next));
    return next;
}

inline int64_t plainCode(const ErrorPtr& error) {
    return error ? TelvoError::codeForSDKError(error) : 0;
}

inline bool failed(const ErrorPtr& error) {
    return error && error->code() != 0;
}

inline const char* text(const std::optional<std::string>& value) {
    return value ? value->c_str() : "(null)";
}

inline std::shared_ptr<QKMiddleConfig> middleConfig() {
    return QKMiddleInterface::shareInstance()->middleConfig();
}

inline bool isOpenPlatformWorkMode() {
    const std::string mode =
        QKUserDefault::standardUserDefaults()->valueForKey("sdkWorkMode").stringValue();
    return mode == "10004" || mode == "10002";
}

}  // namespace apcontect

}  // namespace telvo
