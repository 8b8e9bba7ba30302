#include "bleflows/QKBLEConnect.h"

#include <any>

#include "bleflows/QKBleStatusAnswer.h"
#include "core/QKTool.h"
#include "logging/QKLog.h"
#include "platform/foundation/Registry.h"
#include "telvosdk/QKConfigBlocks.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

namespace {

constexpr int64_t kStatus = 0x63;
constexpr int64_t kRouter = 0x68;
constexpr int64_t kRegional = 0x67;
constexpr int64_t kReport = 0x0D;

// The router answer that asks for the regional settings.
constexpr uint8_t kNeedsRegional = 0xE0;

std::string orEmpty(const std::optional<std::string>& text) {
    return text.value_or("");
}

}  // namespace

void QKBLEConnect::statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                              CompletionBlock completion) {
    QKDeviceBleConfigParams model;
    model.routerSSID = orEmpty(params.routerSSID);
    model.routerPwd = params.routerPwd;
    model.securityType = params.routerPwd ? "1" : "0";
    model.countryCode = orEmpty(params.countryCode);
    model.timeZone = orEmpty(params.timeZone);
    model.channelList = params.channelList;
    model.regionId = orEmpty(params.regionId);
    model.moduleServerDomain = orEmpty(params.moduleServerDomain);
    model.adnsIPList = params.adnsIPList;
    model.adnsIPPort = params.adnsIPPort;
    model.moduleServerPort = orEmpty(params.moduleServerPort);
    model.functionType = orEmpty(params.functionType);
    model.adsClusterId = orEmpty(params.adsClusterId);
    model.bleType = params.bleType;
    model.updateExtraParamWithDic(Value(params.extras));
    mutableConfigModel() = std::move(model);

    // A peripheral without a stored advertisement leaves the base without a record.
    deviceRecord().bleVersion = "0";
    setRouterBSSID(params.routerBSSID);

    setBlocks(std::move(update), std::move(completion));
    startTotalTimer();
    connect();
}

void QKBLEConnect::isReady() {
    QKSDKLOG("【BLE】一代配网 密钥交换完成, 查询状态");
    checkBleStatus();
}

void QKBLEConnect::checkBleStatus() {
    sendBody(QKBLEProtocol::msgBodyForCheckStatus(0), kStatus);
}

void QKBLEConnect::disconnect() {
    QKSDKLOG("【BLE】一代配网 断开连接");
    QKBLEBaseConnect::disconnect();
}

void QKBLEConnect::receiveProtocol(const std::shared_ptr<QKBLEProtocol>& protocol) {
    if (!protocol || !protocol->decrptMsgBody()) return;
    const Bytes& body = *protocol->decrptMsgBody();
    switch (protocol->msgType()) {
        case kStatus:
            receiveCheckStatusCommondWithData(body);
            QKBleStatusAnswer::publishStepInfo(*bleDevice());
            updateBlockWithState(5);
            break;
        case kRouter:
            receiveSendConfigInfoCommondWithData(body);
            break;
        case kRegional:
            receiveSendCountryInfoCommondWithData(body);
            break;
        case kReport:
            receiveUpdateStatusCommondWithData(body);
            break;
        default:
            break;
    }
}

void QKBLEConnect::receiveCheckStatusCommondWithData(ByteView data) {
    if (QKBleStatusAnswer::takeFullStatus(data, *bleDevice())) {
        QKSDKLOG("【BLE】一代配网 状态 sn=%s moduleVersion=%s", bleDevice()->deviceSn.c_str(),
                 bleDevice()->moduleVersion.c_str());
        sendConfigInfo();
    } else if (data.size() == 3 && data[0] == 0x01 && data[2] != 0) {
        receiveErrorFromModuleWithData(data);
    }
}

void QKBLEConnect::sendConfigInfo() {
    setRandomNum(QKBleStatusAnswer::makeConfigRandomNum(configModel()));
    const auto body = QKBLEProtocol::msgBodyForConnectWithRouterSSID(
        configModel().routerSSID, configModel().routerPwd, configModel().routerBSSID, randomNum());
    if (!body) {
        // An SSID or password over 255 bytes has no length byte to go in.
        finalResultWithError(bleErrorWithCode(8000), nullptr, true);
        return;
    }
    sendBody(*body, kRouter);
    updateBlockWithState(6);
}

