#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "core/QKTool.h"
#include "platform/dispatch/Clock.h"

namespace telvo {
namespace {

class DateAndIdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clock_ = std::make_shared<ManualClock>();
        clock_->setUtcOffsetSeconds(3600);
        Clock::setShared(clock_);
    }
    void TearDown() override { Clock::setShared(nullptr); }
    std::shared_ptr<ManualClock> clock_;
};

TEST_F(DateAndIdTest, DatePatternsInTheLocalTimeZoneAndMilliseconds) {
    const double date = 1767225600.25;  // 2026-01-01 00:00:00.25 UTC, 01:00 local
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"yyyyMMddHHmmss", "20260101010000"},
        {"yyyy-MM-dd", "2026-01-01"},
        {"yyyy/MM/dd HH:mm:ss:SSS", "2026/01/01 01:00:00:250"},
        {"yy-M-d h a", "26-1-1 1 AM"},
        {"'at' HH 'o''clock'", "at 01 oclock"},
        {"''", "'"},
    };
    for (const auto& [pattern, expected] : cases)
        EXPECT_EQ(QKTool::getNSStringFromNSDate(date, pattern), expected) << pattern;
    EXPECT_EQ(QKTool::getNSStringFromNSDate(date + 13 * 3600, "hh:mm a"), "02:00 PM");
    // Milliseconds drop the fraction.
    EXPECT_EQ(QKTool::longLongFromDate(1767225600.9999), 1767225600999);
    EXPECT_EQ(QKTool::longLongFromDate(0), 0);
}

bool allOf(const std::string& text, const char* digits) {
    return std::all_of(text.begin(), text.end(), [&](char c) { return std::strchr(digits, c); });
}

TEST_F(DateAndIdTest, UuidAndRequestIdForms) {
    const std::string uuid = QKTool::getCurrentUUID();
    ASSERT_EQ(uuid.size(), 32u);
    EXPECT_TRUE(allOf(uuid, "0123456789ABCDEF")) << uuid;
    EXPECT_EQ(uuid[12], '4');
    EXPECT_TRUE(std::strchr("89AB", uuid[16])) << uuid;
    EXPECT_NE(uuid, QKTool::getCurrentUUID());
    const std::string id = QKTool::createReqId();
    EXPECT_EQ(id.size(), 32u);
    EXPECT_TRUE(allOf(id, "0123456789abcdef")) << id;
    EXPECT_NE(id, QKTool::createReqId());
}

}  // namespace
}  // namespace telvo
