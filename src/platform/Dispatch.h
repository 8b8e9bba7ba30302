#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/Clock.h"

namespace telvo {

// Process-wide control of the dispatch runtime (queues, timers, sources, main loop).
//
// Threaded mode (the default): queues other than the main queue run on a pool of worker
// threads; timers and descriptor sources are watched by one reactor thread; the main queue
// runs wherever MainLoop runs.
//
// Deterministic mode (tests): every queue runs on the thread that called
// enableDeterministicMode() (the loop thread), inside MainLoop::runUntil/run/drain; the clock
// is a ManualClock. When no block is ready, no due timer waits and no watched descriptor is
// ready, the loop moves the clock straight to the next timer. Real (loopback) sockets work:
// watched descriptors are polled before time moves. Work that runs outside the loop (another
// thread) registers itself with beginOutsideWork(); while any is in flight the clock stands
// still and the loop waits for it (really) instead of moving time.
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
        std::string what_;
        std::atomic<bool> done_{false};
    };
    static std::shared_ptr<OutsideWork> beginOutsideWork(std::string what);
    static int outsideWorkInFlight();

    // Deterministic mode: real time the loop waits for loopback traffic to settle on watched
    // descriptors before it moves the clock (default 200 microseconds; 0 disables).
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
