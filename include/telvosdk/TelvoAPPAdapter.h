#pragma once

#include "telvosdk/Export.h"

namespace telvo {

class TELVO_EXPORT TelvoAPPAdapter {
  public:
    // Whether the bind action type may be set: the settings value "sdkWorkMode" is "10002" or
    // "10004".
    static bool enableSetBindAuthType();
};

}  // namespace telvo
