#include "bleflows/QKSingleBLENetworkBridgeConnect.h"

#include <cctype>

#include "bleflows/QKSingleBLEConnect.h"
#include "core/QKTool.h"
#include "logging/QKLog.h"
#include "protocol/QKCommonProtocol.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

namespace {

using Op = QKNetWorkApplianceOperation;

// The reply's "data" when it is a dictionary.
const Value* replyData(const std::optional<Value>& reply) {
    if (!reply || !reply->isDictionary()) return nullptr;
    const Value& data = (*reply)["data"];
    return data.isDictionary() ? &data : nullptr;
}

bool isHexText(const std::string& text) {
    if (text.empty() || text.size() % 2 != 0) return false;
    for (unsigned char c : text)
        if (!std::isxdigit(c)) return false;
    return true;
}

}  // namespace

void QKSingleBLENetworkBridgeConnect::statConfig(const QKDeviceBleConfigParams& params,
                                                 UpdateBlock update, CompletionBlock completion) {
    const Dictionary& adv = deviceRecord().qkSmartDict;
    connectType = adv["isNewGenerationMesh"].boolValue()     ? 3
                  : adv["isNewGenerationBeacon"].boolValue() ? 2
                                                             : 1;
    mutableConfigModel() = QKDeviceBleConfigParams{};
    mutableConfigModel().familyId = params.familyId;
    setBlocks(std::move(update), std::move(completion));
    if (ErrorPtr error = checkParamIntegrity()) {
        endWith(error);
        return;
    }
    startTotalTimer();
    connect();
}

ErrorPtr QKSingleBLENetworkBridgeConnect::checkParamIntegrity() const {
    if (!configModel().familyId) return bleErrorWithCode(4170);
    return nullptr;
}

ErrorPtr QKSingleBLENetworkBridgeConnect::netErrorWithCode(int64_t code) const {
    return TelvoError::sdkErrorWithType(3, code == 0 ? 8000 : code);
}

void QKSingleBLENetworkBridgeConnect::endWith(const ErrorPtr& error) {
    QKSDKLOG("[QKSingleBLENetworkBridgeConnect] ends with %lld",
             static_cast<long long>(error ? error->code() : 0));
    finalResultWithError(error, nullptr, true);
}

std::pair<QKNetWorkApplianceOperation::SuccessBlock, QKNetWorkApplianceOperation::FailedBlock>
QKSingleBLENetworkBridgeConnect::cloudBlocks(
    std::function<void(Self&, const std::optional<Value>&)> onSuccess) {
    auto self = std::static_pointer_cast<Self>(shared_from_this());
    std::weak_ptr<Self> weak = self;
    return {[weak, onSuccess = std::move(onSuccess)](const std::optional<Value>& reply) {
                auto self = weak.lock();
                if (self && !self->isConfigEnded()) onSuccess(*self, reply);
            },
            [self](const ErrorPtr& error) {
                if (!self->isConfigEnded())
                    self->endWith(self->netErrorWithCode(error ? error->code() : 0));
            }};
}

void QKSingleBLENetworkBridgeConnect::isReady() {
    checkBleStatus();
}

void QKSingleBLENetworkBridgeConnect::receiveProtocol(
    const std::shared_ptr<QKBLEProtocol>& protocol) {
    // Frames that came in one notification with the one that ended the session are dropped.
    if (!protocol || isConfigEnded()) return;
    const std::optional<Bytes>& body = protocol->decrptMsgBody();
    switch (protocol->msgType()) {
        case 0x63:
            receiveCheckStatusCommondWithData(body);
            QKSingleBLEConnect::publishStatusStepInfo(*bleDevice());
            updateBlockWithState(5);
            break;
        case 0x09:
            receiveCheckDeviceIdAndFamilyIdCommondWithData(body);
            break;
        case 0x20:
            receiveBleMeshConfigDataBack(body);
            break;
        case 0x03:
            receiveCheckTokenCommondWithData(body);
            break;
        default:
            break;
    }
}

// ---- Status and registration.

void QKSingleBLENetworkBridgeConnect::checkBleStatus() {
    sendBody(QKBLEProtocol::msgBodyForCheckStatus(0), 0x63);
}

void QKSingleBLENetworkBridgeConnect::receiveCheckStatusCommondWithData(
    const std::optional<Bytes>& data) {
    if (!data || !QKSingleBLEConnect::takeFullStatus(*data, *bleDevice())) return;
    checkDeviceIdAndFamilyId();
}

void QKSingleBLENetworkBridgeConnect::checkDeviceIdAndFamilyId() {
    auto [success, failed] = cloudBlocks([](Self& self, const std::optional<Value>& reply) {
        const Value* data = replyData(reply);
        const std::string code = data ? (*data)["applianceCode"].stringValue() : "";
        if (code.empty()) {
            self.endWith(self.bleErrorWithCode(4171));
            return;
        }
        self.bleDevice()->deviceId = code;
        self.sendDeviceIdAndFamilyId();
    });
    Op::getDeviceIdWithDeviceSn(bleDevice()->deviceSn, bleDevice()->deviceType, std::move(success),
                                std::move(failed));
}

