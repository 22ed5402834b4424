#include "Platform/Audio/Output.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include <pulse/pulseaudio.h>

namespace osterveil::audio {

namespace {

// About a third of a second: enough to ride over a busy moment of the feeding thread, little enough
// that nothing stale lingers.
constexpr std::size_t kRingFrames = 16384;
constexpr std::size_t kFrameBytes = Output::channels * sizeof(float);
// What the server holds for us, and what it asks the sink to hold: the first sound of a start waits for
// the sink's latency, and what the sink and the server hold rides over the moments a busy machine keeps
// the server, or this process, off the processor. A start asks for little, so that it sounds at once: a
// fifth of a second at the server, in requests of a hundredth, the sink's latency being one request,
// which comes on top of the play's wait for its first picture (a fiftieth took a press past a twentieth
// of a second). It lasts only until an answer tells that the sink reads, a timing interval or so. Once
// the play sounds it asks for more: the server holding half a second, the sink a tenth, which a server
// kept off its processor for longer than a hundredth no longer breaks. The clock is what the sink has
// played, so the longer latency costs no picture sync.
struct BufferSize {
    std::uint32_t bytes;
    std::uint32_t request;
};
constexpr BufferSize kStartBuffer{std::uint32_t(Output::sampleRate / 5) * kFrameBytes,
                                  std::uint32_t(Output::sampleRate / 100) * kFrameBytes};
constexpr BufferSize kPlayBuffer{std::uint32_t(Output::sampleRate / 2) * kFrameBytes,
                                 std::uint32_t(Output::sampleRate / 10) * kFrameBytes};
// Silence after the end of the sound, which carries out what a server holds back once the ring runs dry:
// longer than its period, which is the sink's latency at most.
constexpr std::size_t kPaddingFrames = 2 * kPlayBuffer.request / kFrameBytes;
// A server that leaves a question unanswered this long while playing has stalled, and is let go until it
// plays again: a busy one answers well within it, one stopped for 0.6 s does not. The time is counted in
// this thread's own ticks as well, so that a moment in which this thread could not run (and read the
// answer waiting for it) is not taken for the server's silence.
constexpr auto kSilentServerLimit = std::chrono::milliseconds(540);
constexpr int kSilentServerTicks = 20;
// A device that answers but takes no sound while some waits: after this long from a start (or this long
// without taking any during play) it is waking, and the clock runs on without it until it takes sound;
// after the longest it is let go (and so reported) until it plays, which leaves room for a device that
// wakes slowly (a wireless headset).
constexpr auto kWakeWait = std::chrono::milliseconds(50);
constexpr auto kStuckWait = std::chrono::milliseconds(250);
constexpr auto kIdleDeviceLimit = std::chrono::seconds(3);
// A server that is missing is looked for again on the next start or stop, at most this often.
constexpr auto kRetryInterval = std::chrono::seconds(1);
// While playing, the server is asked this often how far it has played.
constexpr pa_usec_t kTimingIntervalMicroseconds = 20000;

using Clock = std::chrono::steady_clock;

// The main loop's lock, where there is a loop.
class LoopLock {
  public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) {
        if (loop_) pa_threaded_mainloop_lock(loop_);
    }
    ~LoopLock() {
        if (loop_) pa_threaded_mainloop_unlock(loop_);
    }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

  private:
    pa_threaded_mainloop* loop_;
};

void release(pa_operation* operation) {
    if (operation) pa_operation_unref(operation);
}

} // namespace

