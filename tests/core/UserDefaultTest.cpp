#include <gtest/gtest.h>
#include <plist/plist.h>

#include <fstream>
#include <string>
#include <vector>

#include "core/QKUserDefault.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "records/QKMiddleInterface.h"
#include "sim/LogCapture.h"
#include "sim/TempFolder.h"
#include "sim/TestSupport.h"
#include "telvosdk/TelvoAPPAdapter.h"
#include "telvosdk/TelvoSDK.h"

namespace telvo {
namespace {

// Big-endian unsigned of the given width.
std::string bigEndian(uint64_t value, int width) {
    std::string out;
    for (int k = width - 1; k >= 0; --k) out.push_back(static_cast<char>(value >> (8 * k)));
    return out;
}

// A binary property list of the given objects, object 0 on top; offsets and references are
// width bytes wide.
std::string binaryPlist(const std::vector<std::string>& objects, int width = 1) {
    std::string data = "bplist00", table;
    for (const std::string& object : objects) {
        table += bigEndian(data.size(), width);
        data += object;
    }
    return data + table + std::string(6, '\0') + bigEndian(width, 1) + bigEndian(width, 1) +
           bigEndian(objects.size(), 8) + bigEndian(0, 8) + bigEndian(data.size(), 8);
}

// A dict {"a": [[[...[]...]]]} with depth nested one-element arrays.
std::string deepBinaryPlist(size_t depth) {
    std::vector<std::string> objects = {"\xD1" + bigEndian(1, 4) + bigEndian(2, 4),
                                        '\x51' + std::string("a")};
    for (size_t i = 0; i < depth; ++i) objects.push_back("\xA1" + bigEndian(3 + i, 4));
    objects.push_back("\xA0");
    return binaryPlist(objects, 4);
}

std::string deepXmlPlist(size_t depth) {
    std::string data =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
        "<dict><key>sdkWorkMode</key><string>10003</string><key>a</key>";
    for (size_t i = 0; i < depth; ++i) data += "<array>";
    for (size_t i = 0; i < depth; ++i) data += "</array>";
    return data + "</dict>\n</plist>\n";
}

class UserDefaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.path().empty());
        QKUserDefault::setStorageDirectory(folder_.path());
        resetForTesting<QKUserDefault>();
    }
    void TearDown() override {
        QKUserDefault::setStorageDirectory({});
        resetForTesting<QKUserDefault>();
    }
    std::shared_ptr<QKUserDefault> reopen() {
        resetForTesting<QKUserDefault>();
        return QKUserDefault::standardUserDefaults();
    }
    std::filesystem::path file() const { return folder_.path() / "QKUserDefault.plist"; }
    std::shared_ptr<QKUserDefault> load(const std::string& content) {
        std::ofstream(file(), std::ios::binary | std::ios::trunc) << content;
        return reopen();
    }

    test::TempFolder folder_;
};

TEST_F(UserDefaultTest, SettingsSurviveAReopenAndBoolForKeyNeedsANumber) {
    auto settings = QKUserDefault::standardUserDefaults();
    settings->setValue("10003", "sdkWorkMode");
    settings->setBool(true, "logenable");
    settings->setBool(false, "encryptEnable");
    settings->setValue(Value::Array{"korvo", -5, 2.5}, "SSID_FormatArray");
    settings->setValue(Bytes{0, 1, 255}, "cers");
    settings->setValue(Dictionary{{"n", INT64_MAX}}, "nested");
    settings->setValue("1", "text");
    settings->setValue("gone", "QKServerAddress");
    settings->removeObjectForKey("QKServerAddress");

    auto again = reopen();
    ASSERT_NE(again, settings);
    EXPECT_EQ(again->valueForKey("sdkWorkMode").text(), "10003");
    EXPECT_TRUE(again->boolForKey("logenable"));
    EXPECT_FALSE(again->boolForKey("encryptEnable"));
    EXPECT_FALSE(again->boolForKey("text"));  // only a number counts
    EXPECT_FALSE(again->boolForKey("absent"));
    EXPECT_EQ(again->valueForKey("SSID_FormatArray"), (Value(Value::Array{"korvo", -5, 2.5})));
    EXPECT_EQ(again->valueForKey("cers").bytes(), (Bytes{0, 1, 255}));
    EXPECT_EQ(again->valueForKey("nested")["n"].int64Value(), INT64_MAX);
    EXPECT_TRUE(again->valueForKey("QKServerAddress").isNull());
    EXPECT_FALSE(std::filesystem::exists(folder_.path() / "QKUserDefault.plist.tmp"));
}

// Every prefix of a valid file, and a few foreign contents, load as an empty store; the next
// change writes a sound file again.
TEST_F(UserDefaultTest, TruncatedOrForeignFileIsSurvived) {
    QKUserDefault::standardUserDefaults()->setValue("10001", "sdkWorkMode");
    QKUserDefault::standardUserDefaults()->synchronize();
    const std::string whole = test::readFile(file().string());
    ASSERT_FALSE(whole.empty());

    // The same settings as a binary property list, which the store also reads.
    plist_t root = nullptr;
    plist_from_xml(whole.data(), static_cast<uint32_t>(whole.size()), &root);
    char* bin = nullptr;
    uint32_t binLength = 0;
    plist_to_bin(root, &bin, &binLength);
    const std::string binary(bin, binLength);
    plist_to_bin_free(bin);
    plist_free(root);
    std::ofstream(file(), std::ios::binary | std::ios::trunc) << binary;
    EXPECT_EQ(reopen()->valueForKey("sdkWorkMode").text(), "10001");

    std::vector<std::string> damaged;
    for (size_t n = 0; n + 1 < whole.size(); n += 7) damaged.push_back(whole.substr(0, n));
    for (size_t n = 0; n < binary.size(); ++n) damaged.push_back(binary.substr(0, n));
    damaged.push_back("bplist00\x01\x02");
    damaged.push_back(std::string(64, '\xFF'));
    damaged.push_back("<plist><array><string>x</string></array></plist>");
    for (const std::string& content : damaged) {
        std::ofstream(file(), std::ios::binary | std::ios::trunc) << content;
        auto settings = reopen();
        EXPECT_TRUE(settings->valueForKey("sdkWorkMode").isNull()) << content.size();
    }
    reopen()->setValue("10002", "sdkWorkMode");
    EXPECT_EQ(reopen()->valueForKey("sdkWorkMode").text(), "10002");
}

