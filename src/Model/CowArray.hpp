#pragma once

#include <atomic>
#include <initializer_list>
#include <memory>
#include <vector>

#include "Hashing.hpp"

namespace osterveil {

// A small list with value semantics whose copies share one buffer until one of them writes, like a
// `std::vector` that copies lazily. Keyframes and curve points live in these, so that copying a clip
// costs reference counts rather than allocations; an empty list allocates nothing.
//
// Non-const access (operator[], begin/end, push_back, mutVec) detaches the buffer first.
template <class T> class CowArray {
public:
    using value_type = T;
    using size_type = std::size_t;
    using const_iterator = typename std::vector<T>::const_iterator;
    using iterator = typename std::vector<T>::iterator;

    CowArray() = default;
    CowArray(std::initializer_list<T> items) { assignVector(std::vector<T>(items)); }
    CowArray(const std::vector<T>& items) { assignVector(items); } // NOLINT: implicit by design
    CowArray(std::vector<T>&& items) { assignVector(std::move(items)); } // NOLINT
    template <class It> CowArray(It first, It last) { assignVector(std::vector<T>(first, last)); }

    const std::vector<T>& vec() const { return d_ ? *d_ : noElements(); }
    operator const std::vector<T>&() const { return vec(); } // NOLINT: reads as a vector

    size_type size() const { return d_ ? d_->size() : 0; }
    bool empty() const { return size() == 0; }
    const T& operator[](size_type i) const { return (*d_)[i]; }
    const T& at(size_type i) const { return vec().at(i); }
    const T& front() const { return d_->front(); }
    const T& back() const { return d_->back(); }
    const_iterator begin() const { return vec().begin(); }
    const_iterator end() const { return vec().end(); }
    const_iterator cbegin() const { return vec().begin(); }
    const_iterator cend() const { return vec().end(); }

    std::vector<T>& mutVec() {
        if (!d_) d_ = std::make_shared<std::vector<T>>();
        else if (d_.use_count() > 1) d_ = std::make_shared<std::vector<T>>(*d_);
        else std::atomic_thread_fence(std::memory_order_acquire);
        return *d_;
    }
    T& operator[](size_type i) { return mutVec()[i]; }
    T& front() { return mutVec().front(); }
    T& back() { return mutVec().back(); }
    iterator begin() { return mutVec().begin(); }
    iterator end() { return mutVec().end(); }
    void push_back(T v) { mutVec().push_back(std::move(v)); }
    template <class... Args> T& emplace_back(Args&&... args) {
        return mutVec().emplace_back(std::forward<Args>(args)...);
    }
    void clear() { d_.reset(); }

    friend bool operator==(const CowArray& a, const CowArray& b) { return a.vec() == b.vec(); }
    std::size_t hashValue() const { return hashing::one(vec()); }

private:
    static const std::vector<T>& noElements() {
        static const std::vector<T> none;
        return none;
    }
    void assignVector(std::vector<T> v) {
        if (v.empty()) d_.reset();
        else d_ = std::make_shared<std::vector<T>>(std::move(v));
    }

    std::shared_ptr<std::vector<T>> d_;
};

} // namespace osterveil
