#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"
#include "telvosdk/Export.h"

namespace telvo {

// The library's one-shot timer: a handle the app can keep or drop, not use.
class QKTimer;

// A request record with a text tag: the request's bytes, its completion and a one-shot time-out
// timer. Nothing in the library creates or uses one; it is there for an app that keeps its own
// requests. Every setter keeps its own copy of what it is given.
//
// Not thread-safe: use an item from one thread at a time. A timer's block runs on the main
// queue, never inside the call that starts the timer.
class TELVO_EXPORT QKTcpSocketTaskItem {
  public:
    // The request's result: an error (the shared success error when it went well) and the reply
    // frame's bytes.
    using Completion = std::function<void(const ErrorPtr& error, const Bytes& reply)>;
    using TimerBlock = std::function<void()>;

    // retryCount 1, everything else empty.
    QKTcpSocketTaskItem();
    ~QKTcpSocketTaskItem();
    QKTcpSocketTaskItem(const QKTcpSocketTaskItem&) = delete;
    QKTcpSocketTaskItem& operator=(const QKTcpSocketTaskItem&) = delete;

    // A new item (retryCount 1) with the tag, the bytes and the completion.
    static std::shared_ptr<QKTcpSocketTaskItem> itemWithTagId(std::string tagId, Bytes data,
                                                              Completion block);

    // Starts a one-shot timer that runs block on the main queue after interval seconds unless
    // released first, and keeps it in timer(). A timer started before is replaced here but not
    // cancelled: it still fires.
    void startTimerWithIntervel(double interval, TimerBlock block);
    // The same with 10 seconds.
    void startTimerWithBlock(TimerBlock block);
    // Cancels the kept timer (its block will not run) and drops it.
    void releaseTimer();

    int32_t retryCount() const { return retryCount_; }
    void setRetryCount(int32_t count) { retryCount_ = count; }
    const std::string& tagId() const { return tagId_; }
    void setTagId(std::string tagId) { tagId_ = std::move(tagId); }
    const Bytes& data() const { return data_; }
    void setData(Bytes data) { data_ = std::move(data); }
    const Completion& transportCompetion() const { return transportCompetion_; }
    void setTransportCompetion(Completion block) { transportCompetion_ = std::move(block); }
    // Kept for the app; the item itself never reads them.
    double interval() const { return interval_; }
    void setInterval(double interval) { interval_ = interval; }
    const TimerBlock& timeoutBlock() const { return timeoutBlock_; }
    void setTimeoutBlock(TimerBlock block) { timeoutBlock_ = std::move(block); }
    // The running timer, or null.
    const std::shared_ptr<QKTimer>& timer() const { return timer_; }
    void setTimer(std::shared_ptr<QKTimer> timer) { timer_ = std::move(timer); }

  private:
    int32_t retryCount_ = 1;
    std::string tagId_;
    Bytes data_;
    Completion transportCompetion_;
    double interval_ = 0;
    TimerBlock timeoutBlock_;
    std::shared_ptr<QKTimer> timer_;
};

}  // namespace telvo
