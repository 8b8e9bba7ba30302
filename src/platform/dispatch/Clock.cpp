#include "platform/dispatch/Clock.h"

#include <cmath>
#include <ctime>
#include <utility>

#include "platform/foundation/Singleton.h"

namespace telvo {

namespace {

// Never destroyed: dispatch threads read the clock while the process exits.
std::mutex& sharedMutex() {
    return processWide([] { return new std::mutex(); });
}

std::shared_ptr<Clock>& sharedSlot() {
    return processWide([] { return new std::shared_ptr<Clock>(std::make_shared<SystemClock>()); });
}

int64_t readClock(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

std::shared_ptr<Clock> Clock::shared() {
    std::lock_guard<std::mutex> lock(sharedMutex());
    return sharedSlot();
}

void Clock::setShared(std::shared_ptr<Clock> clock) {
    if (!clock) clock = std::make_shared<SystemClock>();
    std::shared_ptr<Clock> old;
    {
        std::lock_guard<std::mutex> lock(sharedMutex());
        old = std::exchange(sharedSlot(), std::move(clock));
    }
}

double Clock::now() {
    return double(shared()->monotonicNanos()) / 1e9;
}

double Clock::wallTime() {
    return double(shared()->wallNanos()) / 1e9;
}

std::tm Clock::localTime(double wallSeconds) {
    auto clock = shared();
    auto whole = int64_t(std::floor(wallSeconds));
    time_t shifted = time_t(whole + clock->utcOffsetSeconds(whole));
    std::tm out{};
    gmtime_r(&shifted, &out);
    return out;
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
    time_t t = time_t(wallSeconds);
    std::tm local{};
    localtime_r(&t, &local);
    return int32_t(local.tm_gmtoff);
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