void QKBLEConnect::receiveSendConfigInfoCommondWithData(ByteView data) {
    if (data.empty()) return;
    QKSDKLOG("【BLE】一代配网 路由信息回复=%d", int(data[0]));
    if (data[0] == 0x00) {
        startCloudCheck();
    } else if (data[0] == kNeedsRegional) {
        sendCoutryCodeAndChannelInfo();
    }
}

ErrorPtr QKBLEConnect::checkParamIntegrity() const {
    const QKDeviceBleConfigParams& m = configModel();
    if (!m.countryCode) return bleErrorWithCode(4123);
    if (!m.timeZone) return bleErrorWithCode(4124);
    if (!m.channelList) return bleErrorWithCode(4125);
    if (!m.regionId) return bleErrorWithCode(4142);
    return nullptr;
}

void QKBLEConnect::sendCoutryCodeAndChannelInfo() {
    if (ErrorPtr error = checkParamIntegrity()) {
        finalResultWithError(error, nullptr, true);
        return;
    }
    const auto body = QKBLEProtocol::msgBodyForCoutryChannelWithCountryCode(
        configModel().countryCode, configModel().timeZone,
        configModel().channelList.value_or(Value::Array{}), configModel().regionId);
    if (!body) {
        // More channel groups than the count byte allows.
        finalResultWithError(bleErrorWithCode(8000), nullptr, true);
        return;
    }
    sendBody(*body, kRegional);
}

void QKBLEConnect::receiveSendCountryInfoCommondWithData(ByteView data) {
    if (data.empty()) return;
    QKSDKLOG("【BLE】一代配网 国家码信息回复=%d", int(data[0]));
    int64_t code = 0;
    switch (data[0]) {
        case 0x00:
            startCloudCheck();
            return;
        case 0x01:
            code = 4123;
            break;
        case 0x02:
            code = 4124;
            break;
        case 0x03:
            code = 4125;
            break;
        case 0xFF:
            code = 4146;
            break;
        default:
            code = 4053;
            break;
    }
    finalResultWithError(bleErrorWithCode(code), nullptr, true);
}

void QKBLEConnect::receiveUpdateStatusCommondWithData(ByteView data) {
    if (data.size() < 3 || data[0] != 0x01) return;
    static constexpr int64_t kSteps[] = {7, 8, 9, 10};
    if (data[1] >= 1 && data[1] <= 4) updateBlockWithState(kSteps[data[1] - 1]);
    if (data[2] != 0) receiveErrorFromModuleWithData(data);
}

// ---- Run-time names

void registerBleFirstGeneration() {
    using ParamsPtr = std::shared_ptr<QKDeviceBleConfigParams>;
    RegisteredClass cls("QKBLEConnect");
    cls.classSelector(
           "initWithParam:",
           [](const RegistryArgs& a) -> std::any {
               const ParamsPtr& params = registryArgRef<ParamsPtr>(a, 0);
               if (!params) return RegistryInstance();
               return RegistryInstance(QKBLEBaseConnect::initWithParam<QKBLEConnect>(*params));
           })
        .instanceSelector(
            "statConfig:connectUpdate:completion:",
            [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                const ParamsPtr& params = registryArgRef<ParamsPtr>(a, 0);
                auto update = registryArgRef<QKConfigStepBlock>(a, 1);
                auto completion = registryArgRef<QKConfigCompletionBlock>(a, 2);
                auto* flow = static_cast<QKBLEConnect*>(s.get());
                flow->statConfig(
                    params ? *params : QKDeviceBleConfigParams{}, std::move(update),
                    [completion](const ErrorPtr& error, const std::shared_ptr<QKDevice>& device) {
                        if (completion) completion(error, device);
                    });
                return {};
            });
    Registry::shared().registerClass(std::move(cls));
}

}  // namespace telvo
