#include "Platform/Media/CompositionVideoReader.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <pthread.h>

#include "Platform/Foundation/Cores.hpp"

namespace osterveil::media {

namespace {

struct DecoderKey {
    std::string path;
    int stream;
    bool operator<(const DecoderKey& o) const { return std::tie(path, stream) < std::tie(o.path, o.stream); }
};

} // namespace

struct CompositionVideoReader::Impl {
    std::shared_ptr<const Composition> composition;
    VideoComposition video;
    std::shared_ptr<VideoCompositor> compositor;
    std::shared_ptr<PixelBufferPool> pool;
    Time start;
    std::int64_t count = 0;
    std::size_t maxInFlight = 4;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<std::int64_t, std::shared_ptr<CompositionRequest>>> work;
    std::map<std::int64_t, std::shared_ptr<CompositionRequest>> done;
    std::int64_t produced = 0; // requests made
    std::int64_t consumed = 0; // frames handed out
    bool stopping = false;
    bool cancelled = false;
    std::string failure;

    std::thread producer;
    std::vector<std::thread> workers;

    Time timeOf(std::int64_t k) const {
        return start + Time(video.frameDuration.value() * k, video.frameDuration.timescale());
    }

    std::shared_ptr<const CompositionInstruction> instructionAt(const Time& t) const {
        const CompositionInstruction* found = video.instruction(t);
        for (const auto& i : video.instructions)
            if (i.get() == found) return i;
        return nullptr;
    }

    void fail(const std::string& why) {
        std::lock_guard lock(mutex);
        if (failure.empty()) failure = why;
        stopping = true;
        changed.notify_all();
    }

    void produce() {
        std::map<DecoderKey, std::unique_ptr<VideoDecoder>> decoders;
        try {
            for (std::int64_t k = 0; k < count; ++k) {
                {
                    std::unique_lock lock(mutex);
                    changed.wait(lock, [&] { return stopping || produced - consumed < std::int64_t(maxInFlight); });
                    if (stopping) return;
                }
                const Time t = timeOf(k);
                auto instruction = instructionAt(t);
                std::unordered_map<std::int32_t, std::shared_ptr<const VideoFrame>> sources;
                if (instruction) {
                    struct Job {
                        std::int32_t id;
                        VideoDecoder* decoder;
                        Time time;
                        std::shared_ptr<const VideoFrame> frame;
                    };
                    std::vector<Job> jobs;
                    for (std::int32_t id : instruction->decodedSourceTrackIDs()) {
                        const CompositionTrack* track = composition->track(id);
                        if (!track) continue;
                        const auto position = track->sourcePosition(t);
                        if (!position) continue;
                        const DecoderKey key{position->track->assetPath.string(), position->track->streamIndex};
                        auto& decoder = decoders[key];
                        if (!decoder) {
                            try {
                                decoder = std::make_unique<VideoDecoder>(position->track);
                            } catch (const Error& e) {
                                throw Error(position->track->assetPath.filename().string() + ": " + e.what());
                            }
                        }
                        // Two tracks showing the same stream share its decoder, so they stay in one job.
                        auto same = std::find_if(jobs.begin(), jobs.end(), [&](const Job& j) { return j.decoder == decoder.get(); });
                        if (same != jobs.end()) {
                            same->frame = nullptr;
                            jobs.push_back({id, decoder.get(), position->time, nullptr});
                            continue;
                        }
                        jobs.push_back({id, decoder.get(), position->time, nullptr});
                    }
                    // Each stream decodes on its own thread while a dissolve needs several at once. A
                    // source that gives no picture fails the read, naming its file: drawing nothing
                    // in its place would pass black off as the picture.
                    auto decode = [](std::vector<Job*> mine) {
                        for (Job* j : mine) {
                            try {
                                j->frame = j->decoder->frameAt(j->time);
                            } catch (const DecodeError&) {
                                j->frame = nullptr;
                            }
                            if (!j->frame) throw DecodeError(undecodableMessage(j->decoder->track().assetPath));
                        }
                    };
                    std::map<VideoDecoder*, std::vector<Job*>> byDecoder;
                    for (auto& j : jobs) byDecoder[j.decoder].push_back(&j);
                    if (byDecoder.size() <= 1) {
                        for (auto& [d, mine] : byDecoder) decode(mine);
                    } else {
                        std::vector<std::future<void>> running;
                        for (auto& [d, mine] : byDecoder) running.push_back(std::async(std::launch::async, decode, mine));
                        for (auto& r : running) r.get();
                    }
                    for (auto& j : jobs)
                        if (j.frame) sources.emplace(j.id, std::move(j.frame));
                }
                auto request = std::make_shared<CompositionRequest>(t, std::move(instruction), std::move(sources), pool);
                std::lock_guard lock(mutex);
                work.emplace_back(k, std::move(request));
                ++produced;
                changed.notify_all();
            }
        } catch (const Error& e) {
            fail(e.what());
        }
    }

