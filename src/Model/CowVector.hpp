#pragma once

#include <algorithm>
#include <atomic>
#include <compare>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <vector>

#include "Hashing.hpp"

namespace osterveil {

// A list with value semantics whose copies share storage until one of them writes.
//
// Sharing is two-level: the list of slots is shared between copies, and each element is shared
// between lists. Writing one element of a copied list therefore copies the slot pointers and that
// one element, never the other elements. Undo keeps whole project values, so this is what makes a
// copy-and-edit of a large project cheap.
//
// Reading goes through const access only (iteration always yields const references); writing is
// explicit (`mut`, `push_back`, `insert`, `erase`, ...), so a loop that only looks never detaches.
template <class T> class CowVector {
    using Slot = std::shared_ptr<T>;
    using Slots = std::vector<Slot>;

public:
    using value_type = T;
    using size_type = std::size_t;

    class const_iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using iterator_concept = std::random_access_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = const T*;
        using reference = const T&;

        const_iterator() = default;
        explicit const_iterator(typename Slots::const_iterator it) : it_(it) {}

        reference operator*() const { return **it_; }
        pointer operator->() const { return it_->get(); }
        reference operator[](difference_type n) const { return *it_[n]; }
        const_iterator& operator++() { ++it_; return *this; }
        const_iterator operator++(int) { auto t = *this; ++it_; return t; }
        const_iterator& operator--() { --it_; return *this; }
        const_iterator operator--(int) { auto t = *this; --it_; return t; }
        const_iterator& operator+=(difference_type n) { it_ += n; return *this; }
        const_iterator& operator-=(difference_type n) { it_ -= n; return *this; }
        friend const_iterator operator+(const_iterator a, difference_type n) { return a += n; }
        friend const_iterator operator+(difference_type n, const_iterator a) { return a += n; }
        friend const_iterator operator-(const_iterator a, difference_type n) { return a -= n; }
        friend difference_type operator-(const const_iterator& a, const const_iterator& b) { return a.it_ - b.it_; }
        friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.it_ == b.it_; }
        friend auto operator<=>(const const_iterator& a, const const_iterator& b) { return a.it_ <=> b.it_; }