// Two locks: the server side (context, stream) is touched only under the main loop's lock, whose
// callbacks run with it held, on the loop's own thread; the ring, the counts and what the server last
// told are under `mutex`. The loop's lock is always taken first, so `mutex` is never held while
// waiting for it. The position and the feeding take only `mutex`: the loop's thread hands the server
// its sound when asked, and decides alone when a server is lost.
struct Output::Impl {
    mutable std::mutex mutex;
    std::vector<float> ring = std::vector<float>(kRingFrames * channels);
    std::size_t readAt = 0; // frame index into the ring
    std::size_t count = 0;  // frames queued
    bool running = false;
    float volume = 1;
    // Whether the server takes the sound; otherwise the clock does.
    bool toDevice = false;
    // A stream that is connected and may be taken into use at the next start.
    bool deviceReady = false;
    // The device in use takes no sound yet: the clock runs on meanwhile, and the server is given silence
    // until it plays.
    bool waking = false;
    // The server stalled while in use, and counts as lost until it plays again, which it is waited for
    // as a waking device.
    bool letGo = false;
    std::uint64_t losses = 0;
    // Frames heard: counted by the clock, or while the server takes them, its played time since it was
    // taken into use on top of what was heard before.
    std::int64_t heard = 0;
    std::int64_t heardAtAdoption = 0;
    std::int64_t streamAtAdoption = 0;
    std::int64_t reported = 0;
    // The clock: what it has consumed up to `lastTick`.
    Clock::time_point lastTick = Clock::now();
    double owed = 0;
    // When the server last took sound, or last found none waiting.
    Clock::time_point lastTaken;
    // Frames handed to the server since it was taken into use; when it is let go, what it had not
    // played yet is consumed by the clock before the ring, so the position still reaches every frame.
    std::int64_t given = 0;
    std::int64_t backlog = 0;
    // What the server last told: the frames of the stream played by `toldAt`, whether they run on with
    // time since, and up to what they can.
    std::optional<Clock::time_point> toldAt;
    double toldPlayed = 0;
    bool toldRuns = false;
    double toldCap = 0;
    // The feeding thread found the server waiting for sound the ring did not have.
    std::atomic<bool> serverHungry = false;
    // No more sound comes until the ring is cleared; and whether silence has gone after its end.
    bool ended = false;
    bool padded = false;

    // Under the main loop's lock.
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    pa_time_event* ticker = nullptr;
    Clock::time_point lastAttempt;
    std::vector<float> scratch;
    // The stream plays (is not corked) and since when; whether it has read any sound since, how far,
    // and when it last read more.
    bool uncorked = false;
    Clock::time_point uncorkedAt;
    bool begun = false;
    std::int64_t readIndex = -1;
    Clock::time_point lastReadAt;
    int quietAnswers = 0;
    bool asking = false;
    Clock::time_point askedAt;
    int ticksAsking = 0;
    // The write index (frames) at the end of the sound, before the silence after it; -1 while not there.
    std::int64_t soundEndsAt = -1;

    // Frames taken into `out` (volume applied, kept within full scale), at most `frames`. Under `mutex`.
    std::size_t take(float* out, std::size_t frames) {
        const std::size_t n = std::min(frames, count);
        for (std::size_t i = 0; i < n; ++i) {
            const float* s = &ring[((readAt + i) % kRingFrames) * channels];
            for (int c = 0; c < channels; ++c) {
                const float v = s[c] * volume;
                out[i * channels + c] = std::isfinite(v) ? std::clamp(v, -1.0f, 1.0f) : 0.0f;
            }
        }
        drop(n);
        return n;
    }

    void drop(std::size_t n) {
        readAt = (readAt + n) % kRingFrames;
        count -= n;
    }

    std::int64_t queued() const { return backlog + std::int64_t(count); }

    bool clockRuns() const { return running && (!toDevice || waking); }

    // The clock consumes in real time; time that finds the ring empty is silence and lost. Under `mutex`.
    void advance() {
        const auto now = Clock::now();
        if (clockRuns()) {
            const double due = std::chrono::duration<double>(now - lastTick).count() * sampleRate + owed;
            const double whole = std::floor(due);
            owed = due - whole;
            const std::int64_t n = std::min(queued(), static_cast<std::int64_t>(whole));
            const std::int64_t fromBacklog = std::min(n, backlog);
            backlog -= fromBacklog;
            drop(std::size_t(n - fromBacklog));
            heard += n;
        }
        lastTick = now;
    }

    // Heard by now, from what the server last told. Under `mutex`.
    void listen() {
        if (!toDevice || waking || !toldAt) return;
        double played = toldPlayed;
        if (toldRuns)
            played = std::min(
                toldCap, played + std::chrono::duration<double>(Clock::now() - *toldAt).count() * sampleRate);
        heard = std::max(heard, heardAtAdoption + std::int64_t(std::floor(played)) - streamAtAdoption);
    }

