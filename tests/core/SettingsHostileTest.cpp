#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "sim/TempFolder.h"
#include "telvosdk/QKUserDefault.h"

namespace telvo {
namespace {

// A binary property list: a dict {"a": [[[...[]...]]]} with depth nested one-element arrays.
std::string deepBinaryPlist(size_t depth) {
    std::string data = "bplist00";
    std::vector<uint32_t> offsets;
    auto ref = [&](uint32_t r) {
        for (int k = 3; k >= 0; --k) data.push_back(static_cast<char>(r >> (8 * k)));
    };
    offsets.push_back(static_cast<uint32_t>(data.size()));
    data += '\xD1';
    ref(1);
    ref(2);
    offsets.push_back(static_cast<uint32_t>(data.size()));
    data += "\x51" "a";
    for (size_t i = 0; i < depth; ++i) {
        offsets.push_back(static_cast<uint32_t>(data.size()));
        data += '\xA1';
        ref(static_cast<uint32_t>(3 + i));
    }
    offsets.push_back(static_cast<uint32_t>(data.size()));
    data += '\xA0';
    const uint64_t tableAt = data.size();
    for (uint32_t o : offsets) ref(o);
    std::string trailer(32, '\0');
    trailer[6] = 4;
    trailer[7] = 4;
    for (int k = 0; k < 8; ++k) {
        trailer[8 + k] = static_cast<char>(uint64_t{offsets.size()} >> (8 * (7 - k)));
        trailer[24 + k] = static_cast<char>(tableAt >> (8 * (7 - k)));
    }
    return data + trailer;
}

// A binary property list of the given objects, references one byte wide, object 0 on top.
std::string binaryPlist(const std::vector<std::string>& objects) {
    std::string data = "bplist00";
    std::string table;
    for (const std::string& object : objects) {
        table.push_back(static_cast<char>(data.size()));
        data += object;
    }
    const size_t tableAt = data.size();
    std::string trailer(32, '\0');
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = static_cast<char>(objects.size());
    trailer[31] = static_cast<char>(tableAt);
    return data + table + trailer;
}

std::string deepXmlPlist(size_t depth) {
    std::string data =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
        "<dict><key>sdkWorkMode</key><string>10003</string><key>a</key>";
    for (size_t i = 0; i < depth; ++i) data += "<array>";
    for (size_t i = 0; i < depth; ++i) data += "</array>";
    return data + "</dict>\n</plist>\n";
}

class SettingsHostileTest : public ::testing::Test {
protected:
    void SetUp() override {
        QKUserDefault::setStorageDirectory(folder_.path());
        QKUserDefault::resetForTesting();
    }
    void TearDown() override {
        QKUserDefault::setStorageDirectory({});
        QKUserDefault::resetForTesting();
    }
    std::shared_ptr<QKUserDefault> load(const std::string& content) {
        std::ofstream(folder_.path() / "QKUserDefault.plist", std::ios::binary | std::ios::trunc)
            << content;
        QKUserDefault::resetForTesting();
        return QKUserDefault::standardUserDefaults();
    }
    test::TempFolder folder_;
};

// A settings file nested far deeper than any we write is refused before the property-list
// reader recurses through it (it overflowed the stack).
TEST_F(SettingsHostileTest, DeeplyNestedFilesStartEmpty) {
    EXPECT_TRUE(load(deepBinaryPlist(200000))->valueForKey("a").isNull());
    EXPECT_TRUE(load(deepXmlPlist(1000000))->valueForKey("sdkWorkMode").isNull());
}

// The property-list library aborts on a dictionary key holding a zero character.
TEST_F(SettingsHostileTest, KeysWithAZeroCharacterStartEmpty) {
    using namespace std::string_literals;
    const std::string value = "\x51x"s;
    EXPECT_TRUE(load(binaryPlist({"\xD1\x01\x02"s, "\x53" "a\0b"s, value}))->valueForKey("a").isNull());
    EXPECT_TRUE(load(binaryPlist({"\xD1\x01\x02"s, "\x62\0a\0\0"s, value}))->valueForKey("a").isNull());
    // The same files with a plain key load.
    EXPECT_EQ(load(binaryPlist({"\xD1\x01\x02"s, "\x53" "abc"s, value}))->valueForKey("abc").text(),
              "x");
    EXPECT_EQ(load(binaryPlist({"\xD1\x01\x02"s, "\x62\0a\0b"s, value}))->valueForKey("ab").text(),
              "x");
}

TEST_F(SettingsHostileTest, ModestNestingStillLoads) {
    auto binary = load(deepBinaryPlist(40));
    EXPECT_TRUE(binary->valueForKey("a").isArray());
    auto xml = load(deepXmlPlist(40));
    EXPECT_EQ(xml->valueForKey("sdkWorkMode").text(), "10003");
    EXPECT_TRUE(xml->valueForKey("a").isArray());
}

}  // namespace
}  // namespace telvo
