#include "platform/dispatch/Clock.h"

#include <atomic>
#include <climits>
#include <cmath>
#include <ctime>
#include <utility>

#include "platform/base/Singleton.h"

namespace telvo {

namespace {

// Never destroyed: dispatch threads read the clock while the process exits.
std::mutex& sharedMutex() {
    return processWide([] { return new std::mutex(); });
}

std::shared_ptr<Clock>& sharedClock() {
    return processWide([] { return new std::shared_ptr<Clock>(std::make_shared<SystemClock>()); });
}

int64_t readClock(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Bumped (under the mutex) whenever the slot changes: a thread keeps its own copy of the
// clock until then, so that reading the time takes no lock.
std::atomic<uint64_t> gSlotGeneration{1};

// The thread's own copy of the shared clock, renewed when the slot has changed.
const std::shared_ptr<Clock>& threadCopy() {
    thread_local uint64_t seen = 0;
    thread_local std::shared_ptr<Clock> copy;
    if (seen != gSlotGeneration.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(sharedMutex());
        copy = sharedClock();
        seen = gSlotGeneration.load(std::memory_order_relaxed);
    }
    return copy;
}

}  // namespace

std::shared_ptr<Clock> Clock::shared() {
    return threadCopy();
}

Clock& Clock::current() {
    return *threadCopy();
}

void Clock::setShared(std::shared_ptr<Clock> clock) {
    if (!clock) clock = std::make_shared<SystemClock>();
    std::shared_ptr<Clock> old;
    {
        std::lock_guard<std::mutex> lock(sharedMutex());
        old = std::exchange(sharedClock(), std::move(clock));
        gSlotGeneration.fetch_add(1, std::memory_order_release);
    }
}

double Clock::now() {
    return double(shared()->monotonicNanos()) / 1e9;
}

double Clock::wallTime() {
    return double(shared()->wallNanos()) / 1e9;
}

int64_t Clock::wallMillis() {
    const int64_t nanos = shared()->wallNanos();
    const int64_t millis = nanos / 1000000;
    return nanos % 1000000 < 0 ? millis - 1 : millis;
}

std::tm Clock::localTime(double wallSeconds) {
    return localTime(*shared(), wallSeconds);
}

std::tm Clock::localTime(Clock& clock, double wallSeconds) {
    // Callers ask for the same second many times in a row (a frame's time stamp).
    thread_local time_t lastShifted = 0;
    thread_local std::tm last{};
    thread_local bool valid = false;
    auto whole = int64_t(std::floor(wallSeconds));
    time_t shifted = time_t(whole + clock.utcOffsetSeconds(whole));
    if (!valid || shifted != lastShifted) {
        gmtime_r(&shifted, &last);
        lastShifted = shifted;
        valid = true;
    }
    return last;
}

int64_t Clock::secondsToNanos(double seconds) {
    if (!(seconds > 0)) return 0;               // negative and NaN
    if (seconds > 9.0e9) return INT64_MAX / 4;  // about 73 years: "never"
    return std::llround(seconds * 1e9);
}

int64_t SystemClock::monotonicNanos() {
    return readClock(CLOCK_MONOTONIC);
}

int64_t SystemClock::wallNanos() {
    return readClock(CLOCK_REALTIME);
}

int32_t SystemClock::utcOffsetSeconds(int64_t wallSeconds) {
    // The zone's rules are looked up once per second asked for and thread.
    thread_local int64_t lastSecond = INT64_MIN;
    thread_local int32_t lastOffset = 0;
    if (wallSeconds != lastSecond) {
        time_t t = time_t(wallSeconds);
        std::tm local{};
        localtime_r(&t, &local);
        lastOffset = int32_t(local.tm_gmtoff);
        lastSecond = wallSeconds;
    }
    return lastOffset;
}

ManualClock::ManualClock(int64_t wallStartNanos) : wallAtZero_(wallStartNanos) {}

int64_t ManualClock::monotonicNanos() {
    std::lock_guard<std::mutex> lock(mutex_);
    return mono_;
}

int64_t ManualClock::wallNanos() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wallAtZero_ + mono_;
}

int32_t ManualClock::utcOffsetSeconds(int64_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    return offset_;
}

void ManualClock::advance(double seconds) {
    advanceNanos(secondsToNanos(seconds));
}

void ManualClock::advanceNanos(int64_t nanos) {
    if (nanos <= 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    mono_ += nanos;
}

void ManualClock::advanceTo(int64_t monotonicNanos) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (monotonicNanos > mono_) mono_ = monotonicNanos;
}

void ManualClock::setWallNanos(int64_t wallNanos) {
    std::lock_guard<std::mutex> lock(mutex_);
    wallAtZero_ = wallNanos - mono_;
}

void ManualClock::setUtcOffsetSeconds(int32_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    offset_ = offset;
}

}  // namespace telvo
