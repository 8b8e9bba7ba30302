#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>

#include "GoldenLogEntries.h"
#include "SectionReader.h"
#include "logging/QKSDKLogStore.h"
#include "platform/dispatch/Dispatch.h"
#include "sim/TempFolder.h"

namespace telvo {
namespace {

namespace golden = test::golden;

// tests/logging/data/, written by an earlier build from the calls in GoldenLogEntries.h:
//   records.day         the day file of golden::logAll (records through QKSDKLog)
//   logan.mmap2.head    the cache with the open section of golden::cacheLines (the rest of the
//                       file is zero)
//   closed-section.day  the day file once that section closed
//   recovered.day       the day file a new store wrote after recovering that cache
std::string data(const std::string& name) {
    return test::readFile(std::string(TELVO_SOURCE_DIR) + "/tests/logging/data/" + name);
}

// The deflate streams inside the sections are zlib's own bytes: the whole files compare where
// zlib is the release that wrote the data; elsewhere the decrypted lines still must.
bool sameZlib() {
    return std::string(zlibVersion()) == "1.2.13";
}

std::string onlyFile(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        files.push_back(entry.path());
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? std::string() : files[0].string();
}

// Compares two day files: their lines always, their bytes where zlib is the same.
void expectSameDayFile(const std::string& path, const std::string& goldenName) {
    test::TempFolder scratch;
    const auto goldenPath = scratch.path() / goldenName;
    std::ofstream(goldenPath, std::ios::binary) << data(goldenName);
    const auto lines = test::readLines(path, golden::kKey, golden::kIv);
    EXPECT_FALSE(lines.empty());
    EXPECT_EQ(lines, test::readLines(goldenPath.string(), golden::kKey, golden::kIv));
    if (sameZlib()) {
        EXPECT_TRUE(test::readFile(path) == data(goldenName)) << goldenName;
    }
}

TEST(LogFileBytes, RecordsAreWrittenAsBefore) {
    test::TempFolder folder;
    {
        DeterministicDispatch mode;
        QKSDKLog::setLogDirectory(folder.path());
        QKSDKLog::setKeyAndIv(golden::kKey, golden::kIv);
        golden::logAll(mode.clock());
        QKSDKLog::flush();
        QKSDKLog::setLogDirectory({});
        QKSDKLog::setKeyAndIv({}, {});
        QKSDKLog::flush();
    }
    const std::string path = onlyFile(folder.path() / "KorvoSDKLog");
    EXPECT_EQ(std::filesystem::path(path).filename(), "2026-03-04");
    EXPECT_EQ(test::readSections(path, golden::kKey, golden::kIv).size(), 2u);
    expectSameDayFile(path, "records.day");
}

// One record per line, compact, keys in a fixed order; every escape JSON needs, the rest as it
// stands; a text ends at a zero byte; bytes that are not UTF-8 become U+FFFD (the earlier build
// wrote them as they were, which no JSON reader takes).
TEST(LogFileBytes, RecordsAreCompactJsonInAFixedKeyOrder) {
    struct Case {
        golden::Entry entry;
        std::string json;
    };
    const Case cases[] = {
        {{0, "", "a.cpp", "run", 12, "plain"},
         R"({"c":"plain","f":0,"l":1772600767089,"n":"","file":"a.cpp","func":"run","line":12})"},
        {{-3, "m", nullptr, nullptr, -1, "q\"b\\s/t\tn\nr\rx\x01\x1f\x7f"},
         R"({"c":"q\"b\\s/t\tn\nr\rx\u0001\u001f)"
         "\x7f"
         R"(","f":-3,"l":1772600767089,"n":"m","file":"","func":"","line":-1})"},
        {{1, "n\0m", "f", "g", 2147483647, std::string("a\0b", 3)},
         R"({"c":"a","f":1,"l":1772600767089,"n":"n","file":"f","func":"g","line":2147483647})"},
        {{2, "\xE6\xB8\xA9", "f", "g", 0, "ok \xC3\xBC bad \xC3 \xFF end"},
         "{\"c\":\"ok \xC3\xBC bad \xEF\xBF\xBD \xEF\xBF\xBD end\",\"f\":2,\"l\":1772600767089,"
         "\"n\":\"\xE6\xB8\xA9\",\"file\":\"f\",\"func\":\"g\",\"line\":0}"},
    };
    for (const Case& c : cases) {
        test::TempFolder folder;
        {
            DeterministicDispatch mode;
            mode.clock().setWallNanos(1772600767089400000LL);
            QKSDKLog::setLogDirectory(folder.path());
            QKSDKLog::setKeyAndIv(golden::kKey, golden::kIv);
            const golden::Entry& e = c.entry;
            QKSDKLog::log(e.type, e.module, e.file, e.function, e.line, "%s", e.text.c_str());
            QKSDKLog::flush();
            QKSDKLog::setLogDirectory({});
            QKSDKLog::setKeyAndIv({}, {});
            QKSDKLog::flush();
        }
        EXPECT_EQ(
            test::readLines(onlyFile(folder.path() / "KorvoSDKLog"), golden::kKey, golden::kIv),
            std::vector<std::string>{c.json});
    }
}

// The cache holds its header and the open section's ciphertext as before; the section, closed,
// is the same day file.
TEST(LogFileBytes, CacheAndClosedSectionAreWrittenAsBefore) {
    test::TempFolder root;
    {
        QKSDKLogStore store(root.path(), golden::kKey, golden::kIv);
        for (const auto& line : golden::cacheLines()) ASSERT_TRUE(store.write(line, "2026-03-05"));
        const std::string cache = test::readFile((root.path() / "logan_cache" / "logan.mmap2"));
        const std::string head = data("logan.mmap2.head");
        ASSERT_EQ(cache.size(), QKSDKLogStore::kCacheSize);
        EXPECT_EQ(cache.substr(0, 43), head.substr(0, 43));  // the header
        if (sameZlib()) {
            EXPECT_TRUE(cache.substr(0, head.size()) == head);
        }
        EXPECT_EQ(cache.find_first_not_of('\0', head.size()), std::string::npos);
    }
    expectSameDayFile((root.path() / "KorvoSDKLog" / "2026-03-05").string(), "closed-section.day");
}

// A cache left behind by the earlier build is recovered into its day.
TEST(LogFileBytes, CacheOfTheEarlierBuildIsRecovered) {
    test::TempFolder root;
    std::string cache = data("logan.mmap2.head");
    ASSERT_LT(cache.size(), QKSDKLogStore::kCacheSize);
    cache.resize(QKSDKLogStore::kCacheSize, '\0');
    std::filesystem::create_directories(root.path() / "logan_cache");
    std::ofstream(root.path() / "logan_cache" / "logan.mmap2", std::ios::binary) << cache;
    {
        QKSDKLogStore store(root.path(), golden::kKey, golden::kIv);
        store.write("after", "2026-03-06");
    }
    const std::string path = (root.path() / "KorvoSDKLog" / "2026-03-05").string();
    EXPECT_EQ(test::readLines(path, golden::kKey, golden::kIv), golden::cacheLines());
    expectSameDayFile(path, "recovered.day");
}

}  // namespace
}  // namespace telvo
