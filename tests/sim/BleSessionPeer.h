#pragma once

#include "blecore/QKBLEBaseConnect.h"

namespace telvo {

// The tests' view of a BLE session's private state: what a test sets up or checks that no
// flow may touch (the keys, the counters, the timers).
struct QKBLEBaseConnectTestPeer {
    static Bytes& aesKey(QKBLEBaseConnect& s) { return s.aesKey_; }
    static bool& keyAgreed(QKBLEBaseConnect& s) { return s.keyAgreed_; }
    static Bytes& tlsRandomN1(QKBLEBaseConnect& s) { return s.tlsRandomN1_; }
    static Bytes& tlsDataM1(QKBLEBaseConnect& s) { return s.tlsDataM1_; }
    static Bytes& tlsRandomN2(QKBLEBaseConnect& s) { return s.tlsRandomN2_; }
    static Bytes& tlsSessionKey(QKBLEBaseConnect& s) { return s.tlsSessionKey_; }
    static Bytes& tlsPrivateKeyData(QKBLEBaseConnect& s) { return s.tlsPrivateKeyData_; }
    static int64_t& tlsLastCntId(QKBLEBaseConnect& s) { return s.tlsLastCntId_; }
    static int64_t& tlsAntiReplayCnt(QKBLEBaseConnect& s) { return s.tlsAntiReplayCnt_; }
    static bool& isAfterSales(QKBLEBaseConnect& s) { return s.isAfterSales_; }
    static bool& isConfigProcessIng(QKBLEBaseConnect& s) { return s.isConfigProcessIng_; }
    static bool isBleForceValidRandom(QKBLEBaseConnect& s) { return s.isBleForceValidRandom_; }
    static int64_t moduleErrorCode(QKBLEBaseConnect& s) { return s.moduleErrorCode_; }
    static int64_t checkApFailedResultCode(QKBLEBaseConnect& s) {
        return s.checkApFailedResultCode_;
    }
    static QKDeviceBleConfigParams& configModel(QKBLEBaseConnect& s) { return s.iConfigModel_; }
    static std::shared_ptr<QKDevice>& bleDevice(QKBLEBaseConnect& s) { return s.bleDevice_; }
    static const std::string& randomNum(QKBLEBaseConnect& s) { return s.randomNum_; }
    static const std::shared_ptr<DispatchTimer>& totalTimer(QKBLEBaseConnect& s) {
        return s.totalTimer_;
    }
    static uint64_t totalCount(QKBLEBaseConnect& s) { return s.totalCount_; }
    static const std::shared_ptr<DispatchTimer>& findDeviceTimer(QKBLEBaseConnect& s) {
        return s.findDeviceTimer_;
    }
    static const URLSessionTaskPtr& cuCheckApTask(QKBLEBaseConnect& s) { return s.cuCheckApTask_; }
    static void setUpdateBlock(QKBLEBaseConnect& s, QKBLEBaseConnect::UpdateBlock block) {
        s.updateCallBack_ = std::move(block);
    }
    static void setCompletionBlock(QKBLEBaseConnect& s, QKBLEBaseConnect::CompletionBlock block) {
        s.configCompletion_ = std::move(block);
    }
};

}  // namespace telvo
