// Measures one whole run per iteration of a benchmark loop, between start() and stop() only,
// so that setting up and tearing down the simulators stays out of the figures:
// - the CPU time of every thread of the process but the fake cloud's (the main loop, the
//   URL-loading thread, the reactor and pool threads, threads that ended meanwhile; CpuMeter).
//   It becomes the iteration's time, so register the benchmark with ->UseManualTime(); the CPU
//   column keeps the calling thread's share alone;
// - the peak growth of the heap taken through malloc and its relatives on every thread
//   (HeapCounter.h).
// Includes HeapCounter.h: use it in exactly one source file of a program. Main thread only.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "CpuMeter.h"
#include "Goals.h"
#include "HeapCounter.h"

namespace telvo::bench {

class RunMeter {
  public:
    explicit RunMeter(benchmark::State& state) : state_(state) {}
    // Reports the highest peak heap growth of the runs and the mean CPU time of a run.
    ~RunMeter() {
        state_.counters["peak_heap_growth_KiB"] = double(peakGrowth_) / 1024.0;
        if (runs_ > 0) state_.counters["cpu_ms_all_threads"] = cpuSeconds_ * 1e3 / double(runs_);
    }
    RunMeter(const RunMeter&) = delete;
    RunMeter& operator=(const RunMeter&) = delete;

    // First thing in an iteration: the set-up that follows is not timed.
    void setUp() { state_.PauseTiming(); }
    // The run starts: timing on, the heap and every thread's CPU watched from here.
    void start() {
        cpu_.start();
        heap_.emplace();
        state_.ResumeTiming();
        running_ = true;
    }
    // The run is over (again: nothing); what follows is not timed.
    void stop() {
        if (!running_) return;
        state_.PauseTiming();
        const double run = cpu_.stop();
        running_ = false;
        peakGrowth_ = std::max(peakGrowth_, heap_->growth());
        cpuSeconds_ += run;
        ++runs_;
        state_.SetIterationTime(run);
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
    CpuMeter cpu_;
    double cpuSeconds_ = 0;
    int64_t runs_ = 0;
};

// The goals of a benchmark of whole runs measured with RunMeter (its full name, manual time):
// at most 5 ms of CPU a run on every thread but the fake cloud's, at most 1 MiB of peak heap
// growth.
inline std::vector<Goal> wholeRunGoals(const std::string& benchmark, const std::string& run) {
    return {Goal::limit("CPU of one " + run + ", every thread but the fake cloud's",
                        Figure::real(benchmark), 5e-3, "ms"),
            Goal::limit("peak heap growth of one " + run + " (KiB)",
                        Figure::counterOf(benchmark, "peak_heap_growth_KiB"), 1024, "KiB")};
}

}  // namespace telvo::bench
