#include "Platform/Audio/Output.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QCoreApplication>
#include <QIODevice>
#include <QMediaDevices>
#include <QThread>

namespace osterveil::audio {

namespace {

// About a third of a second: enough to ride over a busy moment of the feeding thread, little enough
// that nothing stale lingers.
constexpr std::size_t kRingFrames = 16384;
// The device's own buffer; its length is the sound's latency, which the position takes off.
constexpr double kDeviceBufferSeconds = 0.05;

using Clock = std::chrono::steady_clock;

} // namespace

struct Output::Impl {
    mutable std::mutex mutex;
    Kind kind = Kind::null;
    std::vector<float> ring = std::vector<float>(kRingFrames * channels);
    std::size_t readAt = 0; // frame index into the ring
    std::size_t count = 0;  // frames queued
    bool running = false;
    float volume = 1;
    std::int64_t taken = 0; // frames ever taken from the ring

    // Null output: what the clock has consumed up to `lastTick`.
    Clock::time_point lastTick;
    double owed = 0;

    // Device output.
    std::int64_t takenAtStart = 0;
    std::int64_t deviceBufferFrames = 0;
    std::int64_t reported = 0;
    std::atomic<bool> failed{false};
    QThread* thread = nullptr;
    QObject* anchor = nullptr; // lives in `thread`
    QAudioSink* sink = nullptr;
    QIODevice* feed = nullptr;
    bool int16 = false;

    bool clockDriven() const { return kind == Kind::null || failed.load(); }

    // Frames taken into `out` (volume applied), at most `frames`. Under the lock.
    std::size_t take(float* out, std::size_t frames) {
        const std::size_t n = std::min(frames, count);
        for (std::size_t i = 0; i < n; ++i) {
            const float* s = &ring[((readAt + i) % kRingFrames) * channels];
            for (int c = 0; c < channels; ++c)
                out[i * channels + c] = s[c] * volume;
        }
        drop(n);
        return n;
    }

    void drop(std::size_t n) {
        readAt = (readAt + n) % kRingFrames;
        count -= n;
        taken += std::int64_t(n);
    }

    // The null output consumes in real time; time that finds the ring empty is silence and lost.
    void advance() {
        const auto now = Clock::now();
        if (running && clockDriven()) {
            const double due = std::chrono::duration<double>(now - lastTick).count() * sampleRate + owed;
            const double whole = std::floor(due);
            owed = due - whole;
            drop(std::min<std::size_t>(count, static_cast<std::size_t>(whole)));
        }
        lastTick = now;
    }
};

// The device pulls from the ring through this; silence whenever the output is stopped or dry.
class DeviceFeed : public QIODevice {
  public:
    explicit DeviceFeed(Output::Impl& impl) : impl_(impl) {}
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return (1 << 20) + QIODevice::bytesAvailable(); }

  protected:
    qint64 readData(char* data, qint64 maxlen) override {
        const std::size_t frameBytes =
            Output::channels * (impl_.int16 ? sizeof(std::int16_t) : sizeof(float));
        const std::size_t frames = std::size_t(maxlen) / frameBytes;
        scratch_.assign(frames * Output::channels, 0.0f);
        {
            std::lock_guard lock(impl_.mutex);
            if (impl_.running) impl_.take(scratch_.data(), frames);
        }
        if (impl_.int16) {
            auto* out = reinterpret_cast<std::int16_t*>(data);
            for (std::size_t i = 0; i < scratch_.size(); ++i)
                out[i] =
                    static_cast<std::int16_t>(std::lround(std::clamp(scratch_[i], -1.0f, 1.0f) * 32767.0f));
        } else {
            std::memcpy(data, scratch_.data(), scratch_.size() * sizeof(float));
        }
        return qint64(frames * frameBytes);
    }
    qint64 writeData(const char*, qint64) override { return -1; }

  private:
    Output::Impl& impl_;
    std::vector<float> scratch_;
};

Output::Output(Kind kind) : impl_(std::make_unique<Impl>()) {
    impl_->kind = kind;
    impl_->lastTick = Clock::now();
}

