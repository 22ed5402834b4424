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

// Listens to what the null sink plays, from its monitor, and tells when each sample was heard. A sink
// hands its monitor what it renders as it renders it, and renders ahead of what it plays by its latency
// (PulseAudio's null sink up to a block of that length, PipeWire a period or more): what arrives first
// has not been heard yet. Dating a sample by its arrival (the earliest arrival of a piece, less what was
// recorded before it) therefore gives a time before it was heard, early by up to the sink's latency,
// which is what a sink that plays late hides. The sink's own account is sound: each time the server
// tells how far the monitor has recorded, it also tells how much of that the sink still holds unplayed,
// and so which sample plays at that moment (PipeWire's service tells none for its null sink, which plays
// a period as it processes it). The listener asks every tenth of a second, which does not change the
// sink's period. It reads pieces as long as the period the player asks of the sink, so the sink runs at
// the period the player alone would give it: a shorter piece shortens it, and on PipeWire a longer one
// holds the graph at that period while the player is paused, which its next start then waits to change.
// It does not keep a sink from falling idle. 48 kHz stereo float; the left channel is kept.
class SinkListener {
  public:
    using Steady = std::chrono::steady_clock;

    explicit SinkListener(std::string source = "null.monitor", int pieceFrames = 960) {
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
            const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, 48000, 2};
            stream_ = pa_stream_new(context_, "sink listener", &format, nullptr);
            pa_stream_set_state_callback(stream_, &SinkListener::streamChanged, this);
            pa_stream_set_read_callback(stream_, &SinkListener::readable, this);
            pa_buffer_attr attr{};
            attr.maxlength = std::uint32_t(-1);
            attr.fragsize = std::uint32_t(pieceFrames * 8);
            if (pa_stream_connect_record(
                    stream_, source.c_str(), &attr,
                    pa_stream_flags_t(PA_STREAM_DONT_MOVE | PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND)) >= 0) {
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

    // The samples heard from `from` on.
    std::vector<float> samples(std::size_t from) const {
        std::lock_guard lock(mutex_);
        return {left_.begin() + std::ptrdiff_t(std::min(from, left_.size())), left_.end()};
    }

    // When sample `index` was heard, by the sink's account of what it still held unplayed; none before
    // the server has told it.
    std::optional<Steady::time_point> heardAt(std::size_t index) const {
        std::lock_guard lock(mutex_);
        return at(told_, index);
    }
    // The sink has told its account since sample `index` was recorded (a sink that paused since the last
    // answer, as PipeWire's does when idle, leaves an older one wrong).
    bool toldSince(std::size_t index) const {
        std::lock_guard lock(mutex_);
        return told_ && toldUpTo_ > index;
    }
    // When sample `index` arrived, dated by the earliest arrival less what came before it: about when the
    // sink rendered it, so before it was heard by up to the sink's latency (and by any pause of the sink
    // since listening began).
    std::optional<Steady::time_point> arrivedBy(std::size_t index) const {
        std::lock_guard lock(mutex_);
        return at(origin_, index);
    }

    // The first sample from `from` on louder than `level`, if one came.
    std::optional<std::size_t> firstAbove(float level, std::size_t from) const {
        std::lock_guard lock(mutex_);
        for (std::size_t i = from; i < left_.size(); ++i)
            if (std::abs(left_[i]) > level) return i;
        return std::nullopt;
    }

  private:
    static std::optional<Steady::time_point> at(std::optional<Steady::time_point> origin, std::size_t index) {
        if (!origin) return std::nullopt;
        return *origin + std::chrono::duration_cast<Steady::duration>(
                             std::chrono::duration<double>(double(index) / 48000));
    }

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
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
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
        const auto now = Steady::now();
        if (!self->asking_ && now - self->askedAt_ > std::chrono::milliseconds(100)) {
            if (pa_operation* o = pa_stream_update_timing_info(s, &SinkListener::told, self)) {
                self->asking_ = true;
                self->askedAt_ = now;
                pa_operation_unref(o);
            }
        }
    }

    // Recorded so far, plus what the monitor holds not yet handed over, less what the sink holds not yet
    // played: the sample that plays now. The latest answer stands, as the sink's latency changes.
    static void told(pa_stream* s, int success, void* userdata) {
        auto* self = static_cast<SinkListener*>(userdata);
        self->asking_ = false;
        const pa_timing_info* t = success ? pa_stream_get_timing_info(s) : nullptr;
        if (!t || t->write_index_corrupt) return;
        const double playing =
            double(t->write_index) / 8 / 48000 +
            (double(t->source_usec) - double(t->sink_usec) + double(t->transport_usec)) / 1e6;
        std::lock_guard lock(self->mutex_);
        self->toldUpTo_ = std::size_t(t->write_index / 8);
        self->told_ = Steady::now() -
                      std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(playing));
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    bool started_ = false;
    mutable std::mutex mutex_;
    std::vector<float> left_;
    // Sample 0's arrival, and when it was heard by the sink's account.
    std::optional<Steady::time_point> origin_, told_;
    std::size_t toldUpTo_ = 0;
    bool asking_ = false;
    Steady::time_point askedAt_;
};

} // namespace osterveil::testsupport
