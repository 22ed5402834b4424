#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace osterveil::testsupport {

// Listens to what the null sink plays, from its monitor, and tells by when each sample was heard. A sink
// hands its monitor a period once it has begun to play it (PulseAudio a few samples at once and the rest
// a period later, as it may still rewrite them; PipeWire once the period is processed), so the earliest
// arrival of a piece, less what was recorded before it, bounds when the recording began, and every
// sample was heard by that bound plus its place. A recorder that dates a piece by its last sample, as
// `SinkRecorder` does, needs pieces far shorter than the sink's period, and those hold the sink to their
// length: it then plays sooner than on a desktop where nothing records it. This one reads pieces of the
// sink's longest period (PipeWire's 2,048 samples; PulseAudio hands over its own periods whatever the
// piece), which ask the sink for no shorter period than its players do. 48 kHz stereo float; the left
// channel is kept.
class SinkListener {
  public:
    using Steady = std::chrono::steady_clock;

    explicit SinkListener(std::string source = "null.monitor", int pieceFrames = 2048) {
        loop_ = pa_threaded_mainloop_new();
        if (!loop_ || pa_threaded_mainloop_start(loop_) < 0) return;
        pa_threaded_mainloop_lock(loop_);
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "sink listener");
        pa_context_set_state_callback(context_, &SinkListener::changed, this);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
            while (pa_context_get_state(context_) != PA_CONTEXT_READY &&
                   PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)))
                pa_threaded_mainloop_wait(loop_);
        }
        if (pa_context_get_state(context_) == PA_CONTEXT_READY) {
            const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48000, 2};
            stream_ = pa_stream_new(context_, "sink listener", &spec, nullptr);
            pa_stream_set_state_callback(stream_, &SinkListener::streamChanged, this);
            pa_stream_set_read_callback(stream_, &SinkListener::readable, this);
            pa_buffer_attr attr{};
            attr.maxlength = std::uint32_t(-1);
            attr.fragsize = std::uint32_t(pieceFrames * 8);
            if (pa_stream_connect_record(stream_, source.c_str(), &attr, PA_STREAM_DONT_MOVE) >= 0) {
                while (pa_stream_get_state(stream_) == PA_STREAM_CREATING)
                    pa_threaded_mainloop_wait(loop_);
                started_ = pa_stream_get_state(stream_) == PA_STREAM_READY;
            }
        }
        pa_threaded_mainloop_unlock(loop_);
    }

    ~SinkListener() { finish(); }
    SinkListener(const SinkListener&) = delete;
    SinkListener& operator=(const SinkListener&) = delete;

    bool started() const { return started_; }

    // Stops listening.
    void finish() {
        if (!loop_) return;
        pa_threaded_mainloop_lock(loop_);
        if (stream_) {
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
            stream_ = nullptr;
        }
        if (context_) {
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
    }

    // Samples heard so far.
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return left_.size();
    }

    // By when sample `index` was heard.
    std::optional<Steady::time_point> heardBy(std::size_t index) const {
        std::lock_guard lock(mutex_);
        if (!origin_) return std::nullopt;
        return *origin_ + std::chrono::duration_cast<Steady::duration>(
                              std::chrono::duration<double>(double(index) / 48000));
    }

    // The first sample from `from` on louder than `level`, if one came.
    std::optional<std::size_t> firstAbove(float level, std::size_t from) const {
        std::lock_guard lock(mutex_);
        for (std::size_t i = from; i < left_.size(); ++i)
            if (std::abs(left_[i]) > level) return i;
        return std::nullopt;
    }

  private:
    static void changed(pa_context*, void* self) {
        pa_threaded_mainloop_signal(static_cast<SinkListener*>(self)->loop_, 0);
    }
    static void streamChanged(pa_stream*, void* self) {
        pa_threaded_mainloop_signal(static_cast<SinkListener*>(self)->loop_, 0);
    }

    static void readable(pa_stream* s, std::size_t, void* userdata) {
        auto* self = static_cast<SinkListener*>(userdata);
        for (;;) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) return;
            const auto now = Steady::now();
            {
                std::lock_guard lock(self->mutex_);
                const std::size_t index = self->left_.size();
                const auto origin = now - std::chrono::duration_cast<Steady::duration>(
                                              std::chrono::duration<double>(double(index) / 48000));
                if (!self->origin_ || origin < *self->origin_) self->origin_ = origin;
                if (data) {
                    const auto* f = static_cast<const float*>(data);
                    for (std::size_t i = 0; i + 1 < bytes / sizeof(float); i += 2)
                        self->left_.push_back(f[i]);
                } else {
                    self->left_.resize(index + bytes / 8, 0.0f); // a hole
                }
            }
            pa_stream_drop(s);
        }
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    bool started_ = false;
    mutable std::mutex mutex_;
    std::vector<float> left_;
    // By when sample 0 was heard.
    std::optional<Steady::time_point> origin_;
};

} // namespace osterveil::testsupport
