#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace telvo {

// A dictionary whose every access runs under its own recursive mutex.
template <class Key, class T, class Compare = std::less<Key>>
class QKSafeMutableDictionary {
  public:
    // nullopt when the key is absent.
    std::optional<T> objectForKey(const Key& key) const {
        std::lock_guard lock(mutex_);
        auto it = items_.find(key);
        if (it == items_.end()) return std::nullopt;
        return it->second;
    }
    void setObject(T object, const Key& key) {
        std::lock_guard lock(mutex_);
        items_.insert_or_assign(key, std::move(object));
    }
    void removeObjectForKey(const Key& key) {
        std::lock_guard lock(mutex_);
        items_.erase(key);
    }
    // Removes the object and returns it, in one step; nullopt when the key is absent.
    std::optional<T> takeObjectForKey(const Key& key) {
        std::lock_guard lock(mutex_);
        auto it = items_.find(key);
        if (it == items_.end()) return std::nullopt;
        T object = std::move(it->second);
        items_.erase(it);
        return object;
    }
    std::vector<Key> allKeys() const {
        std::lock_guard lock(mutex_);
        std::vector<Key> keys;
        for (const auto& item : items_) keys.push_back(item.first);
        return keys;
    }
    size_t count() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

  private:
    mutable std::recursive_mutex mutex_;
    std::map<Key, T, Compare> items_;
};

}  // namespace telvo
