#pragma once

#include "telvosdk/QKMiddleInterface.h"

namespace telvo::fuzz {

// Targets that read discovery replies need the AP default key; it is set once per process.
inline void configureApDefaultKey() {
    static const bool configured = [] {
        QKMiddleInterface::shareInstance()->middleConfig()->setApConfigDefaultKey("fuzzDefaultKey");
        return true;
    }();
    (void)configured;
}

}  // namespace telvo::fuzz