    // What the server was given and has not played, which the clock must play out in its place. Under
    // `mutex`.
    std::int64_t unplayed() const {
        return std::clamp<std::int64_t>(given - (heard - heardAtAdoption), 0, given);
    }

    // The server is gone or stalled: the clock takes over from what was heard. Under `mutex`.
    void loseDevice() {
        if (toDevice) {
            listen();
            advance();
            ++losses;
            if (!waking) backlog = unplayed();
            toDevice = false;
            waking = false;
            lastTick = Clock::now();
            owed = 0;
        }
        letGo = false;
        deviceReady = false;
        toldAt.reset();
    }

    // The server takes the sound from now on; `played` is its stream's played time. Under `mutex`.
    void adopt(std::int64_t played) {
        toDevice = true;
        waking = false;
        letGo = false;
        heardAtAdoption = heard;
        streamAtAdoption = played;
        given = backlog;
        lastTaken = Clock::now();
    }

    // --- Server side: everything below runs under the main loop's lock. ---

    bool streamReady() const { return stream && pa_stream_get_state(stream) == PA_STREAM_READY; }

    // Some servers (PipeWire's) leave a remainder shorter than their period unplayed once the ring runs
    // dry, until more comes: the end of the sound goes with silence behind it, which carries it out. Only
    // the end: silence after a ring that ran dry while sound still comes would break it further.
    void padEnd() {
        const pa_timing_info* t = pa_stream_get_timing_info(stream);
        soundEndsAt = t && !t->write_index_corrupt ? t->write_index / std::int64_t(kFrameBytes) : -1;
        writeSilence(kPaddingFrames);
    }

    void writeSilence(std::size_t frames) {
        scratch.assign(frames * channels, 0.0f);
        pa_stream_write(stream, scratch.data(), frames * kFrameBytes, nullptr, 0, PA_SEEK_RELATIVE);
    }

    void askForTiming() {
        if (!streamReady() || asking) return;
        if (pa_operation* o = pa_stream_update_timing_info(stream, &Impl::told, this)) {
            asking = true;
            askedAt = Clock::now();
            ticksAsking = 0;
            pa_operation_unref(o);
        }
    }

    static void told(pa_stream*, int success, void* userdata) {
        auto* m = static_cast<Impl*>(userdata);
        m->asking = false;
        if (success) m->heed();
    }

    // What the server told: the clock's reading, whether a waking device now plays or the device in use
    // stopped taking sound.
    void heed() {
        const pa_timing_info* t = streamReady() ? pa_stream_get_timing_info(stream) : nullptr;
        if (!t || t->read_index_corrupt) return;
        const auto now = Clock::now();
        const std::int64_t read = t->read_index / std::int64_t(kFrameBytes);
        const bool writeKnown = !t->write_index_corrupt;
        const std::int64_t written = writeKnown ? t->write_index / std::int64_t(kFrameBytes) : read;
        // Played by now: what it read less what its sink still holds; negative while the first sound is
        // on its way.
        const double played = double(read) - double(t->sink_usec) * sampleRate / 1e6;
        const bool moved = readIndex >= 0 && read > readIndex;
        readIndex = read;
        const bool sinceStart = uncorked && askedAt >= uncorkedAt;
        if (moved && uncorked) {
            begun = true;
            lastReadAt = now;
            quietAnswers = 0;
        } else if (sinceStart) {
            ++quietAnswers;
        }
        const bool holds = writeKnown && written > read;
        bool wake = false, handOver = false, sounds = false;
        {
            std::lock_guard lock(mutex);
            toldAt = now;
            toldCap = double(written);
            // Run dry and stopped, the server has played what it will play (some hold back less than a
            // period until more comes, which the tail's padding carries out): the sound's end is heard.
            if (uncorked && !t->playing && writeKnown && count == 0) {
                // Of the silence after the end, what it holds back will never be heard.
                toldPlayed = double(padded && soundEndsAt >= 0 ? std::min(written, soundEndsAt) : written);
                toldRuns = false;
            } else {
                toldPlayed = std::max(0.0, played);
                // What was told before the stream last started says nothing of the time since.
                toldRuns = uncorked && askedAt >= uncorkedAt;
                // Between answers the clock runs on no further than what a start holds: a server that
                // holds more while playing and then stops answering (starved of the processor) must not
                // take the pictures that much ahead of a sound that may have stopped with it.
                toldCap = std::min(toldCap, toldPlayed + double(kStartBuffer.bytes + kStartBuffer.request) /
                                                             double(kFrameBytes));
                if (!t->playing) toldCap = double(read);
            }
            // Several answers in a row, not one that a server resuming from a pause gave before its
            // device caught up.
            if (toDevice && running && sinceStart) {
                if (waking)
                    handOver = moved && writeKnown;
                else
                    wake = holds && count > 0 && quietAnswers >= 3 &&
                           now - (begun ? lastReadAt : uncorkedAt) >= (begun ? kStuckWait : kWakeWait);
            }
            if (handOver) takeOver(played, written);
            // At a start, the clock runs on as if heard from the start on, so the picture moves as soon as
            // it would have.
            if (wake) runOnTheClock(begun ? now : uncorkedAt);
            sounds = moved && uncorked && toDevice && !waking;
        }
        // The play sounds: it holds more from now on.
        if (sounds) resize(kPlayBuffer);
        if (wake) waitForSound();
        if (handOver) {
            begun = true;
            pump();
        }
    }

