#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/dispatch/DispatchQueue.h"

namespace telvo {

// A read or write source on a file descriptor (dispatch_source of type read or write).
//
// - Created suspended (suspend count 1); resume() lowers the count, suspend() raises it. The
//   event handler can run only at count 0. A resume at count 0 is ignored.
// - Level-triggered: while the descriptor stays readable (writable) the handler runs again,
//   one run at a time; no second run is queued while one is on its way or running.
// - In the event handler, data() is the number of bytes waiting to be read (FIONREAD) for a
//   read source: 0 for an empty datagram or the end of a stream. For a write source it is 0.
// - Handlers run on the source's queue, never inline in a call to this class.
// - cancel() stops events and releases the event handler. The cancel handler runs once, on
//   the queue, when the source is cancelled and not suspended (a suspended source runs its
//   cancel handler only once resumed, as dispatch does).
// - The descriptor: closing it is safe once the source's cancel handler has run (that run
//   comes after any run of the event handler on a serial queue, and the reactor no longer
//   watches a cancelled source), never right after cancel(), while a handler may still be on
//   its way and the reactor may still poll the number. A source that owns its descriptor
//   closes it itself at that moment: one made with Descriptor::Owned, by createPair(), or
//   handed it by cancelAndClose(). If the cancel handler never runs (the source was never
//   resumed), the descriptor is closed when the cancelled source is released. A borrowed
//   descriptor (the default) is never closed by the source; use that only where the
//   descriptor outlives the source (a connect source whose socket carries on).
// All members are thread-safe. The runtime holds the source until it is cancelled.
class DispatchSource : public std::enable_shared_from_this<DispatchSource> {
  public:
    enum class Kind { Read, Write };
    enum class Descriptor { Borrowed, Owned };

    static std::shared_ptr<DispatchSource> create(Kind kind, int fd, DispatchQueuePtr queue,
                                                  Descriptor descriptor = Descriptor::Borrowed);

    struct Pair {
        std::shared_ptr<DispatchSource> read;
        std::shared_ptr<DispatchSource> write;
    };
    // A read and a write source on fd sharing its ownership: the descriptor is closed once
    // both have been cancelled and both cancel handlers (if any) have run, or once both are
    // cancelled and the last reference to either is gone.
    static Pair createPair(int fd, DispatchQueuePtr queue);

    void setEventHandler(DispatchBlock handler);
    void setCancelHandler(DispatchBlock handler);
    void resume();
    void suspend();
    void cancel();
    // cancel(), and the source takes the descriptor over as an owning source holds it (no-op
    // after a cancel).
    void cancelAndClose();

    bool isCancelled() const;
    bool isSuspended() const;
    unsigned long data() const { return data_.load(); }
    int fd() const { return fd_; }
    Kind kind() const { return kind_; }

    ~DispatchSource();

  private:
    friend class DispatchRuntime;
    struct Closer;

    DispatchSource(Kind kind, int fd, DispatchQueuePtr queue);
    bool watchedLocked() const;
    void deliverCancelLocked();
    void invokeEvent();
    void invokeCancel();

    const Kind kind_;
    const int fd_;
    const DispatchQueuePtr queue_;
    std::atomic<unsigned long> data_{0};
    // Guarded by the runtime's source lock.
    std::shared_ptr<DispatchBlock> eventHandler_;
    std::shared_ptr<DispatchBlock> cancelHandler_;
    std::shared_ptr<Closer> closer_;
    int suspendCount_ = 1;
    bool cancelled_ = false;
    bool cancelDelivered_ = false;
    bool eventPending_ = false;
};

}  // namespace telvo
