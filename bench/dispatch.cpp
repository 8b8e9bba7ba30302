// One job through the main queue: submitted with DispatchQueue::main()->async and run by the
// main loop (MainLoop::drain), in threaded mode and in deterministic mode, beside the same job
// through a plain queue of functions (a deque of std::function, pushed and popped). Each
// iteration submits one job and runs it. Goal: a main-queue job within 10x the plain queue.
#include "platform/dispatch/Dispatch.h"

#include <benchmark/benchmark.h>

#include <deque>
#include <functional>
#include <memory>

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

}  // namespace

int main(int argc, char** argv) {
    using telvo::bench::Figure, telvo::bench::Goal;
    return telvo::bench::runWithGoals(
        argc, argv,
        {Goal::ratio("main-queue job over a plain function queue, threaded",
                     Figure::cpu("MainQueueJob/0"), Figure::cpu("PlainFunctionQueue"), 10),
         Goal::ratio("main-queue job over a plain function queue, deterministic",
                     Figure::cpu("MainQueueJob/1"), Figure::cpu("PlainFunctionQueue"), 10)});
}