    // The device in use takes no sound: the clock runs on from what was heard, from `since`, first through
    // what the server was given. Under `mutex`.
    void runOnTheClock(Clock::time_point since) {
        listen();
        backlog = unplayed();
        waking = true;
        lastTick = since;
        owed = 0;
        given = 0;
        advance();
    }

    // What the server holds would be stale by the time it plays: silence stands in for it until it plays.
    void waitForSound() {
        begun = false;
        // The silence it is given meanwhile is as short as at a start, so the sound is back as soon.
        resize(kStartBuffer);
        release(pa_stream_flush(stream, nullptr, nullptr));
        pump();
    }

    // The server in use stalled: it is reported lost, and the clock runs on in its place, while the stream
    // stays open and the server is waited for as a waking device, so that the play sounds again once it
    // plays. A server that leaves the output for good closes the stream, and is looked for at the next
    // start.
    void letServerGo() {
        {
            std::lock_guard lock(mutex);
            ++losses;
            letGo = true;
            if (!toDevice || waking) return;
            runOnTheClock(Clock::now());
        }
        waitForSound();
    }

    // The waking device plays: from the silence it holds on, it plays the ring where the clock has got
    // to, so the position runs on without a jump. `played` and `written` are its stream's. Under `mutex`.
    void takeOver(double played, std::int64_t written) {
        advance();
        // The clock is at `heard`; the server will have played out what it holds at `written`, the
        // frames between being silence: those the clock still owes, then the ring's.
        const std::int64_t ahead = std::max<std::int64_t>(0, written - std::int64_t(std::floor(played)));
        const std::int64_t owedFrames = backlog;
        std::int64_t start = written;
        if (ahead >= owedFrames)
            drop(std::min<std::size_t>(count, std::size_t(ahead - owedFrames)));
        else
            start += owedFrames - ahead; // silence still to be written, before the ring
        backlog = 0;
        waking = false;
        letGo = false;
        heardAtAdoption = heard + (start - std::int64_t(std::floor(played)));
        streamAtAdoption = start;
        given = 0;
        lastTaken = Clock::now();
        pendingSilence = std::size_t(start - written);
    }
    std::size_t pendingSilence = 0;

    static void timingTick(pa_mainloop_api*, pa_time_event* e, const struct timeval*, void* userdata) {
        auto* m = static_cast<Impl*>(userdata);
        if (m->uncorked) {
            if (m->asking) ++m->ticksAsking;
            if (m->stalled()) m->letServerGo();
            m->askForTiming();
        }
        pa_context_rttime_restart(m->context, e, pa_rtclock_now() + kTimingIntervalMicroseconds);
    }

