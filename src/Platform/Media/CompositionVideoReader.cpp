#include "Platform/Media/CompositionVideoReader.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <unordered_map>
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

// Frames planned ahead of the one being assembled, so that a source's decoder opens and decodes up to
// its first picture before a cut or dissolve needs it; a decoder not needed for this long is closed.
constexpr std::int64_t kPlanAhead = 48;

} // namespace

struct CompositionVideoReader::Impl {
    // One source stream with its own decoder on its own thread, decoding the pictures planned for it in
    // order, a bounded number ahead of the frame being assembled. Two tracks showing the same stream
    // share its decoder, so their pictures come from it in turn.
    struct Source {
        std::shared_ptr<const AssetTrack> track;
        std::deque<Time> planned;                             // times still to decode, in order
        std::deque<std::shared_ptr<const VideoFrame>> ready;  // decoded, in the same order
        std::string failure;                                  // why the next picture cannot come
        std::int64_t lastFrame = 0;                           // the last frame planned to show it
        bool retired = false;                                 // nothing more will be planned
        std::thread thread;
    };
    struct PlannedFrame {
        Time time;
        std::shared_ptr<const CompositionInstruction> instruction;
        std::vector<std::pair<std::int32_t, std::shared_ptr<Source>>> sources; // track id, its stream
    };

    std::shared_ptr<const Composition> composition;
    VideoComposition video;
    std::shared_ptr<VideoCompositor> compositor;
    std::shared_ptr<PixelBufferPool> pool;
    Time start;
    std::int64_t count = 0;
    std::size_t maxInFlight = 4;
    std::size_t decodeAhead = 4; // pictures each source may hold decoded

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
    // Every source started, joined when the reader goes (a retired one has ended by then or soon).
    std::vector<std::shared_ptr<Source>> sources;

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

    // A source's thread: opens the decoder, then decodes each planned time while there is room. A
    // source that gives no picture, or whose data ends before a time planned for it, stops with the
    // reason, naming its file: drawing nothing or an old picture in its place would pass it off as
    // the picture.
    void decode(Source& source) {
        std::unique_ptr<VideoDecoder> decoder;
        std::string why;
        try {
            decoder = std::make_unique<VideoDecoder>(source.track);
        } catch (const std::exception& e) {
            why = sourceMessage(source.track->assetPath, e.what());
        }
        for (;;) {
            Time time;
            {
                std::unique_lock lock(mutex);
                if (!why.empty()) {
                    source.failure = std::move(why);
                    changed.notify_all();
                    return;
                }
                changed.wait(lock, [&] {
                    return stopping || (!source.planned.empty() && source.ready.size() < decodeAhead) ||
                           (source.retired && source.planned.empty());
                });
                if (stopping || source.planned.empty()) return;
                time = source.planned.front();
            }
            std::shared_ptr<const VideoFrame> frame;
            try {
                frame = decoder->frameAt(time);
            } catch (const DecodeError&) {
                frame = nullptr;
            } catch (const std::exception& e) { // the file gone or unreadable, memory run out
                why = sourceMessage(source.track->assetPath, e.what());
                continue;
            }
            // A file cut short while it is read would hold its last picture for the rest.
            if (decoder->ranOutBefore(time)) {
                why = cutShortMessage(source.track->assetPath);
                continue;
            }
            if (!frame) {
                why = undecodableMessage(source.track->assetPath);
                continue;
            }
            std::lock_guard lock(mutex);
            source.planned.pop_front();
            source.ready.push_back(std::move(frame));
            changed.notify_all();
        }
    }

    // Plans frame `k`: its instruction and, for each source track it draws, the stream and time; a
    // stream not being decoded yet gets a source of its own. Called with the lock held.
    PlannedFrame plan(std::int64_t k, std::map<DecoderKey, std::shared_ptr<Source>>& open) {
        PlannedFrame p;
        p.time = timeOf(k);
        p.instruction = instructionAt(p.time);
        if (!p.instruction) return p;
        for (std::int32_t id : p.instruction->decodedSourceTrackIDs()) {
            const CompositionTrack* track = composition->track(id);
            if (!track) continue;
            const auto position = track->sourcePosition(p.time);
            if (!position) continue;
            auto& source = open[DecoderKey{position->track->assetPath.string(), position->track->streamIndex}];
            if (!source) {
                source = std::make_shared<Source>();
                source->track = position->track;
                sources.push_back(source);
                source->thread = std::thread([this, s = source.get()] {
                    pthread_setname_np(pthread_self(), "ov-decode");
                    decode(*s);
                });
            }
            source->planned.push_back(pictureTime(*position));
            source->lastFrame = k;
            p.sources.emplace_back(id, source);
        }
        // Streams no frame of the plan shows any more are let go, closing their decoders.
        for (auto it = open.begin(); it != open.end();)
            if (it->second->lastFrame + kPlanAhead < k) {
                it->second->retired = true;
                it = open.erase(it);
            } else {
                ++it;
            }
        return p;
    }

    void produce() {
        try {
            assemble();
        } catch (const std::exception& e) { // a thread that cannot be started, memory that runs out
            fail(e.what());
        }
    }

    // Assembles the frames in order from the sources' pictures, planning ahead of them.
    void assemble() {
        std::map<DecoderKey, std::shared_ptr<Source>> open;
        std::deque<PlannedFrame> plans;
        std::int64_t planned = 0;
        std::unique_lock lock(mutex);
        for (std::int64_t k = 0; k < count; ++k) {
            while (planned < count && planned <= k + kPlanAhead) plans.push_back(plan(planned++, open));
            changed.notify_all();
            changed.wait(lock, [&] { return stopping || produced - consumed < std::int64_t(maxInFlight); });
            if (stopping) return;
            PlannedFrame frame = std::move(plans.front());
            plans.pop_front();
            std::unordered_map<std::int32_t, std::shared_ptr<const VideoFrame>> pictures;
            for (auto& [id, source] : frame.sources) {
                changed.wait(lock, [&, s = source.get()] { return stopping || !s->ready.empty() || !s->failure.empty(); });
                if (stopping) return;
                if (source->ready.empty()) {
                    if (failure.empty()) failure = source->failure;
                    stopping = true;
                    changed.notify_all();
                    return;
                }
                pictures.emplace(id, std::move(source->ready.front()));
                source->ready.pop_front();
            }
            changed.notify_all();
            work.emplace_back(k, std::make_shared<CompositionRequest>(frame.time, std::move(frame.instruction),
                                                                       std::move(pictures), pool));
            ++produced;
        }
        for (auto& [key, source] : open) source->retired = true;
        changed.notify_all();
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
        for (auto& s : sources)
            if (s->thread.joinable()) s->thread.join();
    }
};

CompositionVideoReader::CompositionVideoReader(std::shared_ptr<const Composition> composition,
                                               VideoComposition videoComposition, std::optional<TimeRange> range,
                                               int concurrency, PixelFormat format)
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
    m.decodeAhead = 3;
    if (!fitsFormat(w, h, format) || !m.compositor->rendersInto(format)) format = PixelFormat::bgra8;
    m.pool = std::make_shared<PixelBufferPool>(w, h, 2 * m.maxInFlight + 4, format);
    // Named for profilers and `top`; the decoders' own threads take the name of the source's thread.
    m.producer = std::thread([&m] {
        pthread_setname_np(pthread_self(), "ov-assemble");
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
