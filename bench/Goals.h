// A benchmark program's goals, printed after its benchmarks: ratios of one benchmark's median
// figure over another's, and limits on a median figure, each with the goal beside it. A figure
// is a benchmark's time per iteration (CPU time, or real time, which is the manual time of
// benchmarks that use it) or one of its counters. A program with goals defines main() through
// runWithGoals. Unless the command line asks for repetitions, every benchmark runs five times
// (or as often as the program asks), the repetitions of all of them interleaved in random
// order, and the console shows the aggregates; the goals read the medians.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace telvo::bench {

struct Figure {
    enum class Kind { CpuTime, RealTime, Counter };
    std::string benchmark;  // the full name, e.g. "FrameWriteAndRead/0"
    Kind kind = Kind::CpuTime;
    std::string counter;  // for Kind::Counter

    static Figure cpu(std::string name) { return {std::move(name), Kind::CpuTime, {}}; }
    static Figure real(std::string name) { return {std::move(name), Kind::RealTime, {}}; }
    static Figure counterOf(std::string name, std::string counter) {
        return {std::move(name), Kind::Counter, std::move(counter)};
    }
};

struct Goal {
    std::string what;  // one line: what is compared or limited
    Figure figure;
    std::optional<Figure> over;  // set: a ratio figure / over; unset: a limit on figure
    double atMost = 0;           // the goal: ratio or value (seconds for times)
    std::string unit;            // how a limit prints: "ns", "us", "ms", "KiB" or a counter's own

    static Goal ratio(std::string what, Figure numerator, Figure denominator, double atMost) {
        return {std::move(what), std::move(numerator), std::move(denominator), atMost, {}};
    }
    static Goal limit(std::string what, Figure figure, double atMost, std::string unit) {
        return {std::move(what), std::move(figure), std::nullopt, atMost, std::move(unit)};
    }
    // A ratio printed beside the goals for comparison, with no goal of its own.
    static Goal comparison(std::string what, Figure numerator, Figure denominator) {
        return {std::move(what), std::move(numerator), std::move(denominator), NAN, {}};
    }
};

// The heap's peak growth that a benchmark reports from bench::HeapPeak.
inline Figure heapPeakOf(std::string name) {
    return Figure::counterOf(std::move(name), "heap_peak_growth_B");
}

// One benchmark over another, in CPU time and in heap peak.
inline void addRatiosOfTimeAndHeap(std::vector<Goal>& goals, const std::string& what,
                                   const std::string& name, const std::string& over,
                                   double atMost) {
    goals.push_back(Goal::ratio(what, Figure::cpu(name), Figure::cpu(over), atMost));
    goals.push_back(Goal::ratio("... its heap", heapPeakOf(name), heapPeakOf(over), atMost));
}

// Limits on a benchmark's CPU time (seconds) and heap peak (bytes).
inline void addLimitsOfTimeAndHeap(std::vector<Goal>& goals, const std::string& what,
                                   const std::string& name, double seconds, double heapBytes) {
    goals.push_back(Goal::limit(what, Figure::cpu(name), seconds, "ms"));
    goals.push_back(Goal::limit("... its heap", heapPeakOf(name), heapBytes, "B"));
}

namespace goals_detail {

// Keeps the median (or the only) run of each benchmark while the console prints as usual.
class Collector : public benchmark::ConsoleReporter {
  public:
    Collector() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median) continue;
            auto& slot = runs_[run.run_name.str()];
            if (median || !slot.second) slot = {run, median};
        }
    }
    // The figure's value (times in seconds); NaN when the benchmark did not report.
    double value(const Figure& f) const {
        auto it = runs_.find(f.benchmark);
        if (it == runs_.end()) return NAN;
        const Run& run = it->second.first;
        const double perSecond = benchmark::GetTimeUnitMultiplier(run.time_unit);
        switch (f.kind) {
            case Figure::Kind::CpuTime:
                return run.GetAdjustedCPUTime() / perSecond;
            case Figure::Kind::RealTime:
                return run.GetAdjustedRealTime() / perSecond;
            case Figure::Kind::Counter: {
                auto c = run.counters.find(f.counter);
                return c == run.counters.end() ? NAN : double(c->second);
            }
        }
        return NAN;
    }

  private:
    std::map<std::string, std::pair<Run, bool>> runs_;
};

inline double scaled(double value, const std::string& unit) {
    if (unit == "ns") return value * 1e9;
    if (unit == "us") return value * 1e6;
    if (unit == "ms") return value * 1e3;
    return value;
}

}  // namespace goals_detail

// Runs the benchmarks the command line selects, then prints each goal whose figures ran, met
// or missed. Returns the process status: 0 unless the command line was wrong (a missed goal
// is a figure to read, not a failure of the program).
// repetitions: how often each benchmark runs unless the command line says otherwise.
inline int runWithGoals(int argc, char** argv, const std::vector<Goal>& goals,
                        int repetitions = 5) {
    std::vector<char*> args(argv, argv + argc);
    bool repetitionsGiven = false;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0) repetitionsGiven = true;
    // Repetitions of the benchmarks interleave in random order, so that a machine whose load
    // drifts weighs on both sides of a ratio alike.
    std::string repeat = "--benchmark_repetitions=" + std::to_string(repetitions);
    static char kAggregates[] = "--benchmark_display_aggregates_only=true";
    static char kInterleave[] = "--benchmark_enable_random_interleaving=true";
    if (!repetitionsGiven) {
        args.push_back(repeat.data());
        args.push_back(kAggregates);
        args.push_back(kInterleave);
    }
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    goals_detail::Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    bool header = false;
    for (const auto& goal : goals) {
        const double value = collector.value(goal.figure);
        const double base = goal.over ? collector.value(*goal.over) : 1.0;
        if (std::isnan(value) || std::isnan(base) || base <= 0) continue;
        if (!header) {
            std::printf("\nGoals (medians):\n");
            header = true;
        }
        const double result = value / base;
        const bool met = result <= goal.atMost;
        if (std::isnan(goal.atMost)) {
            std::printf("  ratio %6.3f  (for comparison)       %s\n", result, goal.what.c_str());
        } else if (goal.over) {
            std::printf("  ratio %6.3f  (goal <= %.2f)  %-6s %s\n", result, goal.atMost,
                        met ? "met" : "MISSED", goal.what.c_str());
        } else {
            std::printf("  %8.3f %-4s (goal <= %g %s)  %-6s %s\n",
                        goals_detail::scaled(result, goal.unit), goal.unit.c_str(),
                        goals_detail::scaled(goal.atMost, goal.unit), goal.unit.c_str(),
                        met ? "met" : "MISSED", goal.what.c_str());
        }
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace telvo::bench
