#include "Platform/Media/PlayerSources.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Platform/Foundation/Background.hpp"
#include "Platform/Foundation/Cores.hpp"
#include "Platform/Media/ImageGenerator.hpp"
#include "Platform/Media/PlayerRenderer.hpp"
#include "Platform/Media/VideoCompositor.hpp"

namespace osterveil::media::detail {

namespace {

using Clock = std::chrono::steady_clock;

const Time kTick(1, Time::modelTimescale);

// A source's decoder opened and its picture at `at` decoded on a thread of its own, beside the reading of
// the stretch before. Whoever holds it waits for it only to use it: let go before it is done, it is
// cancelled and ends on its own at the lowest priority, and its thread is joined in the background;
// nothing that goes away (a player, an item) waits for a decoder's open and first picture, nor shares
// the machine with it.
class WarmSource {
  public:
    WarmSource(std::shared_ptr<const AssetTrack> source, const Time& at, std::size_t allowance, int direction)
        : shared_(std::make_shared<Shared>()) {
        thread_ = std::thread([shared = shared_, source = std::move(source), at, allowance, direction] {
            const auto started = Clock::now();
            {
                std::lock_guard lock(shared->mutex);
                shared->name = nameThreadUniquely("ov-warm");
            }
            std::unique_ptr<SourceDecoder> decoder;
            try {
                if (!shared->cancelled) decoder = std::make_unique<SourceDecoder>(source, allowance);
                if (decoder) decoder->setDirection(direction);
                if (!shared->cancelled && decoder) decoder->frame(at, Time::zero(), Time::zero());
            } catch (const std::exception&) {
                decoder.reset(); // opened again when read, failing there as it would have
            }
            std::lock_guard lock(shared->mutex);
            shared->seconds = std::chrono::duration<double>(Clock::now() - started).count();
            if (!shared->cancelled) shared->decoder = std::move(decoder);
            shared->done = true;
            shared->finished.notify_all();
        });
    }

    ~WarmSource() {
        if (!thread_.joinable()) return;
        cancel();
        finishInBackground([thread = std::make_shared<std::thread>(std::move(thread_))] { thread->join(); });
    }

    // What it does from now on is not wanted: it stops where it can, below everything else.
    void cancel() {
        std::string name;
        {
            std::lock_guard lock(shared_->mutex);
            if (shared_->cancelled || shared_->done) return;
            shared_->cancelled = true;
            name = shared_->name;
        }
        if (!name.empty()) lowerThreadsNamed(name);
    }

    WarmSource(const WarmSource&) = delete;
    WarmSource& operator=(const WarmSource&) = delete;

    bool ready() const {
        std::lock_guard lock(shared_->mutex);
        return shared_->done;
    }

    // Waits for it, until `superseded` tells (asked every few milliseconds) that it is not wanted any
    // more, which throws `ReadingSuperseded`; the decoder, none when it could not be opened, and what
    // opening and decoding took (wall seconds).
    std::unique_ptr<SourceDecoder> take(double& seconds, const std::function<bool()>& superseded) {
        {
            std::unique_lock lock(shared_->mutex);
            while (!shared_->done) {
                if (superseded()) throw ReadingSuperseded();
                shared_->finished.wait_for(lock, std::chrono::milliseconds(5));
            }
        }
        if (thread_.joinable()) thread_.join();
        std::lock_guard lock(shared_->mutex);
        seconds = shared_->seconds;
        return std::move(shared_->decoder);
    }

  private:
    struct Shared {
        mutable std::mutex mutex;
        std::condition_variable finished;
        std::atomic<bool> cancelled{false};
        std::string name; // of its thread and its codec's
        bool done = false;
        std::unique_ptr<SourceDecoder> decoder;
        double seconds = 0;
    };
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

// A file's picture stream, turned upright and scaled to fit.
class FileSource : public FrameSource {
  public:
    FileSource(const PlayerItem& item, PictureBudget& budget)
        : budget_(budget), decoder_(item.videoTrack(), budget.bytes), track_(item.videoTrack()),
          transform_(item.videoTrack()->preferredTransform), maximum_(item.maximumSize()) {
        // Black of the pictures' own shape, so that the view keeps its fit when it stands in for one.
        const AssetTrack& track = *item.videoTrack();
        if (track.naturalSize.width > 0 && track.naturalSize.height > 0)
            size_ = shownPictureSize(track.naturalSize, transform_, track.pixelAspect, maximum_);
        budget_.held = 0;
        budget_.decoders = 1;
    }

