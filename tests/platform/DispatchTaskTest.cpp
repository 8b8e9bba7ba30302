#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchTask.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/Semaphore.h"

namespace telvo {
namespace {

// Counts its live instances: a callable destroyed twice drives the count below zero, one never
// destroyed leaves it above.
// The last one made tells where a task keeps its callable.
struct Tracked {
    static inline std::atomic<int> live{0};
    static inline std::atomic<const void*> last{nullptr};
    Tracked() { made(); }
    Tracked(const Tracked&) { made(); }
    Tracked(Tracked&&) noexcept { made(); }
    ~Tracked() { --live; }
    void made() {
        ++live;
        last = this;
    }
};

bool heldInside(const DispatchTask& task) {
    const auto* begin = reinterpret_cast<const char*>(&task);
    const auto* at = static_cast<const char*>(Tracked::last.load());
    return at >= begin && at < begin + sizeof(DispatchTask);
}

// A callable of Pad bytes of payload holding a move-only capture; Throwing makes its move
// constructor potentially throwing (such callables go to the heap whatever their size).
template <size_t Pad, bool Throwing = false>
struct Job {
    std::unique_ptr<int> token = std::make_unique<int>(7);
    Tracked tracked;
    std::array<char, Pad> pad{};
    std::function<void(int)> sink;
    Job(std::function<void(int)> s) : sink(std::move(s)) {}
    Job(Job&& other) noexcept(!Throwing) = default;
    void operator()() { sink(*token); }
};

struct TaskCase {
    const char* name;
    std::function<DispatchTask(std::function<void(int)>)> make;
    bool inside;  // the callable itself lives in the task
};

TEST(DispatchTask, EveryCallableRunsOnceAndIsDestroyedOnce) {
    static_assert(sizeof(DispatchTask) == 64);
    const std::vector<TaskCase> cases = {
        {"small lambda", [](auto sink) { return DispatchTask([sink, t = Tracked()] { sink(7); }); },
         true},
        {"move-only capture", [](auto sink) { return DispatchTask(Job<0>(std::move(sink))); },
         true},
        {"exactly the inline size",
         [](auto sink) {
             return DispatchTask(Job<DispatchTask::kInlineSize - sizeof(Job<0>)>(std::move(sink)));
         },
         true},
        {"heap-sized", [](auto sink) { return DispatchTask(Job<200>(std::move(sink))); }, false},
        {"throwing move", [](auto sink) { return DispatchTask(Job<0, true>(std::move(sink))); },
         false},
        {"std::function",
         [](auto sink) {
             std::function<void()> f = [sink, t = Tracked()] { sink(7); };
             return DispatchTask(f);
         },
         false},  // the function is held inline, what it wraps is its own business
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Tracked::live.load(), 0);
        int runs = 0;
        {
            DispatchTask task = c.make([&](int v) {
                EXPECT_EQ(v, 7);
                ++runs;
            });
            ASSERT_TRUE(task);
            EXPECT_EQ(Tracked::live.load(), 1);
            // Moved around as a queue moves it: construction, assignment over an empty task and
            // over a held one (which destroys the one held).
            DispatchTask moved(std::move(task));
            EXPECT_FALSE(task);
            DispatchTask assigned;
            assigned = std::move(moved);
            DispatchTask other = c.make([&](int) { ADD_FAILURE() << "replaced task ran"; });
            EXPECT_EQ(Tracked::live.load(), 2);
            other = std::move(assigned);
            EXPECT_EQ(Tracked::live.load(), 1);
            EXPECT_EQ(heldInside(other), c.inside);
            DispatchTask& same = other;
            other = std::move(same);  // a move onto itself keeps the callable
            ASSERT_TRUE(other);
            other();
            EXPECT_EQ(runs, 1);
            other.reset();
            EXPECT_FALSE(other);
            EXPECT_EQ(Tracked::live.load(), 0);
            task = c.make([&](int) { ++runs; });
        }
        EXPECT_EQ(runs, 1);
        EXPECT_EQ(Tracked::live.load(), 0);
    }
}

TEST(DispatchTask, EmptyCallablesMakeEmptyTasks) {
    std::function<void()> none;
    void (*null)() = nullptr;
    EXPECT_FALSE(DispatchTask(none));
    EXPECT_FALSE(DispatchTask(null));
    EXPECT_FALSE(DispatchTask(nullptr));
    EXPECT_FALSE(DispatchTask());
    // Queues drop empty blocks instead of calling them.
    DeterministicDispatch mode;
    auto queue = DispatchQueue::createSerial("test.empty");
    queue->async(none);
    DispatchQueue::main()->async(null);
    MainLoop::drain();
    EXPECT_EQ(queue->pendingCount(), 0u);
}

// Blocks of both storage kinds, with move-only captures, alternate on serial, concurrent and
// main queues in both modes: each runs once, serial and main ones in submission order, and all
// their captures are gone once they have run.
TEST(DispatchTask, QueuesRunMixedBlocksOnceInOrder) {
    enum class Kind { Serial, Concurrent, Main };
    constexpr int kBlocks = 40;
    for (bool deterministic : {true, false}) {
        for (Kind kind : {Kind::Serial, Kind::Concurrent, Kind::Main}) {
            SCOPED_TRACE(std::string(deterministic ? "deterministic " : "threaded ") +
                         (kind == Kind::Serial       ? "serial"
                          : kind == Kind::Concurrent ? "concurrent"
                                                     : "main"));
            std::unique_ptr<DeterministicDispatch> mode;
            if (deterministic) mode = std::make_unique<DeterministicDispatch>();
            auto queue = kind == Kind::Serial       ? DispatchQueue::createSerial("test.mixed")
                         : kind == Kind::Concurrent ? DispatchQueue::createConcurrent("test.mixed")
                                                    : DispatchQueue::main();
            std::mutex mutex;
            std::vector<int> order;
            std::atomic<int> done{0};
            Semaphore finished(0);
            auto note = [&](int i) {
                {
                    std::lock_guard lock(mutex);
                    order.push_back(i);
                }
                if (++done == kBlocks) finished.signal();
            };
            for (int i = 0; i < kBlocks; ++i) {
                auto token = std::make_unique<int>(i);
                if (i % 4 == 0) {
                    queue->barrierAsync(
                        [&note, token = std::move(token), t = Tracked()] { note(*token); });
                } else if (i % 2 == 1) {
                    queue->async(
                        [&note, token = std::move(token), t = Tracked()] { note(*token); });
                } else {
                    std::array<char, 200> big{};
                    queue->async([&note, token = std::move(token), big, t = Tracked()] {
                        note(*token + big[0]);
                    });
                }
            }
            if (kind == Kind::Main || deterministic) {
                EXPECT_TRUE(MainLoop::runUntil([&] { return done.load() == kBlocks; }, 10));
            } else {
                finished.wait();
            }
            // A sync behind them all returns once every earlier block has run and let go.
            queue->sync([] {});
            if (!deterministic && kind == Kind::Concurrent) {
                // Workers destroy a block right after it returns: wait for the last of them.
                queue->barrierSync([] {});
            }
            std::lock_guard lock(mutex);
            ASSERT_EQ(order.size(), size_t(kBlocks));
            if (kind != Kind::Concurrent || deterministic) {
                for (int i = 0; i < kBlocks; ++i) EXPECT_EQ(order[size_t(i)], i);
            } else {
                std::vector<bool> seen(kBlocks, false);
                for (int v : order) seen[size_t(v)] = true;
                EXPECT_EQ(std::count(seen.begin(), seen.end(), true), kBlocks);
            }
            EXPECT_EQ(Tracked::live.load(), 0);
        }
    }
}

// A block that throws on the main loop leaves it usable: the run is left, the block destroyed
// and later blocks still run.
TEST(DispatchTask, ThrowingMainBlockLeavesTheLoopUsable) {
    int ran = 0;
    DispatchQueue::main()->async([t = Tracked()] { throw std::runtime_error("block failed"); });
    DispatchQueue::main()->async([&ran] { ++ran; });
    EXPECT_THROW(MainLoop::drain(), std::runtime_error);
    EXPECT_EQ(Tracked::live.load(), 0);
    MainLoop::drain();
    EXPECT_EQ(ran, 1);
    // The run was left: another thread may run the loop now (a second runner would abort).
    std::thread other([] {
        DispatchQueue::main()->async([] {});
        MainLoop::drain();
    });
    other.join();
}

}  // namespace
}  // namespace telvo
