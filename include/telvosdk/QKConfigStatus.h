#pragma once

#include <cstdint>

#include "telvosdk/Export.h"

namespace telvo {

// The status carried by the confirmation blocks.
class TELVO_EXPORT QKConfigStatus {
  public:
    int64_t authType = 0;
    void setAuthType(int64_t value) { authType = value; }
};

}  // namespace telvo