    Prepared prepare(const Time& time, const Time& before, const Time& after) override {
        // A picture due a hair after the time is the one shown, as in a composition.
        const Time end = track_->timeRange.end();
        Time t = time + pictureTolerance(track_->nominalFrameRate);
        if (end.isNumeric()) t = std::max(time, std::min(t, end - kTick));
        last_ = t;
        decoder_.setAllowance(budget_.bytes);
        auto frame = decoder_.frame(t, before, after);
        budget_.held = decoder_.footprint();
        Prepared p;
        p.exact = before <= Time::zero() && after <= Time::zero() && !(frame && frame->approximate);
        p.finish = [frame, transform = transform_, pixelAspect = track_->pixelAspect, maximum = maximum_,
                    size = size_] {
            return frame ? pictureFromFrame(*frame, transform, pixelAspect, maximum)
                         : blackPicture(int(size.width), int(size.height));
        };
        return p;
    }
    void setDirection(int direction) override { decoder_.setDirection(direction); }
    void setCatchingUp(bool on) override { decoder_.setCatchingUp(on); }
    bool prefetch() override {
        const bool worked = last_ && decoder_.prefetch(*last_);
        budget_.held = decoder_.footprint();
        return worked;
    }
    Size pictureSize() const override { return size_; }
    Stretch stretchAt(const Time&) const override { return {this, 0}; }
    std::optional<Time> stretchEnd(const Time&) const override { return std::nullopt; }
    std::optional<Time> keyFrameAfter(const Time& t) override { return decoder_.keyFrameAfter(t); }

  private:
    PictureBudget& budget_;
    SourceDecoder decoder_;
    std::shared_ptr<const AssetTrack> track_;
    AffineTransform transform_;
    Size maximum_;
    Size size_;
    std::optional<Time> last_;
};

// A composition's picture: the sources each instruction needs, decoded (several streams at once
// during a dissolve) and handed to the item's compositor.
class CompositionSource : public FrameSource {
  public:
    // Takes over `before`'s decoders, with the pictures they hold: an edit's new item reads mostly the
    // same sources, and decoding the playhead's picture again would cost most of the edit's wait.
    // Decoders of sources the new item does not read close with `before`.
    CompositionSource(const PlayerItem& item, FrameSource* before, PictureBudget& budget)
        : budget_(budget), composition_(item.audioComposition()), video_(*item.videoComposition()),
          compositor_(video_.makeCompositor()),
          pool_(std::make_shared<PixelBufferPool>(std::max(1, int(video_.renderSize.width)),
                                                  std::max(1, int(video_.renderSize.height)),
                                                  PlayerRenderer::queueCapacity + composingPictures + 4)),
          decoders_(budget) {
        auto* previous = dynamic_cast<CompositionSource*>(before);
        if (previous) {
            direction_ = previous->direction_;
            catchingUp_ = previous->catchingUp_;
            // Sources still opening come along whatever the new item reads, rather than be waited for
            // here; those it does not read close later with the others it does not.
            warming_ = std::move(previous->warming_);
            std::vector<const AssetTrack*> sources;
            for (const auto& track : composition_->tracks())
                for (const auto& segment : track.segments())
                    if (segment.source) sources.push_back(segment.source.get());
            decoders_.takeOver(previous->decoders_, sources);
        }
        decoders_.account();
    }

    ~CompositionSource() override {
        if (compositor_) compositor_->cancelAllPendingRequests();
    }

    // Decoders read ahead join the others once ready, or at once when `waiting` (a picture needs them).
    void adoptWarmed(bool waiting) {
        for (auto it = warming_.begin(); it != warming_.end();) {
            if (!waiting && !it->second->ready()) {
                ++it;
                continue;
            }
            double seconds = 0;
            if (auto decoder = it->second->take(seconds, [this] { return superseded(); })) {
                opening_[it->first] = seconds;
                decoder->setCatchingUp(catchingUp_);
                decoder->setDirection(direction_);
                decoders_.add(it->first, std::move(decoder), lastTime_);
            }
            it = warming_.erase(it);
        }
    }

