#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/dispatch/DispatchTask.h"

namespace telvo {

using DispatchBlock = std::function<void()>;

class DispatchQueue;
using DispatchQueuePtr = std::shared_ptr<DispatchQueue>;

enum class DispatchQoS { Default, Background };

// Our Grand Central Dispatch queue. Serial queues run one block at a time in submission order;
// concurrent queues run blocks in parallel, except barrier blocks, which wait for every earlier
// block and hold back every later one. The main queue is serial and runs on the main loop
// (MainLoop). In deterministic mode (Dispatch.h) every queue runs on the test's thread.
//
// A queue holds its pending blocks strongly and is kept alive by them. All members are
// thread-safe.
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
  public:
    static DispatchQueuePtr createSerial(std::string label);
    static DispatchQueuePtr createConcurrent(std::string label);
    // The queue of the main loop.
    static DispatchQueuePtr main();
    // Process-wide concurrent queues.
    static DispatchQueuePtr global(DispatchQoS qos = DispatchQoS::Default);

    const std::string& label() const { return label_; }
    bool isSerial() const { return width_ == 1; }
    bool isMain() const { return isMain_; }

    // Runs the block later on this queue; never runs it before returning. Any callable is
    // taken (small ones without a heap allocation of their own).
    void async(DispatchTask block);
    // Runs the block on this queue and returns when it has run. When the caller already runs
    // on this queue (anywhere up its call stack), the block runs at once, inline: a sync onto
    // the current queue never deadlocks. On the main queue the block runs on the main loop's
    // thread; elsewhere it runs on the calling thread while the queue is held for it.
    void sync(const DispatchBlock& block);
    // Barrier forms: on a serial queue the same as async/sync.
    void barrierAsync(DispatchTask block);
    void barrierSync(const DispatchBlock& block);
    // Runs the block on this queue after the delay (seconds, on the library clock). Not
    // cancellable; use DispatchTimer or MainLoop::performAfterDelay for that.
    void after(double seconds, DispatchBlock block);

    // sync() with a result.
    template <class F>
    auto syncResult(F&& f) -> std::invoke_result_t<F&> {
        using R = std::invoke_result_t<F&>;
        if constexpr (std::is_void_v<R>) {
            sync(f);
        } else {
            std::optional<R> out;
            sync([&] { out.emplace(f()); });
            return std::move(*out);
        }
    }

    // True while the calling code runs on this queue (in a block of it, or inline in sync).
    bool isCurrent() const;
    // The innermost queue the calling code runs on; nullptr on a plain thread.
    static DispatchQueuePtr current();

    // Queue-specific data (dispatch_queue_set_specific). The context is held strongly until
    // replaced or the queue is destroyed; nullptr removes the key.
    void setSpecific(const void* key, std::shared_ptr<void> context);
    void* getSpecificOf(const void* key) const;
    // The value for key of the innermost queue the caller runs on (dispatch_get_specific).
    static void* getSpecific(const void* key);

    // Number of blocks submitted and not yet started (diagnostics and tests).
    size_t pendingCount() const;

    ~DispatchQueue();

  private:
    friend class DispatchRuntime;
    friend class OperationQueue;
    struct Item {
        DispatchTask block;
        uint64_t seq = 0;
        bool barrier = false;
        struct Gate* gate = nullptr;
    };

    DispatchQueue(std::string label, int width, bool isMain);
    static DispatchQueuePtr make(std::string label, int width, bool isMain);

    void submit(DispatchTask&& block, bool barrier);
    void syncImpl(const DispatchBlock& block, bool barrier);
    // Threaded mode: starts whatever may start now (called with mutex_ held; fills out). A
    // vector: a serial queue's usual none or one item costs no allocation beyond the item's.
    void pumpLocked(std::vector<Item>& out);
    void start(std::vector<Item>& items);
    void finished(bool barrier);
    void runItem(Item& item);
    // Deterministic mode: runs the block with sequence number seq if it is still the first.
    void runDeterministic(uint64_t seq);
    // Deterministic mode, on the loop thread: runs the pending blocks submitted before the
    // sequence number `before` now, in order.
    void drainDeterministic(uint64_t before);
    void setWidth(int width);

    const std::string label_;
    std::atomic<int> width_;
    const bool isMain_;
    mutable std::mutex mutex_;
    std::deque<Item> pending_;
    int running_ = 0;
    bool barrierRunning_ = false;
    uint64_t nextSeq_ = 1;
    std::map<const void*, std::shared_ptr<void>> specifics_;
};

}  // namespace telvo
