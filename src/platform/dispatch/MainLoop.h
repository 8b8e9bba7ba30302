#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/dispatch/DispatchQueue.h"

namespace telvo {

// The main loop: runs the main queue (DispatchQueue::main()) and, in deterministic mode,
// every queue, timer and descriptor source of the process. Either the host drives it from its
// own thread (run, runUntil) or the library runs it on a thread of its own (startThread).
// The thread that runs it is "the main thread"; a second thread that tries to run it while it
// runs aborts the process. A block may run the loop again (a nested run): blocks of a queue
// with a block on the stack then wait for it to return (Dispatch.h has the whole contract).
class MainLoop {
  public:
    // Runs until stop(). In deterministic mode it also returns when nothing can happen any
    // more (no block ready, no armed timer, no outside work in flight).
    static void run();
    // Runs until the predicate holds (checked before each block) or the time-out (seconds on
    // the library clock; virtual time in deterministic mode) has passed; answers the
    // predicate's last value. In deterministic mode a time-out that passes without the
    // predicate holding leaves the clock at exactly now + timeout.
    static bool runUntil(const std::function<bool()>& predicate, double timeoutSeconds);
    // Runs for the given time (virtual in deterministic mode).
    static void runFor(double seconds) {
        runUntil([] { return false; }, seconds);
    }
    // Runs every block that is ready now, without letting time pass (deterministic mode), or
    // every main-queue block already submitted (threaded mode).
    static void drain();
    // Makes run() return (from any thread).
    static void stop();

    // The library runs the loop on a thread of its own ("telvo.main") until stopThread().
    static void startThread();
    static void stopThread();

    // True on the thread that runs (or last ran) the main loop.
    static bool isMainThread();

    // Delayed calls on the main loop (performSelector:afterDelay: and
    // cancelPreviousPerformRequestsWithTarget:). The block runs once on the main queue after
    // the delay unless a cancel naming its target (and name) comes first. target is an
    // identity only (usually `this`); it is never dereferenced. The block is held until it has
    // run or been cancelled; a cancel releases it at once. Thread-safe.
    static void performAfterDelay(const void* target, std::string name, double delaySeconds,
                                  DispatchBlock block);
    static void cancelPreviousPerformRequests(const void* target);
    static void cancelPreviousPerformRequests(const void* target, std::string_view name);
    // Delayed calls still pending for the target (and name); tests and diagnostics.
    static size_t pendingPerformRequests(const void* target, std::string_view name = {});
};

}  // namespace telvo
