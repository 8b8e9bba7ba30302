#include <gtest/gtest.h>

#include "SectionReader.h"
#include "core/QKUserDefault.h"
#include "logging/QKLog.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Diagnostics.h"
#include "records/QKMiddleInterface.h"
#include "sim/TempFolder.h"
#include "sim/TestSupport.h"
#include "telvosdk/KorvoDDLog.h"
#include "telvosdk/QKSDKLog.h"

namespace telvo {
namespace {

const Bytes kKey = test::hex("2b7e151628aed2a6abf7158809cf4f3c");
const Bytes kIv = test::hex("000102030405060708090a0b0c0d0e0f");

struct Received {
    int level;
    std::string tag, file;
    int line;
    Value extra;
    std::string text;
};

class RecordingDelegate : public QKSDKCustomLogDelegate {
  public:
    void sdkCustomLogWithLevel(int level, const std::string& tagId, const std::string& fileName,
                               int lineName, const Value& extra,
                               const std::string& contentStr) override {
        lines.push_back({level, tagId, fileName, lineName, extra, contentStr});
    }
    std::vector<Received> lines;
};

class LogGateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QKUserDefault::setStorageDirectory({});
        resetForTesting<QKUserDefault>();
        resetForTesting<QKMiddleInterface>();
        KorvoDDLog::setLogDirectory(folder_.path() / "plain");
        QKSDKLog::setLogDirectory(folder_.path());
        QKSDKLog::setKeyAndIv(kKey, kIv);
    }
    void TearDown() override {
        QKSDKLog::flush();
        KorvoDDLog::flush();
        QKSDKLog::setLogDirectory({});
        QKSDKLog::setKeyAndIv({}, {});
        KorvoDDLog::setLogDirectory({});
        QKSDKLog::flush();
        resetForTesting<QKMiddleInterface>();
        resetForTesting<QKUserDefault>();
    }
    void settings(bool logenable, bool encryptEnable) {
        auto s = QKUserDefault::standardUserDefaults();
        s->setBool(logenable, "logenable");
        s->setBool(encryptEnable, "encryptEnable");
    }
    void installDelegate() { QKMiddleInterface::shareInstance()->setCustomLogDelegate(delegate_); }
    std::vector<std::string> encryptedTexts(const std::string& day) {
        QKSDKLog::flush();
        std::vector<std::string> texts;
        for (const std::string& line :
             test::readLines((folder_.path() / "KorvoSDKLog" / day).string(), kKey, kIv)) {
            auto record = Value::fromJSON(line);
            texts.push_back(record ? (*record)["c"].text() : "!" + line);
        }
        return texts;
    }
    std::string plainText(const std::string& day) {
        KorvoDDLog::flush();
        return test::readFile((folder_.path() / "plain" / ("LogFromSLK-" + day + ".log")).string());
    }

    DeterministicDispatch mode_;
    test::TempFolder folder_;
    std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

TEST_F(LogGateTest, FourChecksInOrder) {
    struct Case {
        const char* name;
        bool logenable, delegate, encrypt;
        bool toDelegate, toEncrypted, toPlain;
    };
    const Case cases[] = {
        {"off wins over everything", false, true, true, false, false, false},
        {"off, nothing else set", false, false, false, false, false, false},
        {"delegate before encryption", true, true, true, true, false, false},
        {"delegate before plain", true, true, false, true, false, false},
        {"encrypted store", true, false, true, false, true, false},
        {"plain logger last", true, false, false, false, false, true},
    };
    for (const Case& c : cases) {
        SetUp();
        settings(c.logenable, c.encrypt);
        if (c.delegate) installDelegate();
        delegate_->lines.clear();
        QKSDKLOG("case %s", c.name);
        EXPECT_EQ(!delegate_->lines.empty(), c.toDelegate) << c.name;
        EXPECT_EQ(!encryptedTexts("2026-01-01").empty(), c.toEncrypted) << c.name;
        EXPECT_EQ(!plainText("2026-01-01").empty(), c.toPlain) << c.name;
        TearDown();
        std::filesystem::remove_all(folder_.path() / "KorvoSDKLog");
        std::filesystem::remove_all(folder_.path() / "plain");
    }
}

TEST_F(LogGateTest, DelegateGetsLevelTagFileLineAndTextOfEveryLine) {
    settings(true, false);
    installDelegate();
    const int line = __LINE__ + 1;
    QKSDKLOG("plain %d", 1);
    QKSDKLOG_TAG("SDKAdd", "tagged %s", "two");
    ASSERT_EQ(delegate_->lines.size(), 2u);
    const Received& a = delegate_->lines[0];
    EXPECT_EQ(a.level, 3);
    EXPECT_EQ(a.tag, "");
    EXPECT_EQ(a.file, __FILE__);
    EXPECT_EQ(a.line, line);
    EXPECT_TRUE(a.extra.isNull());
    EXPECT_EQ(a.text, "plain 1");
    EXPECT_EQ(delegate_->lines[1].tag, "SDKAdd");
    EXPECT_EQ(delegate_->lines[1].line, line + 1);
    EXPECT_EQ(delegate_->lines[1].text, "tagged two");

    // Text from an appliance is only ever an argument; platform diagnostics take the same way.
    const std::string fromAppliance = "%s%n%x %d";
    QKSDKLOG("reply %s", fromAppliance.c_str());
    registerLogging();
    platformDiagnostic("no class %s", "QKDeviceManager");
    setDiagnosticSink({});
    ASSERT_EQ(delegate_->lines.size(), 4u);
    EXPECT_EQ(delegate_->lines[2].text, "reply %s%n%x %d");
    EXPECT_EQ(delegate_->lines[3].text, "no class QKDeviceManager");

    // A delegate the app has dropped is not called; the line goes on down the checks.
    delegate_.reset();
    QKSDKLOG("after the delegate");
    EXPECT_NE(plainText("2026-01-01").find("after the delegate"), std::string::npos);
}

TEST_F(LogGateTest, PlainLineCarriesPrefixAndTimeStamp) {
    settings(true, false);
    mode_.clock().advance(3723.5);  // 01:02:03.500
    const int line = __LINE__ + 1;
    QKSDKLOG("hello %s", "world");
    EXPECT_EQ(plainText("2026-01-01"), "2026/01/01 01:02:03:500  [ZantorSDK-Log:TestBody] [Line " +
                                           std::to_string(line) + "] hello world\n");
}

// Order and volume are the store's own tests; the gate picks the day from the clock.
TEST_F(LogGateTest, EncryptedLinesGoToTheDayOfTheClock) {
    settings(true, true);
    QKSDKLOG("line %d of the first day %08x", 7, 0xbeefu);
    mode_.clock().advance(86400);
    QKSDKLOG("next day");
    EXPECT_EQ(encryptedTexts("2026-01-01"),
              std::vector<std::string>{"line 7 of the first day 0000beef"});
    EXPECT_EQ(encryptedTexts("2026-01-02"), std::vector<std::string>{"next day"});
}

TEST_F(LogGateTest, EncryptedStoreWithoutKeyDropsLines) {
    settings(true, true);
    QKSDKLog::setKeyAndIv({}, {});
    QKSDKLOG("dropped");
    QKSDKLog::flush();
    EXPECT_FALSE(std::filesystem::exists(folder_.path() / "KorvoSDKLog"));
}

}  // namespace
}  // namespace telvo
