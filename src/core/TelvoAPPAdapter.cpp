#include "telvosdk/TelvoAPPAdapter.h"

#include "telvosdk/QKUserDefault.h"

namespace telvo {

bool TelvoAPPAdapter::enableSetBindAuthType() {
    const std::string mode =
        QKUserDefault::standardUserDefaults()->valueForKey("sdkWorkMode").stringValue();
    return mode == "10002" || mode == "10004";
}

}  // namespace telvo
