#include <gtest/gtest.h>

#include <fstream>

#include "SectionReader.h"
#include "logging/QKSDKLogStore.h"
#include "sim/TempFolder.h"
#include "sim/TestSupport.h"

namespace telvo {
namespace {

const Bytes kStoreKey = test::hex("000102030405060708090a0b0c0d0e0f");
const Bytes kStoreIv = test::hex("f0e0d0c0b0a090807060504030201000");

// Lines of little redundancy, so that many of them make several sections.
std::string lineText(int i) {
    std::string text = "line " + std::to_string(i) + " ";
    uint32_t x = static_cast<uint32_t>(i) * 2654435761u + 1;
    for (int k = 0; k < 12; ++k, x = x * 1103515245u + 12345u)
        text += std::to_string(x % 10007) + ",";
    return text;
}

TEST(LogStore, LinesComeBackInOrderFromIndependentSections) {
    test::TempFolder root;
    const int n = 3000;
    {
        QKSDKLogStore store(root.path(), kStoreKey, kStoreIv);
        for (int i = 0; i < n; ++i) ASSERT_TRUE(store.write(lineText(i), "2026-01-01"));
    }
    const auto path = (root.path() / "KorvoSDKLog" / "2026-01-01").string();
    const auto sections = test::readSections(path, kStoreKey, kStoreIv);
    EXPECT_GE(sections.size(), 3u);
    const auto lines = test::readLines(path, kStoreKey, kStoreIv);
    ASSERT_EQ(lines.size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) ASSERT_EQ(lines[static_cast<size_t>(i)], lineText(i));
}

TEST(LogStore, ADayChangeStartsANewFileAndFlushClosesTheSection) {
    test::TempFolder root;
    QKSDKLogStore store(root.path(), kStoreKey, kStoreIv);
    store.write("first", "2026-01-01");
    store.write("second", "2026-01-01");
    store.write("third", "2026-01-02");
    store.flush();
    store.write("fourth", "2026-01-02");
    store.flush();
    const auto dir = root.path() / "KorvoSDKLog";
    EXPECT_EQ(test::readLines((dir / "2026-01-01").string(), kStoreKey, kStoreIv),
              (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(test::readSections((dir / "2026-01-02").string(), kStoreKey, kStoreIv),
              (std::vector<std::string>{"third\n", "fourth\n"}));
}

TEST(LogStore, RefusesBadKeysAndDayNamesAndCutsLongLines) {
    test::TempFolder root;
    QKSDKLogStore shortKey(root.path(), Bytes(15), kStoreIv);
    EXPECT_FALSE(shortKey.write("x", "2026-01-01"));
    QKSDKLogStore store(root.path(), kStoreKey, kStoreIv);
    for (const char* day : {"../escape", "2026-1-01", "", "2026-01-01/x"})
        EXPECT_FALSE(store.write("x", day)) << day;
    EXPECT_FALSE(std::filesystem::exists(root.path() / "KorvoSDKLog"));

    store.write(std::string(QKSDKLogStore::kMaxLineLength + 500, 'x'), "2026-01-01");
    store.flush();
    auto lines =
        test::readLines((root.path() / "KorvoSDKLog" / "2026-01-01").string(), kStoreKey, kStoreIv);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), QKSDKLogStore::kMaxLineLength);  // a long line is cut
}

// A crash leaves the open section in the cache; the next store writes its whole lines to the
// day they belong to. A cache from another key, or damaged, is dropped.
TEST(LogStore, CachedSectionIsRecoveredAfterACrash) {
    test::TempFolder root;
    const auto cache = root.path() / "logan_cache" / "logan.mmap2";
    const auto day1 = root.path() / "KorvoSDKLog" / "2026-01-01";
    std::string crashed;
    {
        QKSDKLogStore store(root.path(), kStoreKey, kStoreIv);
        for (int i = 0; i < 50; ++i) store.write(lineText(i), "2026-01-01");
        crashed = test::readFile(cache.string());  // what a crash would leave behind
    }
    ASSERT_EQ(crashed.size(), QKSDKLogStore::kCacheSize);
    std::filesystem::remove(day1);

    std::ofstream(cache, std::ios::binary | std::ios::trunc) << crashed;
    {
        QKSDKLogStore store(root.path(), kStoreKey, kStoreIv);
        store.write("after", "2026-01-02");
    }
    auto recovered = test::readLines(day1.string(), kStoreKey, kStoreIv);
    ASSERT_GE(recovered.size(), 49u);  // the last line may be cut in its final block
    for (size_t i = 0; i < recovered.size(); ++i)
        EXPECT_EQ(recovered[i], lineText(static_cast<int>(i)));

    std::filesystem::remove(day1);
    std::ofstream(cache, std::ios::binary | std::ios::trunc) << crashed;
    {
        QKSDKLogStore store(root.path(), test::hex("ffffffffffffffffffffffffffffffff"), kStoreIv);
        store.write("other key", "2026-01-02");
    }
    EXPECT_FALSE(std::filesystem::exists(day1));

    for (size_t at : {size_t{0}, size_t{1}, size_t{3}, size_t{40}}) {
        std::string damaged = crashed;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x5A);
        std::ofstream(cache, std::ios::binary | std::ios::trunc) << damaged;
        QKSDKLogStore store(root.path(), kStoreKey, kStoreIv);
        store.write("x", "2026-01-03");
    }
    std::ofstream(cache, std::ios::binary | std::ios::trunc) << std::string(100, '\x0F');
    { QKSDKLogStore(root.path(), kStoreKey, kStoreIv).write("y", "2026-01-03"); }
    EXPECT_FALSE(std::filesystem::exists(day1));  // nothing damaged was recovered
    EXPECT_EQ(
        test::readLines((root.path() / "KorvoSDKLog" / "2026-01-03").string(), kStoreKey, kStoreIv),
        (std::vector<std::string>{"x", "x", "x", "x", "y"}));
}

// A cache crafted to inflate far beyond any real section: recovery stops at kMaxRecoveredText
// and keeps whole lines only.
TEST(LogStore, RecoveryOfAnInflatingCacheIsBounded) {
    test::TempFolder root;
    const std::string line(99, 'z');
    std::string text;
    while (text.size() < 2 * QKSDKLogStore::kMaxRecoveredText) text += line + "\n";
    const auto sealed = QKSDKLogStore::sealSection(text, kStoreKey, kStoreIv);
    ASSERT_TRUE(sealed);
    const std::string header = R"({"logan_version":3,"file":"2026-01-01"})";
    std::string cache(QKSDKLogStore::kCacheSize, '\0');
    size_t at = 0;
    cache[at++] = '\x0F';
    cache[at++] = static_cast<char>(header.size() >> 8);
    cache[at++] = static_cast<char>(header.size());
    cache.replace(at, header.size(), header);
    at += header.size();
    cache[at++] = '\x0E';
    for (int shift = 24; shift >= 0; shift -= 8)
        cache[at++] = static_cast<char>(sealed->size() >> shift);
    ASSERT_LE(at + sealed->size(), cache.size());
    cache.replace(at, sealed->size(), reinterpret_cast<const char*>(sealed->data()),
                  sealed->size());
    std::filesystem::create_directories(root.path() / "logan_cache");
    std::ofstream(root.path() / "logan_cache" / "logan.mmap2", std::ios::binary) << cache;

    { QKSDKLogStore(root.path(), kStoreKey, kStoreIv).write("after", "2026-01-02"); }
    const auto lines =
        test::readLines((root.path() / "KorvoSDKLog" / "2026-01-01").string(), kStoreKey, kStoreIv);
    EXPECT_GT(lines.size(), QKSDKLogStore::kMaxRecoveredText / 200);
    EXPECT_LE(lines.size() * (line.size() + 1), QKSDKLogStore::kMaxRecoveredText);
    for (const auto& l : lines) ASSERT_EQ(l, line);
}

}  // namespace
}  // namespace telvo
