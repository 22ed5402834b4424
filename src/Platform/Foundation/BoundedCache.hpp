#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace osterveil {

// A thread-safe map that keeps at most `countLimit` entries, evicting the least recently used.
// Like any cache it may lose an entry at any time, so callers must be able to make a value again.
template <class Key, class Value, class Hash = std::hash<Key>> class BoundedCache {
public:
    explicit BoundedCache(std::size_t countLimit) : limit_(countLimit == 0 ? 1 : countLimit) {}

    std::optional<Value> object(const Key& key) {
        std::lock_guard lock(mutex_);
        auto it = index_.find(key);
        if (it == index_.end()) return std::nullopt;
        order_.splice(order_.begin(), order_, it->second);
        return it->second->second;
    }

    void setObject(const Key& key, Value value) {
        std::lock_guard lock(mutex_);
        auto it = index_.find(key);
        if (it != index_.end()) {
            it->second->second = std::move(value);
            order_.splice(order_.begin(), order_, it->second);
            return;
        }
        order_.emplace_front(key, std::move(value));
        index_.emplace(key, order_.begin());
        while (order_.size() > limit_) {
            index_.erase(order_.back().first);
            order_.pop_back();
        }
    }

    void removeObject(const Key& key) {
        std::lock_guard lock(mutex_);
        auto it = index_.find(key);
        if (it == index_.end()) return;
        order_.erase(it->second);
        index_.erase(it);
    }

    void removeAll() {
        std::lock_guard lock(mutex_);
        index_.clear();
        order_.clear();
    }

    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return order_.size();
    }
    std::size_t countLimit() const { return limit_; }

private:
    std::size_t limit_;
    mutable std::mutex mutex_;
    std::list<std::pair<Key, Value>> order_;
    std::unordered_map<Key, typename std::list<std::pair<Key, Value>>::iterator, Hash> index_;
};

} // namespace osterveil