Output::~Output() {
    Impl& m = *impl_;
    if (!m.thread) return;
    QMetaObject::invokeMethod(
        m.anchor,
        [&m] {
            if (m.sink) m.sink->stop();
            delete m.sink;
            delete m.feed;
        },
        Qt::BlockingQueuedConnection);
    m.thread->quit();
    m.thread->wait();
    delete m.anchor;
    delete m.thread;
}

std::unique_ptr<Output> Output::createNull() {
    return std::unique_ptr<Output>(new Output(Kind::null));
}

std::unique_ptr<Output> Output::create() {
    if (!QCoreApplication::instance()) return createNull();
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull()) return createNull();
    QAudioFormat format;
    format.setSampleRate(sampleRate);
    format.setChannelCount(channels);
    format.setSampleFormat(QAudioFormat::Float);
    bool int16 = false;
    if (!device.isFormatSupported(format)) {
        format.setSampleFormat(QAudioFormat::Int16);
        if (!device.isFormatSupported(format)) return createNull();
        int16 = true;
    }

    std::unique_ptr<Output> out(new Output(Kind::device));
    Impl& m = *out->impl_;
    m.int16 = int16;
    m.deviceBufferFrames = std::int64_t(kDeviceBufferSeconds * sampleRate);
    // The sink runs on a thread of its own, so a busy GUI thread does not starve the device.
    m.thread = new QThread;
    m.thread->setObjectName(QStringLiteral("audio output"));
    m.anchor = new QObject;
    m.anchor->moveToThread(m.thread);
    m.thread->start(QThread::TimeCriticalPriority);
    QMetaObject::invokeMethod(
        m.anchor,
        [&m, device, format] {
            m.feed = new DeviceFeed(m);
            m.feed->open(QIODevice::ReadOnly);
            m.sink = new QAudioSink(device, format);
            m.sink->setBufferSize(qsizetype(m.deviceBufferFrames) * format.bytesPerFrame());
            QObject::connect(m.sink, &QAudioSink::stateChanged, m.sink, [&m](QAudio::State) {
                const QAudio::Error e = m.sink->error();
                if (e == QAudio::OpenError || e == QAudio::IOError || e == QAudio::FatalError) {
                    std::lock_guard lock(m.mutex);
                    m.lastTick = Clock::now();
                    m.failed = true;
                }
            });
            m.sink->start(m.feed);
            if (m.sink->error() != QAudio::NoError) m.failed = true;
        },
        Qt::BlockingQueuedConnection);
    return out;
}

Output::Kind Output::kind() const {
    return impl_->clockDriven() ? Kind::null : Kind::device;
}

std::size_t Output::write(const float* samples, std::size_t frames) {
    Impl& m = *impl_;
    std::lock_guard lock(m.mutex);
    m.advance();
    const std::size_t n = std::min(frames, kRingFrames - m.count);
    std::size_t at = (m.readAt + m.count) % kRingFrames;
    for (std::size_t i = 0; i < n;) {
        const std::size_t run = std::min(n - i, kRingFrames - at);
        std::memcpy(&m.ring[at * channels], samples + i * channels, run * channels * sizeof(float));
        i += run;
        at = (at + run) % kRingFrames;
    }
    m.count += n;
    return n;
}

std::size_t Output::space() const {
    std::lock_guard lock(impl_->mutex);
    impl_->advance();
    return kRingFrames - impl_->count;
}

void Output::clear() {
    std::lock_guard lock(impl_->mutex);
    impl_->advance();
    impl_->readAt = 0;
    impl_->count = 0;
}

void Output::start() {
    Impl& m = *impl_;
    std::lock_guard lock(m.mutex);
    if (m.running) return;
    m.advance();
    m.running = true;
    m.owed = 0;
    m.takenAtStart = m.taken;
}

void Output::stop() {
    Impl& m = *impl_;
    std::lock_guard lock(m.mutex);
    m.advance();
    m.running = false;
    // What the device still holds plays out; count it as heard so a restart does not jump.
    m.reported = std::max(m.reported, m.taken);
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
    m.advance();
    if (m.clockDriven()) return m.reported = std::max(m.reported, m.taken);
    const std::int64_t latency = m.running ? std::min(m.deviceBufferFrames, m.taken - m.takenAtStart) : 0;
    return m.reported = std::max(m.reported, m.taken - latency);
}

} // namespace osterveil::audio
