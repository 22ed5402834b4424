#pragma once

#include <cstddef>
#include <string_view>

namespace osterveil {

// Bytes by the hundred megabyte: a whole file read, a parsed document. Taken from the system in huge
// pages where it offers them, which it takes back at once: a process that ends holding a gigabyte in
// ordinary pages waits half a second for the kernel to take them back on a busy machine. New bytes
// are zero.
class LargeBuffer {
  public:
    LargeBuffer() = default;
    // Throws `std::bad_alloc` when the system has no more memory to give.
    explicit LargeBuffer(std::size_t size);
    ~LargeBuffer();
    LargeBuffer(LargeBuffer&& other) noexcept;
    LargeBuffer& operator=(LargeBuffer&& other) noexcept;
    LargeBuffer(const LargeBuffer&) = delete;
    LargeBuffer& operator=(const LargeBuffer&) = delete;

    char* data() { return data_; }
    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::string_view view() const { return {data_, size_}; }
    // Whether `p` points into the buffer.
    bool holds(const void* p) const;
    // Keeps the bytes up to the smaller of the two sizes. Throws as the constructor.
    void resize(std::size_t size);

  private:
    void release();

    void* mapping_ = nullptr;
    std::size_t mapped_ = 0;
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

} // namespace osterveil
