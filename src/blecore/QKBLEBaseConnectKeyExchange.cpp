#include <string_view>

#include "blecore/QKBLEBaseConnect.h"
#include "blecore/QKBLEBaseConnectInternal.h"
#include "logging/LogMask.h"
#include "logging/QKLog.h"
#include "platform/crypto/Crypto.h"
#include "platform/crypto/KeyStore.h"
#include "platform/dispatch/MainLoop.h"
#include "protocol/QKCommonProtocol.h"
#include "security/QKDataSecurity.h"
#include "security/QKEllipticCurveSecret.h"
#include "security/QKSigECCEncryptHelper.h"
#include "telvosdk/QKMiddleInterface.h"

namespace telvo {

using namespace blebase;

// ---- Key exchange.

void QKBLEBaseConnect::startExchangeKey() {
    QKSDKLOG("ble step4::发起密钥协商");
    MainLoop::performAfterDelay(this, kExchangeStep, 0.1, [self = shared_from_this()] {
        if (!self->bleDevice_ || self->bleDevice_->protocolType != 3)
            self->sendBody(QKBLEProtocol::msgBodyForGetDevicePublicKey(), 0x01);
        else if (self->isAfterSales_)
            self->startExchangeKeyThreeOneWayTLS();
        else
            self->startExchangeKeyThreeTLS();
    });
}

void QKBLEBaseConnect::startExchangeKeyThreeTLS() {
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    const Bytes appCer = config->tlsAppCer(), twoCer = config->tlsTwoCer(),
                privateKey = config->tlsPrivateKey();
    if (appCer.empty() || twoCer.empty() || privateKey.empty()) {
        QKSDKLOG("ble step4:发起密钥协商, app证书数据为空，配网失败 %ld, %ld, %ld",
                 long(appCer.size()), long(twoCer.size()), long(privateKey.size()));
        endWithError(errWithCode(4185, "当前没有app证书"));
        return;
    }
    tlsRandomN1_ = QKCommonProtocol::randomToken();
    tlsDataM1_ = QKCommonProtocol::msgBodyM1WithAppCert(appCer, twoCer, tlsRandomN1_);
    sendBody(tlsDataM1_, 0x10);
}

void QKBLEBaseConnect::startExchangeKeyThreeOneWayTLS() {
    SecKeyRef publicKey, privateKey;
    if (!QKSigECCEncryptHelper::generateTempP256SecKeyPairWithPublicKeyRef(&publicKey,
                                                                           &privateKey)) {
        QKSDKLOG("生成密钥对失败");
        endWithError(bleErrorWithCode(-1));
        return;
    }
    const Bytes publicBits =
        QKSigECCEncryptHelper::getPublicKeyBitsFromKey(publicKey).value_or(Bytes{});
    Bytes privateBits =
        QKSigECCEncryptHelper::getPublicKeyBitsFromKey(privateKey).value_or(Bytes{});
    // The scalar is the last 32 bytes; the exported copy is cleansed.
    const size_t scalarAt = privateBits.size() > 32 ? privateBits.size() - 32 : 0;
    tlsPrivateKeyData_.assign(privateBits.begin() + std::ptrdiff_t(scalarAt), privateBits.end());
    crypto::wipe(privateBits);
    if (publicBits.size() != 65) return;
    tlsRandomN1_ = QKCommonProtocol::randomToken();
    tlsDataM1_ =
        QKCommonProtocol::msgBodyM1WithAppPublicKey(ByteView(publicBits).subspan(1), tlsRandomN1_);
    sendBody(tlsDataM1_, 0x10);
}

namespace {
const char* tlsErrorText(int64_t errCode, bool m4) {
    static const char* const m2Texts[] = {"校验二级证书失败", "校验设备证书失败", "校验fins失败"};
    static const char* const m4Texts[] = {"M4数据长度不对", "模组协商结果失败", "验证随机数n2失败"};
    if (errCode < 1 || errCode > 3) return nullptr;
    return (m4 ? m4Texts : m2Texts)[errCode - 1];
}
}  // namespace

void QKBLEBaseConnect::receiveTLSAesKeyCommondWithData(ByteView body, const Dictionary& dict) {
    QKSDKLOG("ble step4:发起密钥协商应答TLS data=%s, dict:%s", maskedBody(body).c_str(),
             maskedJSON(Value(dict)).c_str());
    Dictionary checked = dict;
    checked.set("tlsRandomN1", tlsRandomN1_);
    checked.set("tlsDataM1", tlsDataM1_);
    tlsRandomN2_ = dict["randomData"].isBytes() ? dict["randomData"].bytes() : Bytes{};
    Dictionary result = QKCommonProtocol::checkTLSKeyAgreementBackDict(checked, tlsPrivateKeyData_);
    const int64_t errCode = result["errCode"].int64Value();
    if (errCode > 0) {
        const char* text = tlsErrorText(errCode, false);
        endWithError(text ? errWithCode(4184, text) : errWithCode(errCode, "校验秘密协商失败1"));
        return;
    }
    tlsSessionKey_ = result["tlsSessionKey"].isBytes() ? result["tlsSessionKey"].bytes() : Bytes{};
    const Bytes finsc = result["finscData"].isBytes() ? result["finscData"].bytes() : Bytes{};
    const Bytes m3 = QKCommonProtocol::msgBodyTLSAuthSecretKey(finsc);
    QKSDKLOG("ble ecdh final send to device: %s", maskedBody(m3).c_str());
    sendBody(m3, 0x10);
}

void QKBLEBaseConnect::receiveTLSAesKeyAuthWithData(ByteView, const Dictionary& dict) {
    Dictionary checked = dict;
    checked.set("tlsSessionKey", tlsSessionKey_);
    checked.set("tlsRandomN2", tlsRandomN2_);
    Dictionary result = QKCommonProtocol::checkTLSAuthSecretReply(checked);
    const int64_t errCode = result["errCode"].int64Value();
    if (errCode < 1) {
        aesKey_ = tlsSessionKey_;
        exchangeKeySuccess();
        return;
    }
    const char* text = tlsErrorText(errCode, true);
    endWithError(text ? errWithCode(4185, text) : errWithCode(errCode, "校验秘密协商失败2"));
}

void QKBLEBaseConnect::receiveAesKeyCommondWithData(ByteView body) {
    QKSDKLOG("ble step4:发起密钥协商应答data=%s", maskedBody(body).c_str());
    auto dict = QKBLEProtocol::dicForAesKeyReplyWithData(body);
    if (!dict) {
        // A public key answer whose key cannot be read (too short, the point at infinity) is as
        // unusable as a key off the curve: waiting would only run into the overall time-out.
        if (!body.empty() && body[0] == 0x01) {
            QKSDKLOG("ble step4:密钥协商失败:获取公钥异常");
            endWithError(bleErrorWithCode(4051));
        }
        return;
    }
    const int64_t subCmd = (*dict)["subCmd"].int64Value();
    const auto& ecc = secret();
    if (subCmd == 1) {
        const Value& key = (*dict)["devicePublicKey"];
        if (!key.isBytes()) {
            QKSDKLOG("ble step4:密钥协商失败:获取公钥异常");
            endWithError(bleErrorWithCode(4051));
            return;
        }
        ecc->setDevPublicKey(key.bytes());
        if (!ecc->sessionKey() || ecc->sessionKey()->size() < 16) {
            QKSDKLOG("ble 密钥sessionKey异常");
            endWithError(bleErrorWithCode(4051));
            return;
        }
        static constexpr std::string_view kAuthText = "pelna_quirvos";
        const auto authKey = QKDataSecurity::aesEncryptData(
            ByteView(reinterpret_cast<const uint8_t*>(kAuthText.data()), kAuthText.size()),
            ByteView(*ecc->sessionKey()).first(16));
        const auto authBody = QKBLEProtocol::msgBodyForAuthSecretKey(ecc->specialPublicKeyData(),
                                                                     authKey.value_or(Bytes{}));
        if (!authKey || !authBody) {
            QKSDKLOG("ble 密钥sessionKey异常");
            endWithError(bleErrorWithCode(4051));
            return;
        }
        QKSDKLOG("ble ecdh final send to device: %s", maskedBody(*authBody).c_str());
        sendBody(*authBody, 0x01);
    } else if (subCmd == 2) {
        if ((*dict)["encodeType"].int64Value() != 2) {
            QKSDKLOG("ble step4:密钥协商失败,数据异常，返回加密方式不合法");
            endWithError(bleErrorWithCode(4052));
            return;
        }
        if (!(*dict)["result"].boolValue()) {
            QKSDKLOG("ble step4:密钥协商失败:校验密码失败");
            endWithError(bleErrorWithCode(4052));
            return;
        }
        if (!ecc->sessionKey() || ecc->sessionKey()->size() < 16) {
            QKSDKLOG("ble 密钥sessionKey异常");
            endWithError(bleErrorWithCode(4051));
            return;
        }
        QKSDKLOG("ble step4:密钥协商成功");
        aesKey_ = Bytes(ecc->sessionKey()->begin(), ecc->sessionKey()->begin() + 16);
        exchangeKeySuccess();
    }
}

void QKBLEBaseConnect::exchangeKeySuccess() {
    QKSDKLOG("ble step4:密钥协商成功");
    keyAgreed_ = true;
    reportFramesBeforeKey();
    const uint64_t run = disconnects_;
    updateBlockWithState(4);
    if (run == disconnects_) isReady();  // not when the progress block stopped us
}

void QKBLEBaseConnect::useRootKey() {
    keyAgreed_ = false;
    aesKey_ = rootKey();
}

bool QKBLEBaseConnect::isKeyExchangeAnswer(int64_t msgType) const {
    const bool certificate = bleDevice_ && bleDevice_->protocolType == 3;
    return msgType == (certificate ? 0x10 : 0x01);
}

void QKBLEBaseConnect::isReady() {
    QKSDKLOG("【BLE】:isReady");
}

}  // namespace telvo