    // The server has left a question unanswered too long, or has taken no sound for the longest time
    // while some waits.
    bool stalled() const {
        const auto now = Clock::now();
        std::lock_guard lock(mutex);
        if (letGo) return false;
        if (asking && now - askedAt > kSilentServerLimit && ticksAsking >= kSilentServerTicks) return true;
        return toDevice && running && count > 0 && now - lastTaken > kIdleDeviceLimit;
    }

    // Hands the server as much of the ring as it asks for; silence while the device wakes.
    void pump() {
        if (!streamReady()) return;
        std::size_t bytes = pa_stream_writable_size(stream);
        if (bytes == std::size_t(-1) || bytes < kFrameBytes) return;
        if (pendingSilence > 0) {
            const std::size_t n = std::min(pendingSilence, bytes / kFrameBytes);
            writeSilence(n);
            pendingSilence -= n;
            bytes -= n * kFrameBytes;
            if (bytes < kFrameBytes) return;
        }
        std::size_t n = 0;
        bool silence = false, pad = false;
        {
            std::lock_guard lock(mutex);
            if (!toDevice) return;
            if (waking) {
                silence = true;
            } else {
                scratch.resize(bytes / kFrameBytes * channels);
                n = take(scratch.data(), bytes / kFrameBytes);
                given += std::int64_t(n);
                if (n > 0 || count == 0) lastTaken = Clock::now();
                serverHungry = n < bytes / kFrameBytes;
                pad = ended && !padded && count == 0;
                padded = padded || pad;
            }
        }
        if (silence) writeSilence(bytes / kFrameBytes);
        if (n > 0) pa_stream_write(stream, scratch.data(), n * kFrameBytes, nullptr, 0, PA_SEEK_RELATIVE);
        if (pad) padEnd();
    }

    void cork(bool corked) {
        if (!streamReady()) return;
        release(pa_stream_cork(stream, corked ? 1 : 0, nullptr, nullptr));
        // The next start sounds as soon as it can.
        if (corked) resize(kStartBuffer);
        uncorked = !corked;
        {
            std::lock_guard lock(mutex);
            if (toldAt) {
                // Where it stood when it stopped is where it stands; a start runs on from the next answer.
                listen();
                toldPlayed = double(heard - heardAtAdoption + streamAtAdoption);
                toldRuns = false;
            }
        }
        if (uncorked) {
            uncorkedAt = Clock::now();
            begun = false;
            quietAnswers = 0;
            askForTiming();
        }
    }

