#include "Platform/Foundation/LargeBuffer.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include <sys/mman.h>

namespace osterveil {

namespace {

// The size of a huge page: the system lays them only at addresses that are multiples of it.
constexpr std::size_t hugePage = std::size_t(2) << 20;

std::size_t roundUp(std::size_t n, std::size_t to) {
    return (n + to - 1) / to * to;
}

} // namespace

LargeBuffer::LargeBuffer(std::size_t size) {
    resize(size);
}

LargeBuffer::~LargeBuffer() {
    release();
}

LargeBuffer::LargeBuffer(LargeBuffer&& other) noexcept
    : mapping_(std::exchange(other.mapping_, nullptr)), mapped_(std::exchange(other.mapped_, 0)),
      data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

LargeBuffer& LargeBuffer::operator=(LargeBuffer&& other) noexcept {
    if (this != &other) {
        release();
        mapping_ = std::exchange(other.mapping_, nullptr);
        mapped_ = std::exchange(other.mapped_, 0);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

bool LargeBuffer::holds(const void* p) const {
    const auto at = reinterpret_cast<std::uintptr_t>(p), start = reinterpret_cast<std::uintptr_t>(data_);
    return data_ && at >= start && at < start + capacity_;
}

void LargeBuffer::resize(std::size_t size) {
    if (size <= capacity_) {
        // What a smaller size left behind is zero again when the buffer grows back.
        if (size < size_) std::memset(data_ + size, 0, size_ - size);
        size_ = size;
        return;
    }
    // Growing: into a mapping of twice the size, as a file grown since it was measured may go on.
    const std::size_t capacity = roundUp(std::max(size, capacity_ * 2), hugePage);
    const std::size_t mapped = capacity + hugePage;
    void* mapping = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw std::bad_alloc();
    char* data = reinterpret_cast<char*>(roundUp(reinterpret_cast<std::uintptr_t>(mapping), hugePage));
    // Only a hint: without huge pages the buffer works the same.
    ::madvise(data, capacity, MADV_HUGEPAGE);
    if (size_ > 0) std::memcpy(data, data_, size_);
    release();
    mapping_ = mapping;
    mapped_ = mapped;
    data_ = data;
    size_ = size;
    capacity_ = capacity;
}

void LargeBuffer::release() {
    if (mapping_) ::munmap(mapping_, mapped_);
    mapping_ = nullptr;
    mapped_ = 0;
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
}

} // namespace osterveil
