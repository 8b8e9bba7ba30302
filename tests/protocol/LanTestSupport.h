#pragma once

#include <gtest/gtest.h>

#include "platform/dispatch/Clock.h"
#include "protocol/QKProtocol.h"
#include "records/QKMiddleInterface.h"

namespace telvo::test {

// 2026-12-06 21:34:38.999 UTC.
inline constexpr int64_t kWallNanos = 1796592878999000000LL;

// The frame set-up the protocol tests share: our writer's frame for a version, session key and
// counter, with the message type and plain body set; encryptType -1 and sign unset keep what
// the version chose.
struct FrameSetup {
    int8_t version = 1;
    std::optional<Bytes> key{};
    int64_t counter = 0;
    int16_t msgType = 0;
    Bytes body{};
    int8_t encryptType = -1;
    std::optional<bool> sign{};
    int32_t tag = 0;
    int64_t deviceId = 0;
};

inline QKProtocol frameOf(const FrameSetup& s) {
    QKProtocol p(s.version, s.key, s.counter);
    if (s.encryptType >= 0) p.setEncryptType(s.encryptType);
    if (s.sign) p.setIsSign(*s.sign);
    p.setMsgType(s.msgType);
    p.setTag(s.tag);
    p.setDeviceID(s.deviceId);
    p.setOriMessageArray(s.body);
    return p;
}

// Fixes the clock and the local time zone, and the SDK-wide default key.
class LanFixture : public ::testing::Test {
  protected:
    static constexpr const char* kDefaultKey = "lanDefaultKey0123";

    void SetUp() override {
        resetForTesting<QKMiddleInterface>();
        config()->setApConfigDefaultKey(kDefaultKey);
        setClock(kWallNanos, 8 * 3600);
    }
    void TearDown() override {
        Clock::setShared(nullptr);
        resetForTesting<QKMiddleInterface>();
    }
    static std::shared_ptr<QKMiddleConfig> config() {
        return QKMiddleInterface::shareInstance()->middleConfig();
    }
    static void setClock(int64_t wallNanos, int32_t utcOffsetSeconds) {
        auto clock = std::make_shared<ManualClock>(wallNanos);
        clock->setUtcOffsetSeconds(utcOffsetSeconds);
        Clock::setShared(clock);
    }
};

}  // namespace telvo::test
