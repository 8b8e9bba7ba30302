#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "telvosdk/Value.h"

namespace telvo {

// Makes the binding random code an appliance and the cloud's online check share: A and B as
// two hex digits each, then 28 hex digits of the MD5 of the router's BSSID bytes and
// password. Remembers the last call: the same A and B again within 120 seconds move A first.
// Thread-safe (calls are serialised).
class QKRandomNumObject {
  public:
    static std::shared_ptr<QKRandomNumObject> sharedManager();
    // Forgets the last call (tests).
    static void resetForTesting();

    // A may be changed in place. The SSID takes no part in the code.
    std::string produceRandomNumWithRandomA(int32_t& randomA, int32_t& randomB,
                                            const std::string& routerBssid,
                                            const std::string& routerSsid,
                                            const std::string& routerPwd);

    // "time_invalid" (seconds since 2001-01-01, six decimals) and "random_ab_string".
    Value randomIdentifyDic() const;

  private:
    mutable std::mutex mutex_;
    Dictionary randomIdentifyDic_;
};

}  // namespace telvo