    Prepared prepare(const Time& t, const Time& before, const Time& after) override {
        lastTime_ = t.toSeconds();
        adoptWarmed(!warming_.empty() && std::any_of(warming_.begin(), warming_.end(),
                                                     [&](const auto& w) { return readsAt(t, w.first); }));
        std::shared_ptr<const CompositionInstruction> instruction;
        if (const CompositionInstruction* found = video_.instruction(t))
            for (const auto& i : video_.instructions)
                if (i.get() == found) instruction = i;
        struct Job {
            std::int32_t trackID;
            SourceDecoder* decoder;
            Time time, before, after;
            std::shared_ptr<const VideoFrame> frame;
        };
        std::vector<Job> jobs;
        decoders_.begin();
        if (instruction) {
            for (std::int32_t id : instruction->decodedSourceTrackIDs()) {
                const CompositionTrack* track = composition_->track(id);
                const auto position = track ? track->sourcePosition(t) : std::nullopt;
                if (!position) continue;
                // Tolerance stays within the stretch of source the segment plays.
                const Time at = pictureTime(*position);
                const Time lo = std::max(at - before, position->sourceRange.start);
                const Time hi = std::max(at, std::min(at + after, position->sourceRange.end() - kTick));
                SourceDecoder& decoder =
                    decoders_.read(position->track, at, t.toSeconds(), direction_, catchingUp_);
                jobs.push_back({id, &decoder, at, std::max(at - lo, Time::zero()), hi - at, nullptr});
            }
        }
        decoders_.end(t.toSeconds());
        // Streams of one file share a decoder and decode in turn; different ones decode at once.
        std::map<SourceDecoder*, std::vector<Job*>> byDecoder;
        for (auto& j : jobs)
            byDecoder[j.decoder].push_back(&j);
        auto decode = [](const std::vector<Job*>& mine) {
            for (Job* j : mine)
                j->frame = j->decoder->frame(j->time, j->before, j->after);
        };
        if (byDecoder.size() <= 1) {
            for (auto& [d, mine] : byDecoder)
                decode(mine);
        } else {
            std::vector<std::future<void>> running;
            for (auto& [d, mine] : byDecoder)
                running.push_back(std::async(std::launch::async, decode, mine));
            for (auto& r : running)
                r.get();
        }
        decoders_.keepWithinBudget();
        std::unordered_map<std::int32_t, std::shared_ptr<const VideoFrame>> sources;
        bool approximate = false;
        for (auto& j : jobs)
            if (j.frame) {
                approximate = approximate || j.frame->approximate;
                sources.emplace(j.trackID, std::move(j.frame));
            }
        auto request =
            std::make_shared<CompositionRequest>(t, std::move(instruction), std::move(sources), pool_);
        Prepared p;
        p.exact = before <= Time::zero() && after <= Time::zero() && !approximate;
        p.finish = [request, compositor = compositor_] {
            if (request->instruction()) compositor->startRequest(*request);
            if (request->status() == CompositionRequest::Status::composed && !request->result().isNull())
                return request->result();
            const Size size = request->renderSize();
            return blackPicture(int(size.width), int(size.height));
        };
        return p;
    }

    void setDirection(int direction) override {
        direction_ = direction;
        catchingUp_ = catchingUp_ && direction > 0;
        decoders_.forEach([&](SourceDecoder& d) { d.setDirection(direction); });
    }

    void setCatchingUp(bool on) override {
        if (on == catchingUp_) return;
        catchingUp_ = on;
        decoders_.forEach([&](SourceDecoder& d) { d.setCatchingUp(on); });
    }

    bool prefetch() override {
        bool worked = false;
        for (auto& [decoder, time] : decoders_.used())
            worked = decoder->prefetch(time) || worked;
        decoders_.keepWithinBudget();
        return worked;
    }

    Size pictureSize() const override { return {double(pool_->width()), double(pool_->height())}; }
    Stretch stretchAt(const Time& t) const override {
        const CompositionInstruction* instruction = video_.instruction(t);
        if (!instruction) return {};
        const auto ids = instruction->decodedSourceTrackIDs();
        if (ids.size() != 1) return {instruction, 0};
        const CompositionTrack* track = composition_->track(ids.front());
        const auto position = track ? track->sourcePosition(t) : std::nullopt;
        if (!position) return {instruction, 0};
        return {
            position->track.get(),
            position->target.start.converted(Time::modelTimescale, Rounding::towardNegativeInfinity).value()};
    }

    std::optional<Time> stretchEnd(const Time& t) const override {
        // Instructions may split a stretch (where what is drawn under a clip changes): the stretch ends
        // where the reading changes.
        const Stretch stretch = stretchAt(t);
        std::optional<Time> end;
        for (const CompositionInstruction* i = video_.instruction(t);
             i && stretchAt(i->timeRange().start) == stretch; i = video_.instruction(i->timeRange().end())) {
            if (end && i->timeRange().end() <= *end) break;
            end = i->timeRange().end();
        }
        return end;
    }

    // Sources not open yet open and decode on a thread of their own, beside the reading of the stretch
    // before (which may itself be behind): they join the others when they are read, or once ready.
    void warm(const Time& t) override {
        const CompositionInstruction* instruction = video_.instruction(t);
        if (!instruction) return;
        for (std::int32_t id : instruction->decodedSourceTrackIDs()) {
            const CompositionTrack* track = composition_->track(id);
            const auto position = track ? track->sourcePosition(t) : std::nullopt;
            if (!position || decoders_.contains(position->track.get()) ||
                warming_.count(position->track.get()))
                continue;
            warming_[position->track.get()] = std::make_unique<WarmSource>(
                position->track, pictureTime(*position), std::size_t(budget_.bytes), direction_);
        }
    }

