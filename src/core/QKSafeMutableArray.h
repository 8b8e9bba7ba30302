#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace telvo {

// An array whose every access holds its own recursive mutex, so a block called from a walk
// may touch the array again. Walks run over a copy taken under the lock: an element added or
// removed during a walk shows in the next one.
template <class T>
class QKSafeMutableArray {
  public:
    void addObject(T object) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(object));
    }
    // Removes every element equal to object (the same pointer, for shared pointers).
    void removeObject(const T& object) {
        std::lock_guard lock(mutex_);
        std::erase(items_, object);
    }
    size_t count() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }
    // nullopt when index is out of range.
    std::optional<T> objectAtIndex(size_t index) const {
        std::lock_guard lock(mutex_);
        if (index >= items_.size()) return std::nullopt;
        return items_[index];
    }
    // A copy of the elements, in order.
    std::vector<T> allObjects() const {
        std::lock_guard lock(mutex_);
        return items_;
    }
    // Calls block with each element and its index, in order, on the calling thread; setting
    // stop ends the walk.
    void enumerateObjectsUsingBlock(
        const std::function<void(const T&, size_t, bool& stop)>& block) const {
        std::lock_guard lock(mutex_);
        const std::vector<T> snapshot = items_;
        bool stop = false;
        for (size_t i = 0; i < snapshot.size() && !stop; ++i) block(snapshot[i], i, stop);
    }

  private:
    mutable std::recursive_mutex mutex_;
    std::vector<T> items_;
};

}  // namespace telvo
