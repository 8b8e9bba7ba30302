#include <gtest/gtest.h>
#include <plist/plist.h>

#include <fstream>
#include <string>
#include <vector>

#include "core/QKUserDefault.h"
#include "platform/PropertyListDocuments.h"
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

using test::bigEndian;
using test::binaryPlist;
using test::deepBinaryPlist;

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

// A settings file whose arrays name one another, about 450 bytes that would read as millions
// of objects, is refused before it is read: the store starts empty, in bounded memory, and the
// next change writes a sound file. A file that repeats objects within its bound loads.
TEST_F(UserDefaultTest, FilesNamingObjectsManyTimesLoadWithinTheirBound) {
    const struct {
        const char* name;
        std::string content;
        bool loads;
    } cases[] = {
        {"22 levels of shared arrays", test::sharedArraysPlist(22), false},
        {"20 levels of shared arrays", test::sharedArraysPlist(20), false},
        {"entities naming entities, XML", test::entityLaughsPlist(22), false},
        {"8 levels of shared arrays", test::sharedArraysPlist(8), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(file(), std::ios::binary | std::ios::trunc) << c.content;
        const size_t peakBefore = test::peakResidentBytes();
        {
            // The app's own store on the folder, as the shared one.
            QKUserDefault settings(folder_.path());
            EXPECT_FALSE(settings.boolForKey("logenable"));
            EXPECT_EQ(settings.valueForKey("sdkWorkMode").text(), c.loads ? "10001" : "");
            EXPECT_EQ(reopen()->valueForKey("a").isArray(), c.loads);
        }
        EXPECT_LT(test::peakResidentBytes() - peakBefore, size_t(16) << 20);
        reopen()->setValue("10002", "sdkWorkMode");
        EXPECT_EQ(reopen()->valueForKey("sdkWorkMode").text(), "10002");
    }
}

// The settings file is read on whatever thread first asks for the store: a file nested deeply
// past comments or processing instructions between its tags, or naming a 63-byte text a
// million times in 18 KB, leaves it empty, on a 256 KiB stack too; an honest 4 MiB file loads.
TEST_F(UserDefaultTest, DeepOrExpandingFilesStartEmptyOnASmallStack) {
    const auto [honest, honestFile] = test::honestReply(4 << 20, kPropertyListBinaryFormat);
    const struct {
        const char* name;
        std::string content;
        bool loads;
    } cases[] = {
        {"600 levels past comments", test::deepXmlArrays(600, "<!--</array>-->"), false},
        {"50,000 levels past comments", test::deepXmlArrays(50000, "<!--</array>-->"), false},
        {"50,000 levels past instructions", test::deepXmlArrays(50000, "<?pi </array>?>"), false},
        {"500,000 levels", test::deepXmlArrays(500000, ""), false},
        {"a text named a million times", test::fanOutTextPlist(), false},
        {"an honest 4 MiB file", honestFile, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(file(), std::ios::binary | std::ios::trunc) << c.content;
        Value total;
        ASSERT_TRUE(test::onSmallStack([&] { total = reopen()->valueForKey("total"); }));
        EXPECT_EQ(total, c.loads ? honest.dictionary()["total"] : Value());
    }
}

// A value nested deeper than the file may hold is not stored: the key keeps what it had, the
// file keeps every other key, and a value 511 deep is stored and read back at the next start.
TEST_F(UserDefaultTest, AValueTheFileCouldNotHoldIsNotStored) {
    auto nested = [](size_t depth) {
        Value v("innermost");
        for (size_t i = 0; i < depth; ++i) v = Value::Array{v};
        return v;
    };
    TelvoSDKInitialize();
    auto delegate = std::make_shared<test::LogLines>();
    QKMiddleInterface::shareInstance()->setCustomLogDelegate(delegate);
    auto settings = QKUserDefault::standardUserDefaults();
    settings->setBool(true, "logenable");
    settings->setValue("10003", "sdkWorkMode");
    settings->setValue(nested(511), "deep");
    settings->setValue(nested(2), "deeper");
    settings->setValue(nested(512), "deeper");
    EXPECT_EQ(settings->valueForKey("deeper"), nested(2));
    settings->synchronize();
    auto again = reopen();
    EXPECT_EQ(again->valueForKey("sdkWorkMode"), Value("10003"));
    EXPECT_EQ(again->valueForKey("deep"), nested(511));
    EXPECT_EQ(again->valueForKey("deeper"), nested(2));
    EXPECT_EQ(delegate->lines, std::vector<std::string>{"QKUserDefault value for deeper not "
                                                        "stored: nested deeper than 511 "
                                                        "containers"});
    resetForTesting<QKMiddleInterface>();
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