// The lost file took "logenable" with it: the failure is logged once the app turns it on.
TEST_F(UserDefaultTest, CorruptFileIsLoggedOnceLoggingIsOn) {
    // As in an app: the library's initialiser brings the log gate, which takes the settings
    // store's lines (the store sits below it).
    TelvoSDKInitialize();
    std::ofstream(file(), std::ios::binary) << "<?xml version=\"1.0\"?><plist><dict><key>a</key>";
    auto delegate = std::make_shared<test::LogLines>();
    QKMiddleInterface::shareInstance()->setCustomLogDelegate(delegate);
    auto settings = reopen();
    EXPECT_TRUE(settings->valueForKey("sdkWorkMode").isNull());
    EXPECT_TRUE(delegate->lines.empty());
    settings->setBool(true, "logenable");
    settings->valueForKey("sdkWorkMode");
    EXPECT_EQ(delegate->lines,
              std::vector<std::string>{"QKUserDefault settings file corrupt, starting empty"});
    resetForTesting<QKMiddleInterface>();
}

// The log gate reads the store for every line: a change never holds the store's lock across
// the disk. The write follows on the store's queue, once for a burst of changes.
TEST_F(UserDefaultTest, ChangesReachTheDiskAfterTheCallerReturns) {
    DeterministicDispatch mode;
    auto settings = QKUserDefault::standardUserDefaults();
    for (int i = 0; i < 50; ++i) settings->setValue(i, "counter");
    EXPECT_FALSE(std::filesystem::exists(file()));
    EXPECT_EQ(settings->valueForKey("counter").int64Value(), 49);
    MainLoop::drain();
    EXPECT_EQ(reopen()->valueForKey("counter").int64Value(), 49);
}

TEST_F(UserDefaultTest, WithoutFolderTheStoreIsInMemory) {
    QKUserDefault::setStorageDirectory({});
    auto settings = reopen();
    settings->setValue("10004", "sdkWorkMode");
    EXPECT_EQ(settings->valueForKey("sdkWorkMode").text(), "10004");
    EXPECT_FALSE(std::filesystem::exists(file()));
}

// A settings file nested far deeper than any we write is refused before the property-list
// reader recurses through it (it overflowed the stack); modest nesting still loads.
TEST_F(UserDefaultTest, DeeplyNestedFilesStartEmpty) {
    EXPECT_TRUE(load(deepBinaryPlist(200000))->valueForKey("a").isNull());
    EXPECT_TRUE(load(deepXmlPlist(1000000))->valueForKey("sdkWorkMode").isNull());
    EXPECT_TRUE(load(deepBinaryPlist(40))->valueForKey("a").isArray());
    auto xml = load(deepXmlPlist(40));
    EXPECT_EQ(xml->valueForKey("sdkWorkMode").text(), "10003");
    EXPECT_TRUE(xml->valueForKey("a").isArray());
}

// The property-list library aborts on a dictionary key holding a zero character.
TEST_F(UserDefaultTest, KeysWithAZeroCharacterStartEmpty) {
    using namespace std::string_literals;
    struct Case {
        std::string key, lookup;
        bool loads;
    } cases[] = {{'\x53' + "a\0b"s, "a", false},
                 {"\x62\0a\0\0"s, "a", false},
                 {'\x53' + "abc"s, "abc", true},
                 {"\x62\0a\0b"s, "ab", true}};  // ASCII and UTF-16 keys
    for (const auto& c : cases) {
        Value value = load(binaryPlist({"\xD1\x01\x02"s, c.key, "\x51x"s}))->valueForKey(c.lookup);
        EXPECT_EQ(value.isNull(), !c.loads) << c.lookup;
        EXPECT_EQ(value.text(), c.loads ? "x" : "");
    }
}

// The app adapter's reading of the work mode.
TEST(TelvoAPPAdapter, BindAuthTypeFollowsTheWorkMode) {
    resetForTesting<QKUserDefault>();
    auto settings = QKUserDefault::standardUserDefaults();
    const std::vector<std::pair<std::optional<std::string>, bool>> cases = {
        {"10002", true}, {"10004", true}, {"10001", false},  {"10003", false},
        {"1", false},    {"", false},     {" 10002", false}, {std::nullopt, false},
    };
    for (const auto& [mode, expected] : cases) {
        if (mode) {
            settings->setValue(*mode, "sdkWorkMode");
        } else {
            settings->removeObjectForKey("sdkWorkMode");
        }
        EXPECT_EQ(TelvoAPPAdapter::enableSetBindAuthType(), expected) << mode.value_or("<nil>");
    }
    resetForTesting<QKUserDefault>();
}

}  // namespace
}  // namespace telvo
