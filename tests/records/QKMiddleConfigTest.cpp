#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "records/QKMiddleInterface.h"
#include "telvosdk/QKMiddleConfig.h"

namespace telvo {
namespace {

// The app writes while flows read: every read is one whole value that some write put there.
// Run under ThreadSanitizer to check the locking as well.
TEST(QKMiddleConfig, ConcurrentWritesAndReadsSeeWholeValues) {
    resetForTesting<QKMiddleInterface>();
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    const std::string tokenA(64, 'a'), tokenB(256, 'b');
    const Bytes keyA(32, 0x11), keyB(32, 0x22);
    constexpr int kRounds = 2000;

    std::latch start(4);
    std::atomic<int> torn{0};
    std::thread writer([&] {
        start.arrive_and_wait();
        for (int i = 0; i < kRounds; ++i) {
            const bool odd = i % 2;
            config->setAccessToken(odd ? tokenA : tokenB);
            config->setTlsPrivateKey(odd ? keyA : keyB);
            config->setSSID_FormatArray(odd ? std::vector<std::string>{"midea_"}
                                            : std::vector<std::string>{"midea_", "korvo_"});
            config->setWorkmode(odd ? 1 : 8888);
        }
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            start.arrive_and_wait();
            for (int i = 0; i < kRounds; ++i) {
                auto token = config->accessToken();
                if (!token.empty() && token != tokenA && token != tokenB) ++torn;
                auto key = config->tlsPrivateKey();
                if (!key.empty() && key != keyA && key != keyB) ++torn;
                auto prefixes = config->SSID_FormatArray();
                if (prefixes.size() > 2) ++torn;
                auto mode = config->workmode();
                if (mode != 0 && mode != 1 && mode != 8888) ++torn;
                // The shared instance is the same from every thread.
                if (QKMiddleInterface::shareInstance()->middleConfig() != config) ++torn;
            }
        });
    }
    writer.join();
    for (auto& t : readers) t.join();
    EXPECT_EQ(torn.load(), 0);
    resetForTesting<QKMiddleInterface>();
}

}  // namespace
}  // namespace telvo
