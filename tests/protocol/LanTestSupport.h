#pragma once

#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "telvosdk/QKMiddleInterface.h"

namespace telvo::test {

// 2026-12-06 21:34:38.999 UTC.
inline constexpr int64_t kWallNanos = 1796592878999000000LL;

// Fixes the clock and the local time zone, and the SDK-wide default key.
class LanFixture : public ::testing::Test {
  protected:
    static constexpr const char* kDefaultKey = "lanDefaultKey0123";

    void SetUp() override {
        QKMiddleInterface::resetForTesting();
        config()->setApConfigDefaultKey(kDefaultKey);
        setClock(kWallNanos, 8 * 3600);
    }
    void TearDown() override {
        Clock::setShared(nullptr);
        QKMiddleInterface::resetForTesting();
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