    void disconnect() {
        if (ticker) {
            pa_threaded_mainloop_get_api(loop)->time_free(ticker);
            ticker = nullptr;
        }
        uncorked = false;
        asking = false;
        readIndex = -1;
        pendingSilence = 0;
        {
            std::lock_guard lock(mutex);
            toldAt.reset();
        }
        if (stream) {
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_set_write_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
            stream = nullptr;
        }
        if (context) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
        }
    }

    // Starts looking for the server; the answer comes to the callbacks.
    void connect() {
        disconnect();
        lastAttempt = Clock::now();
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "Osterveil");
        if (!context) return;
        pa_context_set_state_callback(context, &Impl::contextChanged, this);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) disconnect();
    }

    // Looks for the server again when there is none, nor an attempt under way.
    void retryIfMissing() {
        if (!loop) return;
        if (context) {
            const pa_context_state_t c = pa_context_get_state(context);
            if (PA_CONTEXT_IS_GOOD(c) &&
                (c != PA_CONTEXT_READY || (stream && PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))))
                return;
        }
        if (Clock::now() - lastAttempt >= kRetryInterval) connect();
    }

    void openStream() {
        const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, std::uint32_t(sampleRate), std::uint8_t(channels)};
        stream = pa_stream_new(context, "Playback", &format, nullptr);
        if (!stream) return lost();
        pa_stream_set_state_callback(stream, &Impl::streamChanged, this);
        pa_stream_set_write_callback(stream, &Impl::serverAsks, this);
        const pa_buffer_attr attributes = bufferAttributes(kStartBuffer);
        bufferSize = kStartBuffer;
        // The server keeps the whole buffer for us, and asks the sink for a latency of one request only:
        // what the sink holds is what a start waits for before it is heard, while what the server holds
        // is what rides over a busy moment. Asked to fit the buffer to the sink instead, it gives the
        // sink half of it and the first sound of every start comes that much later.
        const auto flags = pa_stream_flags_t(PA_STREAM_START_CORKED | PA_STREAM_EARLY_REQUESTS);
        if (pa_stream_connect_playback(stream, nullptr, &attributes, flags, nullptr, nullptr) < 0) lost();
    }

    static pa_buffer_attr bufferAttributes(BufferSize size) {
        pa_buffer_attr attributes{};
        attributes.maxlength = std::uint32_t(-1);
        attributes.tlength = size.bytes;
        // Plays as soon as there is anything: the ring is full by the time the player starts, and a
        // stretch shorter than the buffer at the very end of an item must still play.
        attributes.prebuf = kFrameBytes;
        attributes.minreq = size.request;
        attributes.fragsize = std::uint32_t(-1);
        return attributes;
    }

    // The server and the sink hold `size` from now on; the server tells the sink's new latency in its
    // answers, so the clock follows.
    void resize(BufferSize size) {
        if (!streamReady() || size.bytes == bufferSize.bytes) return;
        bufferSize = size;
        const pa_buffer_attr attributes = bufferAttributes(size);
        release(pa_stream_set_buffer_attr(stream, &attributes, nullptr, nullptr));
    }
    BufferSize bufferSize = kStartBuffer;

    void lost() {
        std::lock_guard lock(mutex);
        loseDevice();
    }

    // A server that answers while the clock plays takes over as a device that wakes: the clock runs on
    // until the server plays, then the server plays from where the clock has got to.
    void becameReady() {
        bool takeOver = false;
        {
            std::lock_guard lock(mutex);
            deviceReady = true;
            if (running && !toDevice) {
                advance();
                adopt(0);
                waking = true;
                given = 0;
                takeOver = true;
            }
        }
        if (takeOver) {
            pump();
            cork(false);
        }
    }

    static void contextChanged(pa_context* c, void* userdata) {
        auto* m = static_cast<Impl*>(userdata);
        switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY:
            if (!m->stream) m->openStream();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            m->lost();
            break;
        default:
            break;
        }
    }

    static void streamChanged(pa_stream* s, void* userdata) {
        auto* m = static_cast<Impl*>(userdata);
        switch (pa_stream_get_state(s)) {
        case PA_STREAM_READY:
            m->askForTiming();
            if (!m->ticker)
                m->ticker = pa_context_rttime_new(m->context, pa_rtclock_now() + kTimingIntervalMicroseconds,
                                                  &Impl::timingTick, m);
            m->becameReady();
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            m->lost();
            break;
        default:
            break;
        }
    }

    static void serverAsks(pa_stream*, std::size_t, void* userdata) { static_cast<Impl*>(userdata)->pump(); }
};

Output::Output(Kind kind) : impl_(std::make_unique<Impl>()) {
    if (kind != Kind::device) return;
    Impl& m = *impl_;
    m.loop = pa_threaded_mainloop_new();
    if (!m.loop) return;
    pa_threaded_mainloop_set_name(m.loop, "sound output");
    if (pa_threaded_mainloop_start(m.loop) < 0) {
        pa_threaded_mainloop_free(m.loop);
        m.loop = nullptr;
        return;
    }
    LoopLock lock(m.loop);
    m.connect();
}

Output::~Output() {
    Impl& m = *impl_;
    if (!m.loop) return;
    {
        LoopLock lock(m.loop);
        m.disconnect();
    }
    pa_threaded_mainloop_stop(m.loop);
    pa_threaded_mainloop_free(m.loop);
}

std::unique_ptr<Output> Output::createNull() {
    return std::unique_ptr<Output>(new Output(Kind::null));
}

std::unique_ptr<Output> Output::create() {
    return std::unique_ptr<Output>(new Output(Kind::device));
}

Output::Kind Output::kind() const {
    std::lock_guard lock(impl_->mutex);
    return (impl_->toDevice || impl_->deviceReady) && !impl_->letGo ? Kind::device : Kind::null;
}

