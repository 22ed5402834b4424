#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "Platform/Media/PixelBuffer.hpp"
#include "Platform/Media/VideoComposition.hpp"
#include "Platform/Media/VideoDecoder.hpp"

namespace osterveil::media {

// One output frame to compose: its time and instruction, the source pictures the instruction needs,
// and a fresh buffer to draw into. A compositor finishes every request exactly once.
class CompositionRequest {
public:
    enum class Status { pending, composed, failed, cancelled };

    CompositionRequest(Time time, std::shared_ptr<const CompositionInstruction> instruction,
                       std::unordered_map<std::int32_t, std::shared_ptr<const VideoFrame>> sources,
                       std::shared_ptr<PixelBufferPool> pool)
        : time_(time), instruction_(std::move(instruction)), sources_(std::move(sources)), pool_(std::move(pool)) {}

    const Time& compositionTime() const { return time_; }
    const CompositionInstruction* instruction() const { return instruction_.get(); }
    // The picture a composition track shows at this time; null when it shows none.
    std::shared_ptr<const VideoFrame> sourceFrame(std::int32_t trackID) const {
        auto it = sources_.find(trackID);
        return it == sources_.end() ? nullptr : it->second;
    }
    Size renderSize() const { return Size{double(pool_->width()), double(pool_->height())}; }
    // A buffer of the render size and the reader's format; a null buffer when none can be had.
    PixelBuffer newPixelBuffer() const {
        try {
            return pool_->get();
        } catch (const std::exception&) {
            return PixelBuffer();
        }
    }

    void finish(PixelBuffer frame) { settle(Status::composed, std::move(frame), {}); }
    void finish(const std::string& error) { settle(Status::failed, {}, error); }
    void finishCancelled() { settle(Status::cancelled, {}, {}); }

    Status status() const { return status_; }
    const PixelBuffer& result() const { return result_; }
    const std::string& error() const { return error_; }

private:
    void settle(Status s, PixelBuffer frame, std::string error) {
        if (status_ != Status::pending) return;
        result_ = std::move(frame);
        error_ = std::move(error);
        status_ = s;
    }

    Time time_;
    std::shared_ptr<const CompositionInstruction> instruction_;
    std::unordered_map<std::int32_t, std::shared_ptr<const VideoFrame>> sources_;
    std::shared_ptr<PixelBufferPool> pool_;
    Status status_ = Status::pending;
    PixelBuffer result_;
    std::string error_;
};

// Draws output frames. Readers call `startRequest` from several threads at once.
class VideoCompositor {
public:
    virtual ~VideoCompositor() = default;
    // Composes synchronously and finishes the request before returning.
    virtual void startRequest(CompositionRequest& request) = 0;
    // Whether it can draw into buffers of this format; readers fall back to BGRA otherwise.
    virtual bool rendersInto(PixelFormat format) const { return format == PixelFormat::bgra8; }
    // Makes every request in progress finish as cancelled.
    virtual void cancelAllPendingRequests() = 0;
};

} // namespace osterveil::media