    void compose() {
        for (;;) {
            std::pair<std::int64_t, std::shared_ptr<CompositionRequest>> job;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return stopping || !work.empty(); });
                if (stopping) return;
                job = std::move(work.front());
                work.pop_front();
            }
            if (!job.second->instruction()) job.second->finish("The composition has no picture at this time.");
            else compositor->startRequest(*job.second);
            if (job.second->status() == CompositionRequest::Status::pending)
                job.second->finish("The compositor did not finish the frame.");
            std::lock_guard lock(mutex);
            done.emplace(job.first, std::move(job.second));
            changed.notify_all();
        }
    }

    void stop() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
            changed.notify_all();
        }
        if (producer.joinable()) producer.join();
        for (auto& w : workers)
            if (w.joinable()) w.join();
    }
};

CompositionVideoReader::CompositionVideoReader(std::shared_ptr<const Composition> composition,
                                               VideoComposition videoComposition, std::optional<TimeRange> range,
                                               int concurrency)
    : impl_(std::make_unique<Impl>()) {
    Impl& m = *impl_;
    m.composition = std::move(composition);
    m.video = std::move(videoComposition);
    if (!m.video.makeCompositor) throw Error("The composition names no compositor.");
    m.compositor = m.video.makeCompositor();
    if (!(m.video.frameDuration > Time::zero())) throw Error("The composition has no frame rate.");
    const int w = static_cast<int>(m.video.renderSize.width), h = static_cast<int>(m.video.renderSize.height);
    const Time end = m.video.instructions.empty() ? Time::zero() : m.video.instructions.back()->timeRange().end();
    const TimeRange wanted = range ? *range : TimeRange::fromStartEnd(Time::zero(), end);
    m.start = wanted.start;
    if (wanted.duration > Time::zero()) {
        // Frames start at every multiple of the frame duration before the range's end.
        const Time span = wanted.duration;
        const __int128 num = static_cast<__int128>(span.value()) * m.video.frameDuration.timescale();
        const __int128 den = static_cast<__int128>(span.timescale()) * m.video.frameDuration.value();
        m.count = static_cast<std::int64_t>((num + den - 1) / den);
    }
    const unsigned threads = concurrency > 0 ? unsigned(concurrency) : unsigned(usableCores());
    // A bounded pipeline: a frame for each worker and two waiting to be handed out, decoded ahead by
    // as many; every frame in flight holds its decoded sources and a finished picture. A consumer
    // that keeps pictures a while (an encoder) gets fresh buffers beyond those the pool keeps.
    m.maxInFlight = threads + 2;
    m.pool = std::make_shared<PixelBufferPool>(w, h, 2 * m.maxInFlight + 4);
    // Named for profilers and `top`; the decoders' own threads, started from the first, take its name.
    m.producer = std::thread([&m] {
        pthread_setname_np(pthread_self(), "ov-decode");
        m.produce();
    });
    for (unsigned i = 0; i < threads; ++i)
        m.workers.emplace_back([&m] {
            pthread_setname_np(pthread_self(), "ov-compose");
            m.compose();
        });
}

CompositionVideoReader::~CompositionVideoReader() { impl_->stop(); }

std::int64_t CompositionVideoReader::frameCount() const { return impl_->count; }

void CompositionVideoReader::cancel() {
    // Only signals: the threads leave at their next look at the flag and are joined by the destructor,
    // so a caller on another thread is never held up by a frame being decoded or composed.
    {
        std::lock_guard lock(impl_->mutex);
        impl_->cancelled = true;
        impl_->stopping = true;
        impl_->changed.notify_all();
    }
    impl_->compositor->cancelAllPendingRequests();
}

std::optional<ComposedFrame> CompositionVideoReader::next() {
    Impl& m = *impl_;
    std::unique_lock lock(m.mutex);
    if (m.cancelled) throw Error("Reading was cancelled.");
    if (m.consumed >= m.count) return std::nullopt;
    m.changed.wait(lock, [&] { return m.done.count(m.consumed) || !m.failure.empty() || m.cancelled; });
    if (m.cancelled) throw Error("Reading was cancelled.");
    auto it = m.done.find(m.consumed);
    if (it == m.done.end()) throw Error(m.failure);
    const auto request = std::move(it->second);
    m.done.erase(it);
    ++m.consumed;
    m.changed.notify_all();
    switch (request->status()) {
    case CompositionRequest::Status::composed: return ComposedFrame{request->result(), request->compositionTime()};
    case CompositionRequest::Status::cancelled: throw Error("Reading was cancelled.");
    default: throw Error(request->error().empty() ? "A frame could not be composed." : request->error());
    }
}

} // namespace osterveil::media
