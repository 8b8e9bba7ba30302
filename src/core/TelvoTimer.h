#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace telvo {

class DispatchTimer;

// A one-shot timer that can be paused and continued. Its block runs once, on the main queue,
// delay seconds (on the library clock) after creation plus the time spent paused. The timer
// keeps itself alive while it is scheduled, as a scheduled platform timer does; cancel() (or
// the fire) ends that. All members are thread-safe.
class TelvoTimer : public std::enable_shared_from_this<TelvoTimer> {
  public:
    // Creates the timer, marks it valid and schedules it at once.
    static std::shared_ptr<TelvoTimer> timerWithBlock(std::function<void()> block, double delay);

    // Keeps the time left and stops the countdown; only a running timer pauses.
    void pause();
    // Counts down the time kept at pause; only a paused timer continues.
    void continueTimer();
    // Stops the timer for good and drops the block at once. The block never runs afterwards.
    void cancel();

    // YES from creation until it fires or is cancelled.
    bool isValid() const;

    TelvoTimer() = default;
    ~TelvoTimer();

  private:
    void fire();

    mutable std::mutex mutex_;
    std::shared_ptr<DispatchTimer> timer_;
    std::function<void()> block_;
    bool valid_ = false;
    bool paused_ = false;
};

}  // namespace telvo
