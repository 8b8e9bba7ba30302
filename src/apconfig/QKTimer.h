#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace telvo {

class DispatchTimer;

// A one-shot, cancellable timer that runs its block on the main queue.
//
// Each excute() schedules one firing after `delay` seconds; the firing runs the block if the
// timer is still valid. A scheduled firing holds the timer, so a started timer lives until it
// has fired or been cancelled even when nobody else keeps it. cancel() may come from any
// thread; the block never runs after cancel() has returned (unless it is already running).
class QKTimer : public std::enable_shared_from_this<QKTimer> {
  public:
    using Block = std::function<void()>;

    // A new valid timer, started at once.
    static std::shared_ptr<QKTimer> timerWithBlock(Block block, double delay);

    QKTimer() = default;
    ~QKTimer();
    QKTimer(const QKTimer&) = delete;
    QKTimer& operator=(const QKTimer&) = delete;

    // Schedules one more firing after delay() seconds (truncated to whole nanoseconds).
    void excute();
    // valid() becomes false and the block is dropped; firings still scheduled do nothing.
    void cancel();

    bool valid() const;
    double delay() const;
    void setDelay(double delay);
    void setBlock(Block block);

  private:
    void fire(const DispatchTimer* firing);

    mutable std::mutex mutex_;
    bool valid_ = false;
    double delay_ = 0;
    Block block_;
    std::vector<std::shared_ptr<DispatchTimer>> firings_;
};

}  // namespace telvo