    private:
        typename Slots::const_iterator it_{};
    };
    using iterator = const_iterator;

    CowVector() = default;
    CowVector(std::initializer_list<T> items) { assign(items.begin(), items.end()); }
    CowVector(const std::vector<T>& items) { assign(items.begin(), items.end()); } // NOLINT: implicit by design
    template <class It> CowVector(It first, It last) { assign(first, last); }

    // Reading.
    size_type size() const { return slots_ ? slots_->size() : 0; }
    bool empty() const { return size() == 0; }
    const T& operator[](size_type i) const { return *(*slots_)[i]; }
    const T& at(size_type i) const { return *slots_->at(i); }
    const T& front() const { return *slots_->front(); }
    const T& back() const { return *slots_->back(); }
    const_iterator begin() const { return slots_ ? const_iterator(slots_->cbegin()) : const_iterator(); }
    const_iterator end() const { return slots_ ? const_iterator(slots_->cend()) : const_iterator(); }
    std::vector<T> toVector() const { return std::vector<T>(begin(), end()); }

    // Writing: each detaches what it touches.
    T& mut(size_type i) {
        Slot& s = detachedSlots()[i];
        if (s.use_count() > 1) s = std::make_shared<T>(static_cast<const T&>(*s));
        else std::atomic_thread_fence(std::memory_order_acquire);
        return *s;
    }
    T& mutFront() { return mut(0); }
    T& mutBack() { return mut(size() - 1); }

    void push_back(T v) { detachedSlots().push_back(std::make_shared<T>(std::move(v))); }
    template <class... Args> T& emplace_back(Args&&... args) {
        return *detachedSlots().emplace_back(std::make_shared<T>(std::forward<Args>(args)...));
    }
    void insert(size_type index, T v) {
        auto& s = detachedSlots();
        s.insert(s.begin() + static_cast<std::ptrdiff_t>(index), std::make_shared<T>(std::move(v)));
    }
    void erase(size_type index) {
        auto& s = detachedSlots();
        s.erase(s.begin() + static_cast<std::ptrdiff_t>(index));
    }
    void erase(size_type first, size_type last) {
        auto& s = detachedSlots();
        s.erase(s.begin() + static_cast<std::ptrdiff_t>(first), s.begin() + static_cast<std::ptrdiff_t>(last));
    }
    // Removes every element the predicate accepts; returns how many went.
    template <class Pred> size_type removeIf(Pred pred) {
        if (std::none_of(begin(), end(), pred)) return 0;
        auto& s = detachedSlots();
        auto it = std::remove_if(s.begin(), s.end(), [&](const Slot& p) { return pred(static_cast<const T&>(*p)); });
        size_type n = static_cast<size_type>(s.end() - it);
        s.erase(it, s.end());
        return n;
    }
    // Removes every element for which pred(index, element) holds; returns how many went.
    template <class Pred> size_type removeIfIndexed(Pred pred) {
        bool any = false;
        for (size_type i = 0; i < size() && !any; ++i) any = pred(i, (*this)[i]);
        if (!any) return 0;
        auto& s = detachedSlots();
        Slots kept;
        kept.reserve(s.size());
        for (size_type i = 0; i < s.size(); ++i)
            if (!pred(i, static_cast<const T&>(*s[i]))) kept.push_back(std::move(s[i]));
        const size_type n = s.size() - kept.size();
        s = std::move(kept);
        return n;
    }
    // Builds a new list from elements of this one (shared, not copied) and new elements.
    class Builder {
    public:
        void keep(size_type i) { out_.push_back(old_[i]); }
        void add(T v) { out_.push_back(std::make_shared<T>(std::move(v))); }
        size_type size() const { return out_.size(); }

    private:
        friend class CowVector;
        Builder(const Slots& old, Slots& out) : old_(old), out_(out) {}
        const Slots& old_;
        Slots& out_;
    };
    template <class F> void rebuild(F f) {
        static const Slots none;
        auto fresh = std::make_shared<Slots>();
        fresh->reserve(size());
        Builder b(slots_ ? *slots_ : none, *fresh);
        f(b);
        slots_ = std::move(fresh);
    }
    void set(size_type i, T v) { detachedSlots()[i] = std::make_shared<T>(std::move(v)); }
    void clear() { slots_.reset(); }
    void reserve(size_type n) { detachedSlots().reserve(n); }
    template <class It> void assign(It first, It last) {
        auto fresh = std::make_shared<Slots>();
        for (; first != last; ++first) fresh->push_back(std::make_shared<T>(*first));
        slots_ = std::move(fresh);
    }
    // Reorders elements without copying them; stable.
    template <class Less> void stableSort(Less less) {
        auto& s = detachedSlots();
        std::stable_sort(s.begin(), s.end(), [&](const Slot& a, const Slot& b) {
            return less(static_cast<const T&>(*a), static_cast<const T&>(*b));
        });
    }

    // Element-wise equality. No identity shortcut: a NaN inside must not compare equal to itself.
    friend bool operator==(const CowVector& a, const CowVector& b) {
        if (a.size() != b.size()) return false;
        return std::equal(a.begin(), a.end(), b.begin());
    }

    std::size_t hashValue() const {
        std::size_t seed = size();
        for (const auto& e : *this) seed = hashing::mix(seed, hashing::one(e));
        return seed;
    }

    // True when both lists share one storage (a copy that neither side has written to).
    bool sharesStorageWith(const CowVector& other) const { return slots_ && slots_ == other.slots_; }
    // True when element i of both lists is the same object.
    bool sharesElementWith(const CowVector& other, size_type i) const {
        return (*slots_)[i] == (*other.slots_)[i];
    }

private:
    Slots& detachedSlots() {
        if (!slots_) slots_ = std::make_shared<Slots>();
        else if (slots_.use_count() > 1) slots_ = std::make_shared<Slots>(*slots_);
        else std::atomic_thread_fence(std::memory_order_acquire);
        return *slots_;
    }

    std::shared_ptr<Slots> slots_;
};

} // namespace osterveil

