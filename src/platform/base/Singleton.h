#pragma once

#include <memory>
#include <mutex>

namespace telvo {

// The one way the library makes a process-wide object: created on first use, exactly once and
// thread-safely, and never destroyed. Worker threads, the reactor and the library's main
// thread may still run during process exit, so no shared object is torn down under them.
// Each call site is its own object (the factory's type names it):
//
//     Registry& Registry::shared() { return processWide([] { return new Registry(); }); }
//
// Test-only resets clear an object's contents; they never replace the object.
template <class Make>
auto& processWide(Make make) {
    static auto* object = make();
    return *object;
}

// The process-wide slot of a shared instance that tests may drop or replace (the
// `sharedXxx`/`shareInstance` accessors): get() makes the instance on first use, exchange()
// swaps it and hands the old one back to be released outside the lock. Thread-safe.
template <class T>
class SharedInstance {
  public:
    template <class Make>
    std::shared_ptr<T> get(Make make) {
        std::lock_guard lock(mutex_);
        if (!instance_) instance_ = make();
        return instance_;
    }
    std::shared_ptr<T> peek() {
        std::lock_guard lock(mutex_);
        return instance_;
    }
    std::shared_ptr<T> exchange(std::shared_ptr<T> next = nullptr) {
        std::lock_guard lock(mutex_);
        instance_.swap(next);
        return next;
    }

  private:
    std::mutex mutex_;
    std::shared_ptr<T> instance_;
};

}  // namespace telvo
