#include "cloud/QKRandomNumObject.h"

#include <cstdio>
#include <cstdlib>

#include "core/QKTool.h"
#include "core/TextSplit.h"
#include "platform/base/Singleton.h"
#include "platform/dispatch/Clock.h"
#include "security/QKDataSecurity.h"

namespace telvo {

namespace {

// Seconds from 1970 to the platform's reference date, 2001-01-01.
constexpr double kReferenceDateOffset = 978307200;
constexpr double kRepeatWindowSeconds = 120;

SharedInstance<QKRandomNumObject>& sharedRandomNum() {
    return processWide([] { return new SharedInstance<QKRandomNumObject>(); });
}

std::string abText(int32_t a, int32_t b) {
    char text[32];
    std::snprintf(text, sizeof text, "%02x%02x", static_cast<unsigned>(a),
                  static_cast<unsigned>(b));
    return text;
}

}  // namespace

std::shared_ptr<QKRandomNumObject> QKRandomNumObject::sharedManager() {
    return sharedRandomNum().get([] { return std::make_shared<QKRandomNumObject>(); });
}

void QKRandomNumObject::resetForTesting() {
    sharedRandomNum().exchange();
}

Value QKRandomNumObject::randomIdentifyDic() const {
    std::lock_guard lock(mutex_);
    return Value(randomIdentifyDic_);
}

std::string QKRandomNumObject::produceRandomNumWithRandomA(int32_t& randomA, int32_t& randomB,
                                                           const std::string& routerBssid,
                                                           const std::string&,
                                                           const std::string& routerPwd) {
    std::string ab = abText(randomA, randomB);
    const double now = Clock::wallTime() - kReferenceDateOffset;
    {
        std::lock_guard lock(mutex_);
        const Value* last = randomIdentifyDic_.find("time_invalid");
        const Value* lastAb = randomIdentifyDic_.find("random_ab_string");
        if (last && lastAb && lastAb->text() == ab &&
            now - double(std::strtoll(last->text().c_str(), nullptr, 10)) <= kRepeatWindowSeconds) {
            if (randomA == 255)
                randomA = 254;
            else if (randomA >= 1)  // 2^31-1 wraps to -2^31, as the 32-bit value does
                randomA = static_cast<int32_t>(static_cast<uint32_t>(randomA) + 1u);
            ab = abText(randomA, randomB);
        }
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%lf", now);
        randomIdentifyDic_.set("time_invalid", Value(std::string(stamp)));
        randomIdentifyDic_.set("random_ab_string", Value(ab));
    }
    std::string hex;
    for (const std::string& part : componentsSeparatedBy(routerBssid, ':')) {
        if (part.empty())
            hex += "00";
        else if (part.size() == 1)
            hex += "0" + part;
        else
            hex += part;
    }
    Bytes input = QKTool::dataFromHexString(hex).value_or(Bytes{});
    input.insert(input.end(), routerPwd.begin(), routerPwd.end());
    return ab + QKDataSecurity::getMD5_128WithData(input).substr(0, 28);
}

}  // namespace telvo