std::uint64_t Output::deviceLosses() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->losses;
}

bool Output::playsOnDevice() const {
    Impl& m = *impl_;
    std::lock_guard lock(m.mutex);
    m.listen();
    return m.toDevice && !m.waking && m.heard > m.heardAtAdoption;
}

std::size_t Output::write(const float* samples, std::size_t frames) {
    Impl& m = *impl_;
    std::size_t n = 0;
    {
        std::lock_guard lock(m.mutex);
        m.advance();
        if (m.count == 0) m.lastTaken = Clock::now();
        m.ended = m.padded = false;
        n = std::min(frames, kRingFrames - m.count);
        std::size_t at = (m.readAt + m.count) % kRingFrames;
        for (std::size_t i = 0; i < n;) {
            const std::size_t run = std::min(n - i, kRingFrames - at);
            std::memcpy(&m.ring[at * channels], samples + i * channels, run * channels * sizeof(float));
            i += run;
            at = (at + run) % kRingFrames;
        }
        m.count += n;
    }
    // The server asked for more than there was: it is handed the rest now rather than at its next ask.
    if (m.loop && n > 0 && m.serverHungry.exchange(false)) {
        LoopLock lock(m.loop);
        m.pump();
    }
    return n;
}

void Output::endOfSound() {
    Impl& m = *impl_;
    LoopLock loopLock(m.loop);
    bool pad = false;
    {
        std::lock_guard lock(m.mutex);
        m.ended = true;
        // The server has had the last of it already.
        pad = m.toDevice && !m.waking && !m.padded && m.count == 0;
        m.padded = m.padded || pad;
    }
    if (pad && m.streamReady()) m.padEnd();
}

std::size_t Output::space() const {
    std::lock_guard lock(impl_->mutex);
    impl_->advance();
    return kRingFrames - impl_->count;
}

void Output::clear() {
    Impl& m = *impl_;
    LoopLock loopLock(m.loop);
    bool flush = false;
    {
        std::lock_guard lock(m.mutex);
        m.listen();
        m.advance();
        m.readAt = 0;
        m.count = 0;
        m.backlog = 0;
        m.ended = m.padded = false;
        // What the server held is dropped with it: it will not be heard. A waking device keeps its
        // silence, by which it tells when it plays.
        flush = m.toDevice && !m.waking;
        if (flush) m.given = m.heard - m.heardAtAdoption;
    }
    // What the server holds and has not played goes too.
    if (flush && m.streamReady()) release(pa_stream_flush(m.stream, nullptr, nullptr));
}

void Output::start() {
    Impl& m = *impl_;
    LoopLock loopLock(m.loop);
    m.retryIfMissing();
    bool toDevice = false;
    {
        std::lock_guard lock(m.mutex);
        if (m.running) return;
        m.advance();
        if (!m.toDevice && m.deviceReady) m.adopt(m.toldAt ? std::int64_t(std::floor(m.toldPlayed)) : 0);
        m.running = true;
        m.owed = 0;
        m.lastTaken = Clock::now();
        toDevice = m.toDevice;
    }
    if (toDevice) {
        m.pump();
        m.cork(false);
    }
}

void Output::stop() {
    Impl& m = *impl_;
    LoopLock loopLock(m.loop);
    bool toDevice = false;
    {
        std::lock_guard lock(m.mutex);
        m.listen();
        m.advance();
        m.running = false;
        toDevice = m.toDevice;
    }
    if (toDevice) m.cork(true);
    m.retryIfMissing();
}

bool Output::isRunning() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->running;
}

void Output::setVolume(float volume) {
    std::lock_guard lock(impl_->mutex);
    impl_->volume = std::isfinite(volume) ? std::clamp(volume, 0.0f, 1.0f) : 0.0f;
}

float Output::volume() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->volume;
}

std::int64_t Output::position() const {
    Impl& m = *impl_;
    std::lock_guard lock(m.mutex);
    m.listen();
    m.advance();
    return m.reported = std::max(m.reported, m.heard);
}

} // namespace osterveil::audio
