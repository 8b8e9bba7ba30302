#pragma once

#include <cstdint>

namespace telvo {

// The status carried by the confirmation blocks.
class QKConfigStatus {
public:
    int64_t authType = 0;
    void setAuthType(int64_t value) { authType = value; }
};

}  // namespace telvo
