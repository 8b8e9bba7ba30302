#include "telvosdk/QKDeviceConfigParams.h"

#include "records/ValueReading.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {

void QKDeviceConfigParams::updateExtraParamWithDic(const Value& extras) {
    const Value& check = extras[kQKSDKConfigNeedCheckPassword];
    if ((check.isNumber() || check.isText()) && !check.boolValue()) checkPasswordEnable = false;

    struct Field {
        std::optional<std::string>* field;
        const char* key;
    };
    const Field fields[] = {
        {&countryCode, kQKSDKConfigCountryCode},
        {&timeZone, kQKSDKConfigTimeZone},
        {&regionId, kQKSDKConfigRegionID},
        {&moduleServerPort, kQKSDKConfigModuleServerPort},
        {&moduleServerDomain, kQKSDKConfigModuleServerDomain},
        {&functionType, kQKSDKConfigFunctionType},
        {&adsClusterId, kQKSDKConfigADSClusterId},
        {&adsDomain, kQKSDKConfigADSDomain},
        {&adsPort, kQKSDKConfigADSPort},
    };
    for (const auto& f : fields) {
        if (f.field->value_or("").empty()) *f.field = textOrInteger(extras[f.key]);
    }
    if (!channelList || channelList->empty()) {
        const Value& list = extras[kQKSDKConfigChannelList];
        channelList = list.isArray() ? std::optional<Value::Array>(list.array()) : std::nullopt;
    }
}

}  // namespace telvo
