#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <set>

#include "platform/crypto/Random.h"
#include "sim/TestPrelude.h"

namespace telvo {
namespace {

// Small draws come from a per-thread buffer: across several refills, and for sizes on both
// sides of what the buffer serves, no draw repeats another.
TEST(SystemRandom, DrawsNeverRepeatAcrossRefills) {
    const size_t sizes[] = {8, 13, 64, 65, 1000};
    for (size_t size : sizes) {
        SystemRandom random;
        std::set<Bytes> seen;
        const size_t draws = std::max<size_t>(8, 4096 / size);
        for (size_t i = 0; i < draws; ++i) {
            auto drawn = random.secureBytes(size);
            ASSERT_TRUE(drawn) << size;
            EXPECT_TRUE(seen.insert(*drawn).second) << "size " << size << ", draw " << i;
        }
    }
}

// Interleaved sizes: a draw that takes what is left of the buffer and the start of a fresh one
// still gives bytes no other draw gave.
TEST(SystemRandom, DrawsStraddlingARefillStayFresh) {
    SystemRandom random;
    std::set<Bytes> seen;
    const size_t pattern[] = {13, 1, 64, 7, 3, 50, 13, 13};
    for (int round = 0; round < 200; ++round) {
        for (size_t size : pattern) {
            Bytes drawn(size);
            ASSERT_TRUE(random.secureBytes(drawn.data(), drawn.size()));
            if (size >= 8) {
                EXPECT_TRUE(seen.insert(drawn).second) << round << "/" << size;
            }
        }
    }
}

// Without a reset after fork(), parent and child would hand out the same buffered bytes.
TEST(SystemRandom, ForkedChildDrawsOtherBytesThanItsParent) {
    SystemRandom random;
    ASSERT_TRUE(random.secureBytes(1));  // the buffer is full now
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::array<uint8_t, 32> drawn{};
        const bool ok = random.secureBytes(drawn.data(), drawn.size());
        const bool written = ::write(pipeFds[1], drawn.data(), drawn.size()) == 32;
        ::_exit(ok && written ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::array<uint8_t, 32> inChild{};
    size_t got = 0;
    while (got < inChild.size()) {
        const ssize_t n = ::read(pipeFds[0], inChild.data() + got, inChild.size() - got);
        if (n <= 0) break;
        got += size_t(n);
    }
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(got, inChild.size());
    std::array<uint8_t, 32> inParent{};
    ASSERT_TRUE(random.secureBytes(inParent.data(), inParent.size()));
    EXPECT_NE(inChild, inParent);
}

// Bytes from 1 to 255, each about equally often: zeros are drawn again rather than folded onto
// other values.
TEST(SystemRandom, NonzeroBytesCoverOneTo255Evenly) {
    SystemRandom random;
    constexpr size_t kPerValue = 400;
    Bytes drawn(255 * kPerValue);
    for (size_t at = 0; at < drawn.size(); at += 13)
        ASSERT_TRUE(
            random.nonzeroBytes(drawn.data() + at, std::min<size_t>(13, drawn.size() - at)));
    std::array<size_t, 256> counts{};
    for (uint8_t b : drawn) ++counts[b];
    EXPECT_EQ(counts[0], 0u);
    for (size_t v = 1; v < 256; ++v) {
        // Ten standard deviations either side.
        EXPECT_GT(counts[v], kPerValue / 2) << v;
        EXPECT_LT(counts[v], kPerValue * 3 / 2) << v;
    }
}

}  // namespace
}  // namespace telvo
