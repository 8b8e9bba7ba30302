// The CPU time of every thread of the process but the fake cloud's, between start() and
// stop(): the process's CPU clock less what the threads named "fake-cloud" spent meanwhile
// (threads that ended in between count too). For the benchmarks of whole runs and of the
// URL session, whose work spreads over the library's threads.
#pragma once

#include <dirent.h>
#include <sys/types.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace telvo::bench {

// The calling thread's CPU time, in seconds.
inline double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Two paths timed side by side on the calling thread: each call runs a batch of each, in turn
// first, timing every batch on the thread's CPU clock, so that both see the same load.
class SideBySide {
  public:
    template <class Bare, class Path>
    void run(Bare bare, Path path) {
        for (bool bareTurn : {bareFirst_, !bareFirst_}) {
            const double start = threadCpuSeconds();
            if (bareTurn) {
                bare();
            } else {
                path();
            }
            (bareTurn ? bareSeconds : pathSeconds) += threadCpuSeconds() - start;
        }
        bareFirst_ = !bareFirst_;
    }
    double bareSeconds = 0, pathSeconds = 0;

  private:
    bool bareFirst_ = true;
};

class CpuMeter {
  public:
    void start() {
        excludedAtStart_ = excludedThreads();
        processAtStart_ = processCpu();
    }
    // Seconds since start().
    double stop() const {
        const double process = processCpu() - processAtStart_;
        double excluded = 0;
        for (const auto& [tid, seconds] : excludedThreads()) {
            auto before = excludedAtStart_.find(tid);
            excluded += seconds - (before == excludedAtStart_.end() ? 0.0 : before->second);
        }
        return process > excluded ? process - excluded : 0.0;
    }

  private:
    static double seconds(clockid_t clock) {
        timespec ts{};
        if (clock_gettime(clock, &ts) != 0) return 0;
        return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
    }
    static double processCpu() { return seconds(CLOCK_PROCESS_CPUTIME_ID); }
    // The CPU time of each live thread named "fake-cloud", by thread id. A thread's CPU clock
    // is the kernel's per-thread clock id for its thread id.
    static std::map<pid_t, double> excludedThreads() {
        std::map<pid_t, double> out;
        DIR* tasks = opendir("/proc/self/task");
        if (!tasks) return out;
        while (dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
            const std::string path = std::string("/proc/self/task/") + entry->d_name + "/comm";
            char name[32] = {};
            if (FILE* f = std::fopen(path.c_str(), "r")) {
                if (!std::fgets(name, sizeof name, f)) name[0] = 0;
                std::fclose(f);
            }
            if (std::strncmp(name, "fake-cloud", 10) != 0) continue;
            const pid_t tid = pid_t(std::atoi(entry->d_name));
            out[tid] = seconds(clockid_t((~unsigned(tid) << 3) | 6));  // CPUCLOCK_SCHED, per thread
        }
        closedir(tasks);
        return out;
    }

    double processAtStart_ = 0;
    std::map<pid_t, double> excludedAtStart_;
};

}  // namespace telvo::bench
