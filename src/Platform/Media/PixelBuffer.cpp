#include "Platform/Media/PixelBuffer.hpp"

#include <cstring>
#include <stdexcept>

namespace osterveil::media {

namespace {

std::size_t aligned(std::size_t bytes) { return (bytes + 63) / 64 * 64; }

} // namespace

PixelBuffer PixelBuffer::make(int width, int height, PixelFormat format) {
    if (width <= 0 || height <= 0 || width > 32768 || height > 32768)
        throw std::invalid_argument("A picture buffer needs a size between 1 and 32768 pixels per side.");
    if (!fitsFormat(width, height, format))
        throw std::invalid_argument("A picture buffer of this format needs an even size.");
    PixelBuffer b;
    b.width_ = width;
    b.height_ = height;
    b.format_ = format;
    const auto w = static_cast<std::size_t>(width);
    switch (format) {
    case PixelFormat::bgra8: b.bytesPerRow_[0] = aligned(4 * w); break;
    case PixelFormat::yuv420p8: b.bytesPerRow_[0] = aligned(w), b.bytesPerRow_[1] = b.bytesPerRow_[2] = aligned(w / 2); break;
    case PixelFormat::yuv422p10: b.bytesPerRow_[0] = aligned(2 * w), b.bytesPerRow_[1] = b.bytesPerRow_[2] = aligned(w); break;
    }
    std::size_t offsets[3] = {}, total = 0;
    for (int i = 0; i < b.planeCount(); ++i) {
        offsets[i] = total;
        total += b.bytesPerRow_[i] * static_cast<std::size_t>(b.planeHeight(i));
    }
    // 64 spare bytes so that the first row can start on a 64-byte boundary.
    b.storage_ = std::make_shared<std::vector<std::uint8_t>>(total + 64);
    auto base = reinterpret_cast<std::uintptr_t>(b.storage_->data());
    std::uint8_t* first = b.storage_->data() + ((64 - base % 64) % 64);
    for (int i = 0; i < b.planeCount(); ++i) b.planes_[i] = first + offsets[i];
    return b;
}

int PixelBuffer::planeHeight(int i) const {
    return i > 0 && format_ == PixelFormat::yuv420p8 ? height_ / 2 : height_;
}

void PixelBuffer::clear() const {
    for (int i = 0; i < planeCount(); ++i)
        if (planes_[i]) std::memset(planes_[i], 0, bytesPerRow_[i] * static_cast<std::size_t>(planeHeight(i)));
}

PixelBuffer PixelBufferPool::get() {
    std::lock_guard lock(mutex_);
    for (auto& b : buffers_)
        if (b.storage_.use_count() == 1) return b;
    PixelBuffer fresh = PixelBuffer::make(width_, height_, format_);
    if (buffers_.size() < keep_) buffers_.push_back(fresh);
    return fresh;
}

} // namespace osterveil::media