    void stopWarming() override {
        for (auto& [source, warming] : warming_)
            warming->cancel();
    }

    double openingCost(const Time& t) const override {
        double cost = 0;
        for (const auto& [source, seconds] : opening_)
            if (readsAt(t, source)) cost = std::max(cost, seconds);
        return cost;
    }

    std::optional<Time> keyFrameAfter(const Time& t) override {
        const auto position = onlySourceAt(t);
        if (!position || position->sourceRange.duration <= Time::zero()) return std::nullopt;
        SourceDecoder* decoder = decoders_.find(position->track.get());
        if (!decoder) return std::nullopt;
        const auto key = decoder->keyFrameAfter(position->time);
        if (!key || *key >= position->sourceRange.end()) return std::nullopt;
        // Placed on the item; a speed change is even over its segment.
        const double share =
            (*key - position->sourceRange.start).toSeconds() / position->sourceRange.duration.toSeconds();
        const Time at = position->target.start + Time::seconds(share * position->target.duration.toSeconds());
        if (at >= position->target.end()) return std::nullopt;
        return at;
    }

    double sourceFramesPerFrame(const Time& t, const Time& frame) const override {
        const auto position = onlySourceAt(t);
        if (!position || !position->track || position->target.duration <= Time::zero()) return 1;
        const double speed = position->sourceRange.duration.toSeconds() / position->target.duration.toSeconds();
        return std::max(1.0, position->track->nominalFrameRate * speed * frame.toSeconds());
    }

  private:
    // Where the picture at `t` reads its source, when it reads just one.
    std::optional<SourcePosition> onlySourceAt(const Time& t) const {
        const CompositionInstruction* instruction = video_.instruction(t);
        const auto ids = instruction ? instruction->decodedSourceTrackIDs() : std::vector<std::int32_t>{};
        if (ids.size() != 1) return std::nullopt;
        const CompositionTrack* track = composition_->track(ids.front());
        return track ? track->sourcePosition(t) : std::nullopt;
    }

    // Whether the picture at `t` reads that source.
    bool readsAt(const Time& t, const AssetTrack* source) const {
        const CompositionInstruction* instruction = video_.instruction(t);
        if (!instruction) return false;
        for (std::int32_t id : instruction->decodedSourceTrackIDs()) {
            const CompositionTrack* track = composition_->track(id);
            const auto position = track ? track->sourcePosition(t) : std::nullopt;
            if (position && position->track.get() == source) return true;
        }
        return false;
    }

    PictureBudget& budget_;
    std::shared_ptr<const Composition> composition_;
    VideoComposition video_;
    std::shared_ptr<VideoCompositor> compositor_;
    std::shared_ptr<PixelBufferPool> pool_;
    SourceDecoders decoders_;
    int direction_ = 0;
    bool catchingUp_ = false;
    // Sources being opened and read ahead, what that took (wall seconds), and the item time of the latest
    // picture read.
    std::map<const AssetTrack*, std::unique_ptr<WarmSource>> warming_;
    std::map<const AssetTrack*, double> opening_;
    double lastTime_ = 0;
};

} // namespace

std::unique_ptr<FrameSource> makeSource(const PlayerItem& item, std::unique_ptr<FrameSource> before,
                                        PictureBudget& budget) {
    std::unique_ptr<FrameSource> made;
    try {
        if (item.videoComposition()) {
            made = std::make_unique<CompositionSource>(item, before.get(), budget);
        } else {
            if (before) budget.released = true;
            // Before the file opens, so that nothing read ahead for the item before shares the machine
            // with its first picture.
            letGo(std::move(before));
            if (item.videoTrack()) made = std::make_unique<FileSource>(item, budget);
        }
    } catch (...) {
        letGo(std::move(before));
        throw;
    }
    letGo(std::move(before));
    return made;
}

void letGo(std::unique_ptr<FrameSource> source) {
    if (!source) return;
    source->stopWarming();
    source->abandonWhen(nullptr); // what it was read for may go before it does
    finishInBackground(
        [source = std::shared_ptr<FrameSource>(std::move(source))]() mutable { source.reset(); });
}

PixelBuffer blackPicture(int width, int height) {
    PixelBuffer p = PixelBuffer::make(std::max(1, width), std::max(1, height));
    for (int y = 0; y < p.height(); ++y) {
        std::uint8_t* row = p.row(y);
        for (int x = 0; x < p.width(); ++x)
            row[4 * x + 3] = 255;
    }
    return p;
}

} // namespace osterveil::media::detail
