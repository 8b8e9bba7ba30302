#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>

namespace telvo {

// The one clock of the library. Every delay, time-out and timer runs on monotonicNanos();
// every time stamp (log lines, file names, request dates) uses wallNanos() and the local time
// zone. Replaceable (tests, deterministic dispatch); all members are thread-safe.
class Clock {
  public:
    virtual ~Clock() = default;
    // Monotonic time in nanoseconds from an arbitrary origin; never goes back.
    virtual int64_t monotonicNanos() = 0;
    // Wall-clock time in nanoseconds since 1970-01-01 00:00:00 UTC.
    virtual int64_t wallNanos() = 0;
    // Offset of the local time zone from UTC, in seconds, at the given wall time (seconds).
    virtual int32_t utcOffsetSeconds(int64_t wallSeconds) = 0;

    static std::shared_ptr<Clock> shared();
    // The shared clock without a reference count taken: valid on this thread until it next
    // calls shared() or current() after a setShared.
    static Clock& current();
    // Installs a replacement; nullptr restores the system clock.
    static void setShared(std::shared_ptr<Clock> clock);

    // Conveniences on the shared clock.
    static double now();       // monotonic seconds
    static double wallTime();  // seconds since 1970 (NSDate's timeIntervalSince1970)
    // Whole milliseconds since 1970 (the fraction dropped), exact: no seconds in floating point.
    static int64_t wallMillis();
    // Broken-down local time of a wall time given in seconds since 1970.
    static std::tm localTime(double wallSeconds);
    // The same on the given clock (a caller that already holds one).
    static std::tm localTime(Clock& clock, double wallSeconds);
    static std::tm localTimeNow() { return localTime(wallTime()); }

    static int64_t secondsToNanos(double seconds);
};

// The operating system's clocks: CLOCK_MONOTONIC, CLOCK_REALTIME and the TZ of the process.
class SystemClock : public Clock {
  public:
    int64_t monotonicNanos() override;
    int64_t wallNanos() override;
    int32_t utcOffsetSeconds(int64_t wallSeconds) override;
};

// A clock that moves only when told to. Wall time moves along with monotonic time.
class ManualClock : public Clock {
  public:
    // Starts at monotonic 0 and the given wall time (default 2026-01-01 00:00:00 UTC), UTC.
    explicit ManualClock(int64_t wallStartNanos = 1767225600LL * 1000000000LL);

    int64_t monotonicNanos() override;
    int64_t wallNanos() override;
    int32_t utcOffsetSeconds(int64_t wallSeconds) override;

    void advance(double seconds);
    void advanceNanos(int64_t nanos);
    // Moves monotonic time to t; a t in the past is ignored (time never goes back).
    void advanceTo(int64_t monotonicNanos);
    void setWallNanos(int64_t wallNanos);
    void setUtcOffsetSeconds(int32_t offset);

  private:
    std::mutex mutex_;
    int64_t mono_ = 0;
    int64_t wallAtZero_;
    int32_t offset_ = 0;
};

}  // namespace telvo
