#pragma once

#include <cstdint>

namespace telvo {

// The confirmation action that the app asks for.
class QKConfigAction {
public:
    int64_t actionType = 0;
    int64_t authType = 0;
};

}  // namespace telvo
