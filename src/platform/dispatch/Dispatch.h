#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/dispatch/Clock.h"

namespace telvo {

// Process-wide control of the dispatch runtime (queues, timers, sources, main loop).
//
// Threaded mode (the default): queues other than the main queue run on a pool of worker
// threads; timers and descriptor sources are watched by one reactor thread; the main queue
// runs wherever MainLoop runs. The pool starts a thread whenever a block waits and no thread
// is idle (a block that blocks never holds back another); idle threads end after a while, and
// the runtime joins its threads at process exit.
//
// Deterministic mode (tests): every queue runs on the thread that called
// enableDeterministicMode() (the loop thread), inside MainLoop::runUntil/run/drain; the clock
// is a ManualClock. Time moves only when nothing can happen at the current instant:
// - Blocks: every runnable block runs before time moves.
// - Nested runs: a block may run the loop again (MainLoop::runUntil, a timed Semaphore wait).
//   The nested run runs blocks, timers and sources as usual, except that a queue with a block
//   on the loop thread's stack starts no further block until that block returns; a nested run
//   waiting for such a block ends by its time-out. Only one thread runs the loop: a second
//   runner aborts the process with a message.
// - Ready sources: watched descriptors are polled before time moves, so loopback traffic sent
//   by a block is seen at the instant it was sent. A ready source holds time only while its
//   handlers make progress: once eight looks in a row at one instant find the same sources
//   ready with the same bytes queued (an idle writable socket, an unread end of stream), time
//   moves on, and those handlers run again at later instants. Time-outs still fire.
// - Outside work: work on another thread registers itself with beginOutsideWork(); while any
//   is in flight the clock stands still and the loop waits for it in real time. A result it
//   hands to a queue before finish() runs before time moves (the decision to move time and
//   the handing-in are serialised). A wait in which no registered work finishes or hands
//   anything in for setOutsideWorkTimeLimit() seconds of real time (default 30) aborts the
//   process, naming the work in flight.
class Dispatch {
  public:
    // Switches to deterministic mode on the calling thread with a fresh ManualClock (also
    // installed as Clock::shared()). Call while no work is in flight (test set-up).
    static std::shared_ptr<ManualClock> enableDeterministicMode();
    // Back to threaded mode and the system clock; drops every pending block, timer and
    // source of the deterministic run.
    static void disableDeterministicMode();
    static bool isDeterministic();
    // The manual clock of deterministic mode (nullptr in threaded mode).
    static std::shared_ptr<ManualClock> manualClock();

    // A registration of outside work; the work ends when finish() is called or the last
    // reference is dropped. Hand the result to a queue before ending the work, so that the
    // result is seen before time moves on.
    class OutsideWork {
      public:
        ~OutsideWork();
        void finish();
        OutsideWork(const OutsideWork&) = delete;
        OutsideWork& operator=(const OutsideWork&) = delete;

      private:
        friend class Dispatch;
        explicit OutsideWork(std::string what);
        const uint64_t id_;
        std::atomic<bool> done_{false};
    };
    // what names the work in failures ("HTTP GET /v1/device", "fake cloud").
    static std::shared_ptr<OutsideWork> beginOutsideWork(std::string what);
    static int outsideWorkInFlight();
    // Deterministic mode: the longest real-time wait for outside work that neither finishes
    // nor hands anything in (default 30 seconds).
    static void setOutsideWorkTimeLimit(double seconds);

    // Deterministic mode, diagnostic only (default 0, off): before time moves, the loop waits
    // this long in real time for a watched descriptor to become ready and logs when one does;
    // such data comes from work that is not registered as outside work.
    static void setSettleMicros(int micros);
};

// RAII helper for test fixtures: deterministic mode for its lifetime.
class DeterministicDispatch {
  public:
    DeterministicDispatch() : clock_(Dispatch::enableDeterministicMode()) {}
    ~DeterministicDispatch() { Dispatch::disableDeterministicMode(); }
    ManualClock& clock() { return *clock_; }
    DeterministicDispatch(const DeterministicDispatch&) = delete;
    DeterministicDispatch& operator=(const DeterministicDispatch&) = delete;

  private:
    std::shared_ptr<ManualClock> clock_;
};

}  // namespace telvo
