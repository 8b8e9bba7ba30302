// Measures one whole run per iteration of a benchmark loop: the CPU time and the peak heap
// growth between start() and stop() only, so that setting up and tearing down the simulators
// stays out of both figures. Includes HeapCounter.h: use it in exactly one source file of a
// program. Main thread only.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <optional>

#include "HeapCounter.h"

namespace telvo::bench {

class RunMeter {
  public:
    explicit RunMeter(benchmark::State& state) : state_(state) {}
    // Reports the highest peak heap growth of the runs.
    ~RunMeter() { state_.counters["peak_heap_growth_KiB"] = double(peakGrowth_) / 1024.0; }
    RunMeter(const RunMeter&) = delete;
    RunMeter& operator=(const RunMeter&) = delete;

    // First thing in an iteration: the set-up that follows is not timed.
    void setUp() { state_.PauseTiming(); }
    // The run starts: timing on, the heap watched from here.
    void start() {
        heap_.emplace();
        state_.ResumeTiming();
        running_ = true;
    }
    // The run is over (again: nothing); what follows is not timed.
    void stop() {
        if (!running_) return;
        state_.PauseTiming();
        running_ = false;
        peakGrowth_ = std::max(peakGrowth_, heap_->growth());
    }
    // Last thing in an iteration, after the tear-down. False (the benchmark then reports the
    // error) when the run failed: the loop must break.
    bool finish(bool succeeded) {
        stop();
        state_.ResumeTiming();
        if (!succeeded) state_.SkipWithError("the run did not succeed");
        return succeeded;
    }

  private:
    benchmark::State& state_;
    std::optional<HeapPeak> heap_;
    bool running_ = false;
    size_t peakGrowth_ = 0;
};

}  // namespace telvo::bench
