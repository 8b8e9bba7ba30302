#pragma once

#include <cstdint>

#include "telvosdk/Export.h"

namespace telvo {

// The confirmation action that the app asks for.
class TELVO_EXPORT QKConfigAction {
  public:
    int64_t actionType = 0;
    int64_t authType = 0;
};

}  // namespace telvo
