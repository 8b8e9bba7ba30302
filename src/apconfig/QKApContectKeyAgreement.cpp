#include "apconfig/QKApContect.h"
#include "apconfig/QKApContectInternal.h"
#include "apconfig/QKConfigWifiDevice.h"
#include "logging/LogMask.h"
#include "logging/QKLog.h"
#include "protocol/QKCommonProtocol.h"
#include "protocol/QKProtocol.h"

namespace telvo {

using namespace apcontect;

// ---- Key agreement

void QKApContect::sendlTLSKeyAgreementCommand() {
    auto config = middleConfig();
    const Bytes appCer = config->tlsAppCer();
    const Bytes twoCer = config->tlsTwoCer();
    const Bytes privateKey = config->tlsPrivateKey();
    if (appCer.empty() || twoCer.empty() || privateKey.empty()) {
        QKSDKLOG("AP】step 6-0:发送TLS的密钥协商指令, app证书数据为空，配网失败 %ld, %ld, %ld",
                 long(appCer.size()), long(twoCer.size()), long(privateKey.size()));
        bindFinalResult(errWithCode(4188, "app证书数据为空"), nullptr);
        return;
    }
    QKSDKLOG("【AP】step 6-0:发送TLS的密钥协商指令，model为%s deviceId is %s",
             text(iConfigModel_.routerSSID), device_ ? device_->deviceId.c_str() : "(null)");
    tlsRandomN1_ = QKCommonProtocol::randomToken();
    auto frame =
        std::make_shared<QKProtocol>(connectProtocolType_, ecdhSessionKey_, getApAntiReplayCount());
    tlsDataM1_ = frame->tlsKeyAgreementWithAppCert(appCer, twoCer, tlsRandomN1_);
    wifiDeviceInit_->sendTLSKeyAgreementWithProtocol(
        frame, 1,
        weakly<const ErrorPtr&, std::optional<Dictionary>>(
            [](QKApContect& self, const ErrorPtr& error, std::optional<Dictionary> m2) {
                if (self.isCancel_) return;
                if (failed(error)) return self.bindFinalResult(error, nullptr);
                if (!m2)
                    return self.bindFinalResult(errWithCode(4182, "发送TLS的协商指令失败"),
                                                nullptr);
                self.dealTLSKeyAgreementBackDict(*m2);
            }));
}

void QKApContect::dealTLSKeyAgreementBackDict(const Dictionary& m2) {
    QKSDKLOG("ap step4:发起密钥协商应答TLS dict:%s", maskedJSON(Value(m2)).c_str());
    Dictionary dict = m2;
    dict.set("tlsRandomN1", tlsRandomN1_);
    dict.set("tlsDataM1", tlsDataM1_);
    tlsRandomN2_ = m2["randomData"].bytes();
    const Dictionary result = QKCommonProtocol::checkTLSKeyAgreementBackDict(dict, {});
    const int64_t errCode = result["errCode"].int64Value();
    static const char* const kM2Failures[] = {"校验二级证书失败", "校验设备证书失败",
                                              "校验fins失败"};
    if (errCode >= 1 && errCode <= 3) {
        bindFinalResult(errWithCode(4182, kM2Failures[errCode - 1]), nullptr);
        return;
    }
    if (errCode > 3) {
        bindFinalResult(errWithCode(errCode, "校验秘密协商失败1"), nullptr);
        return;
    }
    tlsSessionKey_ = result["tlsSessionKey"].bytes();
    auto frame =
        std::make_shared<QKProtocol>(connectProtocolType_, ecdhSessionKey_, getApAntiReplayCount());
    frame->tlsKeyAgreementConfirmWithFincData(result["finscData"].bytes());
    wifiDeviceInit_->sendTLSKeyAgreementWithProtocol(
        frame, 2,
        weakly<const ErrorPtr&, std::optional<Dictionary>>(
            [](QKApContect& self, const ErrorPtr& error, std::optional<Dictionary> m4) {
                if (self.isCancel_) return;
                if (failed(error)) return self.bindFinalResult(error, nullptr);
                if (!m4) return self.bindFinalResult(errWithCode(4182, "发送Finc失败"), nullptr);
                self.dealTLSKeyAgreementConfirmBackDict(*m4);
            }));
}

void QKApContect::dealTLSKeyAgreementConfirmBackDict(const Dictionary& m4) {
    Dictionary dict = m4;
    dict.set("tlsSessionKey", tlsSessionKey_);
    dict.set("tlsRandomN2", tlsRandomN2_);
    const Dictionary result = QKCommonProtocol::checkTLSAuthSecretReply(dict);
    const int64_t errCode = result["errCode"].int64Value();
    static const char* const kM4Failures[] = {"M4数据长度不对", "模组协商结果失败",
                                              "验证随机数n2失败"};
    if (errCode >= 1 && errCode <= 3) {
        bindFinalResult(errWithCode(4183, kM4Failures[errCode - 1]), nullptr);
        return;
    }
    if (errCode > 3) {
        bindFinalResult(errWithCode(errCode, "校验秘密协商失败2"), nullptr);
        return;
    }
    ecdhSessionKey_ = tlsSessionKey_;
    wifiDeviceInit_->setEcdhSessionKey(ecdhSessionKey_);
    QKSDKLOG("密钥协商成功");
    dealNextConnectCommand();
}

}  // namespace telvo
