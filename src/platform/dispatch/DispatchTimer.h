#pragma once

#include <cstdint>
#include <memory>

#include "platform/dispatch/DispatchQueue.h"

namespace telvo {

// A timer that runs its handler on a queue: one-shot or repeating, re-armable, pausable with
// the remaining time kept, cancellable. Times are on the library clock (Clock::shared()).
//
// While armed the timer is held by the dispatch runtime, so a timer that is never cancelled
// keeps firing even when its owner drops it (as a scheduled platform timer does); cancel()
// ends that. The handler runs on the queue, never inline in a call to this class. A fire that
// is already on its way to the queue is dropped when the timer is cancelled, re-armed or
// paused before the handler starts. A repeating timer whose handler has not run yet does not
// queue a second fire. All members are thread-safe.
class DispatchTimer : public std::enable_shared_from_this<DispatchTimer> {
  public:
    // An idle timer; nothing fires until start().
    static std::shared_ptr<DispatchTimer> create(DispatchQueuePtr queue, DispatchBlock handler);

    // Arms (or re-arms) the timer to fire delay seconds from now, then every interval seconds
    // when interval > 0 (0: one-shot). A negative or zero delay fires at once.
    void start(double delaySeconds, double intervalSeconds = 0);
    // Moves the next fire to delay seconds from now, keeping the interval (a fire date change).
    // Also re-arms a paused or fired timer.
    void rearm(double delaySeconds);
    // Stops the countdown and keeps the time left; only an armed timer pauses.
    void pause();
    // Continues a paused timer with the time left; only a paused timer resumes.
    void resume();
    // Stops the timer for good and releases the handler at once (outside any lock).
    void cancel();

    bool isCancelled() const;
    bool isArmed() const;
    bool isPaused() const;
    // Seconds until the next fire (armed), the time kept (paused), else 0.
    double remaining() const;

    ~DispatchTimer();

  private:
    friend class DispatchRuntime;
    enum class State { Idle, Armed, Paused, Cancelled };

    DispatchTimer(DispatchQueuePtr queue, DispatchBlock handler);
    void armLocked(int64_t deadline);
    void disarmLocked();
    void invoke(uint64_t generation);

    const DispatchQueuePtr queue_;
    // The fields below are guarded by the runtime's timer lock.
    std::shared_ptr<DispatchBlock> handler_;
    State state_ = State::Idle;
    int64_t deadline_ = 0;
    int64_t interval_ = 0;
    int64_t kept_ = 0;
    uint64_t key_ = 0;  // position among timers due at the same time; 0 when not queued
    uint64_t generation_ = 0;
    bool firePending_ = false;
    uint64_t pendingGeneration_ = 0;
};

}  // namespace telvo
