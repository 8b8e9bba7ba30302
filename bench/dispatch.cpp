// One job through the main queue: submitted with DispatchQueue::main()->async and run by the
// main loop (MainLoop::drain), in threaded mode and in deterministic mode, beside the same job
// through a plain queue of functions (a deque of std::function, pushed and popped). Each job
// is submitted and then run before the next one is submitted, on both sides. The goals are
// read from batches of the two that alternate (either first in turn) on the thread's CPU
// clock, so that both see the same load, 15 repetitions: a main-queue job within 10x the plain
// queue in threaded mode, 5x in deterministic mode. The separate benchmarks' ratios are
// printed for comparison. Run it on one core: taskset -c N.
#include "platform/dispatch/Dispatch.h"

#include <benchmark/benchmark.h>

#include <deque>
#include <functional>
#include <memory>

#include "CpuMeter.h"
#include "Goals.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"

namespace {

using namespace telvo;

void PlainFunctionQueue(benchmark::State& state) {
    std::deque<std::function<void()>> queue;
    int64_t ran = 0;
    for (auto _ : state) {
        queue.push_back([&ran] { ++ran; });
        auto job = std::move(queue.front());
        queue.pop_front();
        job();
    }
    if (ran != state.iterations()) state.SkipWithError("a job was lost");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(PlainFunctionQueue);

// Argument 0: threaded mode; 1: deterministic mode.
void MainQueueJob(benchmark::State& state) {
    std::unique_ptr<DeterministicDispatch> mode;
    if (state.range(0) == 1) mode = std::make_unique<DeterministicDispatch>();
    auto main = DispatchQueue::main();
    int64_t ran = 0;
    for (auto _ : state) {
        main->async([&ran] { ++ran; });
        MainLoop::drain();
    }
    if (ran != state.iterations()) state.SkipWithError("a job was lost");
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(state.range(0) == 1 ? "deterministic" : "threaded");
}
BENCHMARK(MainQueueJob)->Arg(0)->Arg(1);

// Argument 0: threaded mode; 1: deterministic mode.
void AlternatingBatches(benchmark::State& state) {
    constexpr int kBatch = 1000;
    std::unique_ptr<DeterministicDispatch> mode;
    if (state.range(0) == 1) mode = std::make_unique<DeterministicDispatch>();
    auto main = DispatchQueue::main();
    std::deque<std::function<void()>> queue;
    int64_t ranMain = 0, ranPlain = 0;
    bench::SideBySide timed;
    for (auto _ : state) {
        timed.run(
            [&] {
                for (int n = 0; n < kBatch; ++n) {
                    queue.push_back([&ranPlain] { ++ranPlain; });
                    auto job = std::move(queue.front());
                    queue.pop_front();
                    job();
                }
            },
            [&] {
                for (int n = 0; n < kBatch; ++n) {
                    main->async([&ranMain] { ++ranMain; });
                    MainLoop::drain();
                }
            });
    }
    const int64_t jobs = state.iterations() * kBatch;
    if (ranMain != jobs || ranPlain != jobs) state.SkipWithError("a job was lost");
    state.counters["plain_ns"] = timed.bareSeconds * 1e9 / double(jobs);
    state.counters["main_ns"] = timed.pathSeconds * 1e9 / double(jobs);
    state.SetItemsProcessed(jobs * 2);
    state.SetLabel(state.range(0) == 1 ? "deterministic" : "threaded");
}
BENCHMARK(AlternatingBatches)->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char** argv) {
    using telvo::bench::Figure, telvo::bench::Goal;
    return telvo::bench::runWithGoals(
        argc, argv,
        {Goal::ratio("main-queue job over a plain function queue, threaded, alternating batches",
                     Figure::counterOf("AlternatingBatches/0", "main_ns"),
                     Figure::counterOf("AlternatingBatches/0", "plain_ns"), 10),
         Goal::ratio("main-queue job over a plain function queue, deterministic, alternating "
                     "batches",
                     Figure::counterOf("AlternatingBatches/1", "main_ns"),
                     Figure::counterOf("AlternatingBatches/1", "plain_ns"), 5),
         Goal::comparison("threaded, from the separate benchmarks (load may differ between them)",
                          Figure::cpu("MainQueueJob/0"), Figure::cpu("PlainFunctionQueue")),
         Goal::comparison("deterministic, from the separate benchmarks",
                          Figure::cpu("MainQueueJob/1"), Figure::cpu("PlainFunctionQueue"))},
        15);
}