void QKSingleBLENetworkBridgeConnect::sendDeviceIdAndFamilyId() {
    sendBody(QKBLEProtocol::msgBodyForCheckDeviceId(bleDevice()->deviceId, configModel().familyId),
             0x09);
}

void QKSingleBLENetworkBridgeConnect::receiveCheckDeviceIdAndFamilyIdCommondWithData(
    const std::optional<Bytes>& data) {
    if (!data || data->size() < 2) return;
    if ((*data)[1] != 0) {
        QKSDKLOG("[QKSingleBLENetworkBridgeConnect] device id refused: %d", (*data)[1]);
        endWith(bleErrorWithCode(4172));
        return;
    }
    sendDeviceIdAndFamilyIdSucc();
}

void QKSingleBLENetworkBridgeConnect::sendDeviceIdAndFamilyIdSucc() {
    if (connectType == 3)
        beginMeshConfig();
    else
        checkToken();
}

// ---- Mesh.

void QKSingleBLENetworkBridgeConnect::beginMeshConfig() {
    sendBody(QKBLEProtocol::msgBodyForBleMeshConfigInfo(), 0x20);
}

void QKSingleBLENetworkBridgeConnect::receiveBleMeshConfigDataBack(
    const std::optional<Bytes>& data) {
    if (!data || data->size() < 3 || (*data)[1] != 0x01) return;
    const Bytes& b = *data;
    if (b[0] == 0x04 && b.size() >= 4)
        receiveBleMeshConfigDataBack04(b[3], b[2]);
    else if (b[0] == 0x05)
        receiveBleMeshConfigDataBack05(b[2]);
}

void QKSingleBLENetworkBridgeConnect::receiveBleMeshConfigDataBack04(uint32_t count, uint32_t) {
    reqyestMeshkeyConfig(count);
}

void QKSingleBLENetworkBridgeConnect::reqyestMeshkeyConfig(int64_t count) {
    auto [success, failed] = cloudBlocks([count](Self& self, const std::optional<Value>& reply) {
        const Value* data = replyData(reply);
        std::string key = data ? (*data)["meshkey"].stringValue() : "";
        // A key that is no hex text would reach the bridge as other bytes.
        if (!isHexText(key) || key.size() / 2 > 255) {
            self.endWith(self.bleErrorWithCode(4189));
            return;
        }
        self.meshkey = std::move(key);
        self.getMeshBroadcastAddress(count);
    });
    Op::getMeshkeyWithFamiyId(configModel().familyId, std::move(success), std::move(failed));
}

void QKSingleBLENetworkBridgeConnect::getMeshBroadcastAddress(int64_t count) {
    auto [success, failed] = cloudBlocks([](Self& self, const std::optional<Value>& reply) {
        const Value data = reply && reply->isDictionary() ? (*reply)["data"] : Value();
        if (!data.isArray() || data.array().empty()) {
            self.endWith(self.bleErrorWithCode(4190));
            return;
        }
        self.sendBleMeshConfigData(data.array());
    });
    Op::getMeshAddressWithFamiyId(configModel().familyId, bleDevice()->deviceId, count,
                                  std::move(success), std::move(failed));
}

void QKSingleBLENetworkBridgeConnect::sendBleMeshConfigData(const Value::Array& addresses) {
    std::vector<std::string> texts;
    for (const Value& address : addresses) {
        const std::string& text = address.text();
        if (!isHexText(text) || text.size() != addresses.front().text().size()) break;
        texts.push_back(text);
    }
    std::optional<Bytes> body;
    if (texts.size() == addresses.size() && texts.size() < 256)
        body = QKBLEProtocol::msgBodyForBleMeshNetKey(meshkey, texts);
    if (!body) {
        QKSDKLOG("[QKSingleBLENetworkBridgeConnect] mesh addresses unusable");
        endWith(bleErrorWithCode(4190));
        return;
    }
    sendBody(*body, 0x20);
}

void QKSingleBLENetworkBridgeConnect::receiveBleMeshConfigDataBack05(uint32_t result) {
    if (result == 0x00)
        checkToken();
    else if (result == 0x01 || result == 0xFF)
        endWith(bleErrorWithCode(4191));
}

// ---- Token.

void QKSingleBLENetworkBridgeConnect::checkToken() {
    token = QKCommonProtocol::randomToken();
    bleDevice()->bleToken = QKTool::stringExchangeWithData(*token);
    sendBody(*token, 0x03);
}

void QKSingleBLENetworkBridgeConnect::receiveCheckTokenCommondWithData(
    const std::optional<Bytes>& data) {
    if (!data || data->empty()) return;
    if ((*data)[0] != 0x00) {
        endWith(bleErrorWithCode(4055));
        return;
    }
    updateBlockWithState(14);
    callBackDevice();
}

}  // namespace telvo
