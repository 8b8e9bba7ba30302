#include "bleflows/QKSingleBLEConnect.h"

#include "bleflows/QKBleStatusAnswer.h"
#include "bleflows/QKSingleBLENetworkBridgeConnect.h"
#include "core/QKTool.h"
#include "logging/QKLog.h"
#include "platform/foundation/Registry.h"
#include "protocol/QKCommonProtocol.h"
#include "telvosdk/QKConfigBlocks.h"

namespace telvo {

void QKSingleBLEConnect::statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                                    CompletionBlock completion) {
    mutableConfigModel() = QKDeviceBleConfigParams{};
    mutableConfigModel().bleType = params.bleType;
    deviceRecord();
    setBlocks(std::move(update), std::move(completion));
    startTotalTimer();
    connect();
}

void QKSingleBLEConnect::isReady() {
    if (bleDevice()->supportBind)
        checkToken();
    else
        checkBleStatus();
}

void QKSingleBLEConnect::receiveProtocol(const std::shared_ptr<QKBLEProtocol>& protocol) {
    // Frames that came in one notification with the one that ended the session are dropped.
    if (!protocol || isConfigEnded()) return;
    const std::optional<Bytes>& body = protocol->decrptMsgBody();
    switch (protocol->msgType()) {
        case 0x03:
            receiveCheckTokenCommondWithData(body);
            break;
        case 0x63:
            receiveCheckStatusCommondWithData(body);
            publishStatusStepInfo(*bleDevice());
            updateBlockWithState(5);
            break;
        default:
            break;
    }
}

void QKSingleBLEConnect::disconnect() {
    QKSDKLOG("[QKSingleBLEConnect] disconnect");
    QKBLEBaseConnect::disconnect();
}

void QKSingleBLEConnect::checkToken() {
    token = QKCommonProtocol::randomToken();
    bleDevice()->bleToken = QKTool::stringExchangeWithData(*token);
    sendBody(*token, 0x03);
}

void QKSingleBLEConnect::receiveCheckTokenCommondWithData(const std::optional<Bytes>& data) {
    if (!data || data->empty()) return;
    if ((*data)[0] != 0x00) {
        QKSDKLOG("[QKSingleBLEConnect] token refused: %d", (*data)[0]);
        finalResultWithError(bleErrorWithCode(4055), nullptr, true);
        return;
    }
    updateBlockWithState(14);
    checkBleStatus();
}

void QKSingleBLEConnect::checkBleStatus() {
    sendBody(QKBLEProtocol::msgBodyForCheckStatus(0), 0x63);
}

void QKSingleBLEConnect::receiveCheckStatusCommondWithData(const std::optional<Bytes>& data) {
    if (!data || !takeFullStatus(*data, *bleDevice())) return;
    callBackDevice();
}

bool QKSingleBLEConnect::takeFullStatus(ByteView body, QKDevice& device) {
    if (body.size() < QKBleStatusAnswer::kFullStatusMinLength) return false;
    const auto status = QKBleStatusAnswer::parseFullStatus(body);
    if (!status) return false;
    device.deviceSn = status->deviceSn.value_or("");
    device.btMac = status->btMacText().value_or("");
    if (status->version) device.softwareVersion = QKTool::stringExchangeWithData(*status->version);
    if (auto subType = status->deviceSubTypeText()) device.deviceSubType = *subType;
    return true;
}

void QKSingleBLEConnect::publishStatusStepInfo(const QKDevice& device) {
    QKBleStatusAnswer::publishStepInfo(device.softwareVersion, device.deviceSn,
                                       device.deviceSubType);
}

// ---- Run-time names

namespace {

using ParamsPtr = std::shared_ptr<QKDeviceBleConfigParams>;

QKDeviceBleConfigParams singleParamsAt(const RegistryArgs& args, size_t index) {
    const ParamsPtr& p = registryArgRef<ParamsPtr>(args, index);
    return p ? *p : QKDeviceBleConfigParams{};
}

template <class Flow>
void registerFlow(const char* name) {
    RegisteredClass cls(name);
    cls.classSelector(
           "initWithParam:",
           [](const RegistryArgs& a) -> std::any {
               return RegistryInstance(QKBLEBaseConnect::initWithParam<Flow>(singleParamsAt(a, 0)));
           })
        .instanceSelector(
            "statConfig:connectUpdate:completion:",
            [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                auto completion = registryArgRef<QKConfigCompletionBlock>(a, 2);
                static_cast<Flow*>(s.get())->statConfig(
                    singleParamsAt(a, 0), registryArgRef<QKConfigStepBlock>(a, 1),
                    [completion](const ErrorPtr& error, const std::shared_ptr<QKDevice>& device) {
                        if (completion) completion(error, device);
                    });
                return {};
            });
    Registry::shared().registerClass(std::move(cls));
}

}  // namespace

void registerSingleBleFlows() {
    registerFlow<QKSingleBLEConnect>("QKSingleBLEConnect");
    registerFlow<QKSingleBLENetworkBridgeConnect>("QKSingleBLENetworkBridgeConnect");
}

}  // namespace telvo
