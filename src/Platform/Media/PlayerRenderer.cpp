#include "Platform/Media/PlayerRenderer.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <future>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "Platform/Audio/Output.hpp"
#include "Platform/Foundation/Cores.hpp"
#include "Platform/Media/CompositionAudioReader.hpp"
#include "Platform/Media/ImageGenerator.hpp"
#include "Platform/Media/VideoCompositor.hpp"
#include "Platform/Media/VideoDecoder.hpp"

namespace osterveil::media::detail {

namespace {

using Clock = std::chrono::steady_clock;

// Pictures composed at once while playing: decoding the next overlaps composing the last.
constexpr std::size_t kComposing = 3;
// After a tolerant seek, the exact picture follows once no newer seek came for this long.
constexpr auto kRefineAfter = std::chrono::milliseconds(150);
// Decoded pictures one source keeps for reverse play and stepping back, by memory, when the player's
// budget leaves it that much.
constexpr std::size_t kCacheBytes = std::size_t(256) << 20;
// Pictures a source keeps whatever its share of the budget: reverse play needs some to run on.
constexpr std::size_t kFewestCached = 16;
// Playing forward keeps this many, so a pause, a rate change or a short seek back starts again without a
// seek.
constexpr std::size_t kForwardCache = 24;
// Reverse play decodes the group of pictures before the cached run once the run reaches back less than this.
constexpr double kPrefetchReach = 1.5;
// The codec threads of each decoder the player keeps: enough to decode ahead of the clock on their own,
// few enough that a sequence cut from many files does not hold a picture per thread per file.
int decoderThreads() {
    static const int threads = std::clamp(usableCores() / 2, 2, 4);
    return threads;
}
// A source not read within this much item time of where reading is closes, with its pictures.
constexpr double kSourceReach = 10;
// Once reading rests this long after it let memory go, the heap's free pages go back to the system (the
// C library keeps the pictures' freed blocks for reuse otherwise). Not sooner: the next decoder would
// fault those pages in again, which costs a seek about 10 ms at 1080p.
constexpr auto kGiveBackAfter = std::chrono::seconds(10);
// Sound is read in pieces of this many frames.
constexpr std::int64_t kSoundChunk = 1024;

// A play that starts on the picture already on screen waits this long at most for the next one before
// its clock and sound start: long enough that the next is on time where it can be, short enough that a
// busy machine still sounds a press at once.
constexpr auto kNextPictureWait = std::chrono::milliseconds(50);

// How late by the clock a picture may still go up, in frames: short of a whole one, as the clock can
// be a few milliseconds off the sound the server plays, and a picture must stay within a frame of it.
constexpr double kLateShare = 0.75;
// A picture later than that still goes up once the one on screen has stood this long (seconds of play):
// on a machine slower than the footage a moving picture a little behind its sound is better than a
// still one. Short enough that such a machine still shows ten pictures a second.
constexpr double kStillLimit = 0.1;
// But none later than this (seconds of item time): reading that falls behind the clock comes back to it
// at a key frame, so as a rule no picture is later than a group of pictures; one later than a second
// says nothing of its sound.
constexpr double kMostLate = 1.0;
// Reading that skips pictures to catch up skips at most this much decoding at a time (seconds).
constexpr double kSkipBudget = 0.1;
// How far ahead (seconds of item time) reading looks for a picture it can have ready by its time.
constexpr double kAimReach = 4.0;
// A stream whose decoding takes this much longer than its pictures play is behind, however far ahead
// reading may be just after a jump to a key frame.
constexpr double kSlowShare = 1.5;
// The first picture of the next stretch is read ahead once it is due within this much (seconds of play),
// and in any case once due within the lesser.
constexpr double kWarmReach = 4.0;
constexpr double kWarmLead = 1.5;
// Decoders jump to a key frame at least this far (seconds) beyond the last picture read, rather than
// decoding on to it.
constexpr double kKeyFrameReach = 0.1;

// The end of an item counts as reached this close to it.
constexpr double kEndSlack = 0.002;
// A picture on screen for less than this when reverse play starts is passed over.
constexpr double kReverseSlack = 0.0001;

const Time kTick(1, Time::modelTimescale);
const Time kForever(86400, 1);

PixelBuffer blackPicture(int width, int height) {
    PixelBuffer p = PixelBuffer::make(std::max(1, width), std::max(1, height));
    for (int y = 0; y < p.height(); ++y) {
        std::uint8_t* row = p.row(y);
        for (int x = 0; x < p.width(); ++x)
            row[4 * x + 3] = 255;
    }
    return p;
}

// The memory the decoders of one player may hold, shared by all of its sources, and what they hold.
// The budget is written on the GUI thread, the rest on the reading thread.
struct PictureBudget {
    std::atomic<std::size_t> bytes{PlayerRenderer::defaultPictureBudget};
    std::atomic<std::size_t> held{0};
    std::atomic<int> decoders{0};
    // Decoders closed since the heap last gave its free pages back.
    bool released = false;
};

// A picture stream's decoder with the pictures it passed through kept for going backwards: each
// remembers where the next decoded picture began, so a cached picture is known to be on screen over
// [its time, the next one's).
class SourceDecoder {
  public:
    // `allowance`: the memory its kept pictures and its codec's own may take (see `setAllowance`).
    SourceDecoder(std::shared_ptr<const AssetTrack> track, std::size_t allowance)
        : decoder_(track, decoderThreads()), start_(track->timeRange.start), allowance_(allowance) {
        decoder_.setFrameObserver(
            [this](const std::shared_ptr<const VideoFrame>& f, bool follows) { keep(f, follows); });
    }

    // A smaller allowance drops the pictures farthest from where reading is at once.
    void setAllowance(std::size_t bytes) {
        allowance_ = bytes;
        if (pictureBytes_ == 0) return;
        capacity_ = capacityFor(bytes);
        trim();
    }

    // The memory its pictures take at most: the most it kept since it opened (pictures it lets go go
    // back to its codec's pool, not to the system, until it closes) and those its codec threads hold.
    std::size_t footprint() const { return (peak_ + codecPictures()) * pictureBytes_; }

    // Which way reading goes: 0 for single pictures, 1 playing forward, -1 in reverse. Playing forward
    // keeps only a second or so, enough to start again where it stopped without a seek.
    void setDirection(int direction) {
        startingBack_ = direction < 0 && (direction_ >= 0 || startingBack_);
        direction_ = direction;
        // Reverse play needs every picture of a group, decoded in a row.
        decoder_.setSkipsUnneededPictures(direction >= 0);
        catchingUp_ = catchingUp_ && direction > 0;
        decode();
        trim();
    }

    // Playing forward behind the clock: pictures a little rougher, sooner (see `VideoDecoder::Decoding`).
    void setCatchingUp(bool on) {
        catchingUp_ = on && direction_ > 0;
        decode();
    }

    std::shared_ptr<const VideoFrame> frame(const Time& t, const Time& before, const Time& after) {
        focus_ = t;
        if (auto hit = cached(t, before, after)) {
            if (startingBack_) completeRun(t);
            startingBack_ = false;
            return hit;
        }
        startingBack_ = false;
        goal_.reset(); // the decoder moves away: a prefetch under way starts again
        return decoder_.frameNear(t, before, after);
    }

    std::optional<Time> keyFrameAfter(const Time& t) { return decoder_.keyFrameAfter(t); }

    // One step of decoding the group of pictures before the cached run that holds `t`; false when
    // there is nothing to do.
    bool prefetch(const Time& t) {
        auto it = covering(t);
        if (it == cache_.end()) return false;
        while (it != cache_.begin()) {
            auto before = std::prev(it);
            if (!before->second.next || *before->second.next != it->first) break;
            it = before;
        }
        const Time runStart = it->first;
        // A full cache of pictures still to come: decoding more would only push them out.
        const auto ahead = std::distance(cache_.begin(), cache_.upper_bound(t));
        if (capacity_ > 0 && std::size_t(ahead) + 1 >= capacity_) return false;
        if (runStart <= start_ || (t - runStart).toSeconds() >= kPrefetchReach || stuckAt_ == runStart)
            return false;
        std::shared_ptr<const VideoFrame> f;
        if (goal_ != runStart) {
            goal_ = runStart;
            f = decoder_.frameNear(runStart - kTick, kForever, Time::zero());
        } else {
            f = decoder_.nextFrame();
        }
        if (!f) {
            stuckAt_ = runStart;
        } else if (f->presentationTime >= runStart) {
            // Reached the run: the observer joined the two, or the stream gives nothing earlier.
            if (covering(runStart - kTick) == cache_.end()) stuckAt_ = runStart;
            goal_.reset();
        }
        return true;
    }

  private:
    struct Entry {
        std::shared_ptr<const VideoFrame> frame;
        std::optional<Time> next;
    };

    // Reverse play starting on a cached picture: the pictures before it were read forward, some of
    // them skipped on the way to a seek. Those missing from its run are decoded now, in a row, before
    // the first picture goes up and the clock starts, rather than one late picture at a time after.
    void completeRun(const Time& t) {
        auto it = covering(t);
        if (it == cache_.end()) return;
        while (it != cache_.begin()) {
            auto before = std::prev(it);
            if (!before->second.next || *before->second.next != it->first) break;
            it = before;
        }
        if (it->first <= start_) return;
        goal_.reset();
        decoder_.frameAt(it->first - kTick);
    }

    void decode() {
        using D = VideoDecoder::Decoding;
        decoder_.setDecoding(catchingUp_ ? D::catchingUp : direction_ != 0 ? D::playback : D::exact);
    }

    std::map<Time, Entry>::iterator covering(const Time& t) {
        auto it = cache_.upper_bound(t);
        if (it == cache_.begin()) return cache_.end();
        --it;
        return it->second.next && t < *it->second.next ? it : cache_.end();
    }

    std::shared_ptr<const VideoFrame> cached(const Time& t, const Time& before, const Time& after) {
        // A picture decoded while catching up serves playback only.
        const auto usable = [&](const std::shared_ptr<const VideoFrame>& f) {
            return direction_ != 0 || !f->approximate ? f : nullptr;
        };
        auto it = covering(t);
        if (it != cache_.end()) return usable(it->second.frame);
        if (before <= Time::zero() && after <= Time::zero()) return nullptr;
        auto in = cache_.lower_bound(t - before);
        if (in != cache_.end() && in->first <= t + after) return usable(in->second.frame);
        it = covering(t - before);
        return it != cache_.end() ? usable(it->second.frame) : nullptr;
    }

    void keep(const std::shared_ptr<const VideoFrame>& f, bool follows) {
        const Time pts = f->presentationTime;
        if (follows && last_) {
            auto prev = cache_.find(*last_);
            if (prev != cache_.end() && *last_ < pts) prev->second.next = pts;
        }
        cache_[pts].frame = f;
        last_ = pts;
        if (pictureBytes_ == 0) {
            pictureBytes_ = std::max<std::size_t>(
                std::size_t(f->width) * std::size_t(f->height) * (f->bitDepth > 8 ? 2 : 1) * 2, 1);
            capacity_ = capacityFor(allowance_);
        }
        trim();
        peak_ = std::max(peak_, cache_.size());
    }

    static std::size_t codecPictures() { return std::size_t(decoderThreads()) + 1; }

    std::size_t capacityFor(std::size_t allowance) const {
        const std::size_t own = codecPictures() * pictureBytes_;
        const std::size_t kept = std::min(kCacheBytes, allowance > own ? allowance - own : 0);
        return std::clamp<std::size_t>(kept / pictureBytes_, kFewestCached, 256);
    }

    void trim() {
        const std::size_t keep = direction_ > 0 ? std::min(capacity_, kForwardCache) : capacity_;
        while (cache_.size() > keep) {
            // Drop the picture farthest from where reading is; those already passed go first.
            auto worst = cache_.begin();
            double worstDistance = -1;
            for (auto it = cache_.begin(); it != cache_.end(); ++it) {
                double d = (it->first - focus_).toSeconds() * (direction_ < 0 ? -1 : 1);
                d = d < 0 ? (direction_ != 0 ? -4 * d : -d) : d;
                if (d > worstDistance) {
                    worstDistance = d;
                    worst = it;
                }
            }
            if (last_ && worst->first == *last_) last_.reset();
            cache_.erase(worst);
        }
    }

    VideoDecoder decoder_;
    Time start_;
    std::map<Time, Entry> cache_;
    std::optional<Time> last_;
    std::size_t allowance_;
    std::size_t pictureBytes_ = 0; // known from the first picture
    std::size_t capacity_ = 0;
    std::size_t peak_ = 0;
    int direction_ = 0;
    Time focus_;
    std::optional<Time> goal_;
    std::optional<Time> stuckAt_;
    bool startingBack_ = false;
    bool catchingUp_ = false;
};

// What reading one picture needs: the decoding is done on the reading thread; `finish` (composing or
// converting) may run elsewhere.
struct Prepared {
    std::function<PixelBuffer()> finish;
    bool exact = true;
};

using Stretch = std::pair<const void*, std::int64_t>;

class FrameSource {
  public:
    virtual ~FrameSource() = default;
    virtual Prepared prepare(const Time& t, const Time& before, const Time& after) = 0;
    virtual void setDirection(int direction) = 0;
    // Reading is behind the clock while playing forward.
    virtual void setCatchingUp(bool on) = 0;
    // One step of reading ahead backwards from the last prepared picture; false when there is none.
    virtual bool prefetch() = 0;
    virtual PixelBuffer black() const = 0;
    // What tells apart the stretches of the item whose pictures are read alike: from the same segment
    // of one source, or under one instruction that reads several.
    virtual Stretch stretchAt(const Time& t) const = 0;
    // Where the stretch of `t` ends, if the item goes on after it.
    virtual std::optional<Time> stretchEnd(const Time& t) const = 0;
    // When the next key frame after `t` of the one source the stretch of `t` reads is on screen, if
    // it is known and within the stretch.
    virtual std::optional<Time> keyFrameAfter(const Time& t) = 0;
    // Decodes the picture at `t`, the first of a stretch to come, so that reading finds it ready there.
    virtual void warm(const Time&) {}
    // What reading ahead the first picture of the stretch of `t` took, when it was (wall seconds; else 0):
    // about what a jump to a key frame takes there.
    virtual double openingCost(const Time&) const { return 0; }
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
    PixelBuffer black() const override { return blackPicture(int(size_.width), int(size_.height)); }
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
    CompositionSource(const PlayerItem& item, std::unique_ptr<FrameSource> before, PictureBudget& budget)
        : budget_(budget), composition_(item.audioComposition()), video_(*item.videoComposition()),
          compositor_(video_.makeCompositor()),
          pool_(std::make_shared<PixelBufferPool>(std::max(1, int(video_.renderSize.width)),
                                                  std::max(1, int(video_.renderSize.height)),
                                                  PlayerRenderer::queueCapacity + kComposing + 4)) {
        auto* previous = dynamic_cast<CompositionSource*>(before.get());
        if (previous) {
            direction_ = previous->direction_;
            catchingUp_ = previous->catchingUp_;
            reads_ = previous->reads_;
            // Sources still opening come along whatever the new item reads, rather than be waited for
            // here; those it does not read close later with the others it does not.
            warming_ = std::move(previous->warming_);
            for (const auto& track : composition_->tracks())
                for (const auto& segment : track.segments())
                    if (segment.source) {
                        if (auto d = previous->decoders_.extract(segment.source.get())) {
                            if (auto use = previous->lastUse_.find(d.mapped().get());
                                use != previous->lastUse_.end())
                                lastUse_.insert(*use);
                            decoders_.insert(std::move(d));
                        }
                    }
            if (!previous->decoders_.empty()) budget_.released = true;
        }
        account();
    }

    ~CompositionSource() override {
        if (compositor_) compositor_->cancelAllPendingRequests();
    }

    // Decoders read ahead join the others once ready, or at once when `waiting` (a picture needs them).
    void adoptWarmed(bool waiting) {
        for (auto it = warming_.begin(); it != warming_.end();) {
            if (!waiting && it->second.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
                ++it;
                continue;
            }
            try {
                Warmed w = it->second.get();
                auto& decoder = w.decoder;
                opening_[it->first] = w.seconds;
                decoder->setCatchingUp(catchingUp_);
                decoder->setDirection(direction_);
                lastUse_[decoder.get()] = {lastTime_, reads_};
                decoders_[it->first] = std::move(decoder);
            } catch (const std::exception&) {
                // opened again when read, failing there as it would have
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
        used_.clear();
        if (instruction) {
            for (std::int32_t id : instruction->decodedSourceTrackIDs()) {
                const CompositionTrack* track = composition_->track(id);
                const auto position = track ? track->sourcePosition(t) : std::nullopt;
                if (!position) continue;
                auto& decoder = decoders_[position->track.get()];
                if (!decoder) {
                    decoder = std::make_unique<SourceDecoder>(position->track, budget_.bytes);
                    decoder->setDirection(direction_);
                    decoder->setCatchingUp(catchingUp_);
                }
                // Tolerance stays within the stretch of source the segment plays.
                const Time at = pictureTime(*position);
                const Time lo = std::max(at - before, position->sourceRange.start);
                const Time hi = std::max(at, std::min(at + after, position->sourceRange.end() - kTick));
                jobs.push_back({id, decoder.get(), at, std::max(at - lo, Time::zero()), hi - at, nullptr});
                used_.emplace_back(decoder.get(), at);
                lastUse_[decoder.get()] = {t.toSeconds(), reads_};
            }
        }
        ++reads_;
        // Sources far from where reading is close; they open again when reading comes back.
        close([&](const SourceDecoder* d) {
            const auto use = lastUse_.find(d);
            return use == lastUse_.end() || std::abs(use->second.time - t.toSeconds()) > kSourceReach;
        });
        shareBudget();
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
        keepWithinBudget();
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
        for (auto& [key, d] : decoders_)
            d->setDirection(direction);
    }

    void setCatchingUp(bool on) override {
        if (on == catchingUp_) return;
        catchingUp_ = on;
        for (auto& [key, d] : decoders_)
            d->setCatchingUp(on);
    }

    bool prefetch() override {
        bool worked = false;
        for (auto& [decoder, time] : used_)
            worked = decoder->prefetch(time) || worked;
        keepWithinBudget();
        return worked;
    }

    PixelBuffer black() const override { return blackPicture(pool_->width(), pool_->height()); }
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
            if (!position || decoders_.count(position->track.get()) || warming_.count(position->track.get()))
                continue;
            warming_[position->track.get()] = std::async(
                std::launch::async, [source = position->track, at = pictureTime(*position),
                                     allowance = std::size_t(budget_.bytes), direction = direction_] {
                    const auto started = Clock::now();
                    Warmed w{std::make_unique<SourceDecoder>(source, allowance), 0};
                    w.decoder->setDirection(direction);
                    w.decoder->frame(at, Time::zero(), Time::zero());
                    w.seconds = std::chrono::duration<double>(Clock::now() - started).count();
                    return w;
                });
        }
    }

    double openingCost(const Time& t) const override {
        double cost = 0;
        for (const auto& [source, seconds] : opening_)
            if (readsAt(t, source)) cost = std::max(cost, seconds);
        return cost;
    }

    std::optional<Time> keyFrameAfter(const Time& t) override {
        const CompositionInstruction* instruction = video_.instruction(t);
        const auto ids = instruction ? instruction->decodedSourceTrackIDs() : std::vector<std::int32_t>{};
        if (ids.size() != 1) return std::nullopt;
        const CompositionTrack* track = composition_->track(ids.front());
        const auto position = track ? track->sourcePosition(t) : std::nullopt;
        if (!position || position->sourceRange.duration <= Time::zero()) return std::nullopt;
        const auto decoder = decoders_.find(position->track.get());
        if (decoder == decoders_.end()) return std::nullopt;
        const auto key = decoder->second->keyFrameAfter(position->time);
        if (!key || *key >= position->sourceRange.end()) return std::nullopt;
        // Placed on the item; a speed change is even over its segment.
        const double share =
            (*key - position->sourceRange.start).toSeconds() / position->sourceRange.duration.toSeconds();
        const Time at = position->target.start + Time::seconds(share * position->target.duration.toSeconds());
        if (at >= position->target.end()) return std::nullopt;
        return at;
    }

  private:
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

    struct Use {
        double time = 0;        // the item time it was last read at
        std::uint64_t read = 0; // and on which reading
    };

    template <class Predicate> void close(Predicate closes) {
        std::erase_if(decoders_, [&](const auto& entry) {
            if (!closes(entry.second.get())) return false;
            lastUse_.erase(entry.second.get());
            budget_.released = true;
            return true;
        });
    }

    // The decoders the latest picture reads share the budget, each as far as one source may keep.
    void shareBudget() {
        if (used_.empty()) return;
        std::vector<SourceDecoder*> readers;
        for (const auto& [d, time] : used_)
            if (std::find(readers.begin(), readers.end(), d) == readers.end()) readers.push_back(d);
        for (SourceDecoder* d : readers)
            d->setAllowance(budget_.bytes / readers.size());
    }

    // Over the budget, the sources the latest picture does not read close, least recently read first.
    void keepWithinBudget() {
        std::size_t held = 0;
        std::vector<std::pair<std::uint64_t, const SourceDecoder*>> idle;
        for (const auto& entry : decoders_) {
            const auto& d = entry.second;
            held += d->footprint();
            const bool reading =
                std::any_of(used_.begin(), used_.end(), [&](const auto& u) { return u.first == d.get(); });
            if (!reading) idle.emplace_back(lastUse_[d.get()].read, d.get());
        }
        std::sort(idle.begin(), idle.end());
        std::size_t closing = 0;
        while (held > budget_.bytes && closing < idle.size())
            held -= idle[closing++].second->footprint();
        idle.resize(closing);
        if (!idle.empty())
            close([&](const SourceDecoder* d) {
                return std::any_of(idle.begin(), idle.end(), [&](const auto& i) { return i.second == d; });
            });
        account();
    }

    void account() {
        std::size_t held = 0;
        for (const auto& [track, d] : decoders_)
            held += d->footprint();
        budget_.held = held;
        budget_.decoders = int(decoders_.size());
    }

    PictureBudget& budget_;
    std::shared_ptr<const Composition> composition_;
    VideoComposition video_;
    std::shared_ptr<VideoCompositor> compositor_;
    std::shared_ptr<PixelBufferPool> pool_;
    // By stream: assets are shared while their files do not change, so one that changed gets a decoder
    // of its own.
    std::map<const AssetTrack*, std::unique_ptr<SourceDecoder>> decoders_;
    std::unordered_map<const SourceDecoder*, Use> lastUse_;
    std::uint64_t reads_ = 0;
    // The decoders the latest picture read, with the source time each read.
    std::vector<std::pair<SourceDecoder*, Time>> used_;
    int direction_ = 0;
    bool catchingUp_ = false;
    // Sources being opened and read ahead, what that took (wall seconds), and the item time of the latest
    // picture read.
    struct Warmed {
        std::unique_ptr<SourceDecoder> decoder;
        double seconds;
    };
    std::map<const AssetTrack*, std::future<Warmed>> warming_;
    std::map<const AssetTrack*, double> opening_;
    double lastTime_ = 0;
};

std::unique_ptr<FrameSource> makeSource(const PlayerItem& item, std::unique_ptr<FrameSource> before,
                                        PictureBudget& budget) {
    if (item.videoComposition()) return std::make_unique<CompositionSource>(item, std::move(before), budget);
    if (before) budget.released = true;
    if (item.videoTrack()) return std::make_unique<FileSource>(item, budget);
    return nullptr;
}

// Gives the pages of the heap's free blocks back to the system.
void giveBackFreePages() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

// Plays sound faster or slower the way tape does: the pitch follows the rate.
class Varispeed {
  public:
    explicit Varispeed(double rate = 1) : rate_(rate) {}

    std::vector<float> process(std::vector<float> in) {
        constexpr int C = CompositionAudioReader::channels;
        if (rate_ == 1.0) return in;
        if (tail_.size() == C) in.insert(in.begin(), tail_.begin(), tail_.end());
        const std::int64_t frames = std::int64_t(in.size()) / C;
        std::vector<float> out;
        if (frames < 2) return out;
        out.reserve(std::size_t(double(frames) / rate_ + 2) * C);
        while (position_ + 1 < double(frames)) {
            const auto i = static_cast<std::int64_t>(position_);
            const float f = static_cast<float>(position_ - double(i));
            for (int c = 0; c < C; ++c) {
                const float a = in[std::size_t(i * C + c)], b = in[std::size_t((i + 1) * C + c)];
                out.push_back(a + (b - a) * f);
            }
            position_ += rate_;
        }
        position_ -= double(frames - 1);
        tail_.assign(in.end() - C, in.end());
        return out;
    }

  private:
    double rate_;
    double position_ = 0;
    std::vector<float> tail_;
};

} // namespace

struct PlayerRenderer::Impl {
    audio::Output& output;
    std::function<void()> wake;
    Opened opened;

    std::mutex mutex;
    std::condition_variable renderChanged;
    std::condition_variable soundChanged;
    PlayerRequest current;
    Clock::time_point requestedAt;
    std::deque<QueuedFrame> queue;
    std::uint64_t soundReady = 0; // the generation whose sound is queued (or needs none)
    bool soundPlays = false;      // and whether it has any
    bool stopping = false;
    bool wakePending = false;
    std::atomic<double> clock{std::numeric_limits<double>::quiet_NaN()};
    std::atomic<std::int64_t> skipped{0};
    PictureBudget budget;

    std::thread renderThread;
    std::thread soundThread;

    Impl(audio::Output& o, std::function<void()> w, Opened op)
        : output(o), wake(std::move(w)), opened(std::move(op)) {}

    // Under the lock.
    void wakeUp() {
        if (wakePending || !wake) return;
        wakePending = true;
        wake();
    }

    void push(QueuedFrame f, const PlayerRequest& from) {
        std::lock_guard lock(mutex);
        if (f.generation != current.generation) {
            // Seeks coming faster than pictures: the picture of a superseded one still goes up, so
            // scrubbing shows the nearest picture there is rather than none until the pointer rests;
            // likewise an edit's preview that a newer one replaced while it was composed.
            if (from.mode != PlayerRequest::Mode::still || current.mode != PlayerRequest::Mode::still ||
                (from.item != current.item && !current.keepsPicture))
                return;
            f.generation = current.generation;
        }
        queue.push_back(std::move(f));
        wakeUp();
    }

    void render();
    void feedSound();
};

void PlayerRenderer::Impl::render() {
    struct InFlight {
        double due = 0, time = 0;
        std::future<PixelBuffer> picture;
        bool end = false;
        Stretch stretch;
        std::int64_t index = 0;
        Clock::time_point started;
        double decoded = 0; // wall seconds its decoding took
        bool exact = true;  // not decoded while catching up
    };
    std::uint64_t handled = 0, opening = 0;
    PlayerRequest r;
    std::shared_ptr<const PlayerItem> item;
    std::unique_ptr<FrameSource> source;
    std::deque<InFlight> inflight;
    // Playing: the next picture on the item's frame grid, stepping by `stride` in `direction`.
    std::int64_t next = 0, stride = 1, frames = 0;
    int direction = 1;
    bool first = true, ended = false, prefetching = false;
    // The first picture of the stretch to come, to read ahead, and the last one read ahead (−1: none).
    std::int64_t warmAt = -1, warmed = -1;
    // How reading of one stretch keeps up with the clock: whether its latest picture came after its
    // time; what decoding took a frame of progress; and how long a picture took from the start of its
    // reading to the queue (wall seconds).
    struct Pace {
        Stretch stretch;
        bool behind = false;
        double perDecoded = 0, latency = 0;
        // What decoding the first picture took, until a picture's whole time is known.
        double firstDecoded = 0;
        // What decoding took when reading jumped to a key frame, and what a picture takes from decoded
        // to queued (composing, and waiting for those composed before it).
        double keyDecoded = 0, finishing = 0;
        std::optional<std::int64_t> lastRead;
        int pictures = 0;
        double readTime() const { return latency > 0 ? latency : firstDecoded; }
    } pace;
    // Still: the picture is owed; a tolerant one is refined later.
    bool stillOwed = false;
    bool refine = false;
    Clock::time_point refineAt{};

    const auto frameTime = [&](std::int64_t k) {
        const Time& fd = item->frameDuration();
        return Time(fd.value() * k, fd.timescale());
    };
    const auto frameIndex = [&](double seconds) {
        const Time t = Time::seconds(seconds);
        const Time& fd = item->frameDuration();
        const __int128 num = __int128(t.value()) * fd.timescale(), den = __int128(t.timescale()) * fd.value();
        return std::int64_t(num / den);
    };
    // The picture at the very end of the item is its last one.
    const auto pictureTime = [&](double seconds) {
        return frames > 0 ? std::min(Time::seconds(seconds), frameTime(frames - 1)) : Time::seconds(seconds);
    };
    // Reads one picture now; a failure shows black rather than stopping playback.
    const auto readNow = [&](const Time& t, const Time& before, const Time& after,
                             bool& exact) -> PixelBuffer {
        try {
            Prepared p = source->prepare(t, before, after);
            exact = p.exact;
            return p.finish();
        } catch (const std::exception&) {
            exact = true;
            return source->black();
        }
    };

    for (;;) {
        std::unique_lock lock(mutex);
        for (;;) {
            if (stopping) {
                lock.unlock();
                inflight.clear();
                return;
            }
            if (current.generation != handled) break;
            if (r.mode == PlayerRequest::Mode::still) {
                if (stillOwed) break;
                if (refine) {
                    if (Clock::now() >= refineAt) break;
                    renderChanged.wait_until(lock, refineAt);
                    continue;
                }
            } else if (r.mode == PlayerRequest::Mode::play) {
                if (!inflight.empty() || (!ended && queue.size() + inflight.size() < queueCapacity) ||
                    prefetching || warmAt >= 0)
                    break;
            }
            if (budget.released) {
                if (renderChanged.wait_for(lock, kGiveBackAfter) == std::cv_status::timeout && !stopping &&
                    current.generation == handled) {
                    budget.released = false;
                    lock.unlock();
                    giveBackFreePages();
                    lock.lock();
                }
                continue;
            }
            renderChanged.wait(lock);
        }

        if (current.generation != handled) {
            PlayerRequest fresh = current;
            handled = fresh.generation;
            lock.unlock();
            inflight.clear(); // waits for pictures still composing for the old request
            if (!fresh.item && fresh.opening != 0) {
                // A file to open: read here, never on the GUI thread. Until the player asks again with
                // the item, there is nothing to read.
                if (fresh.opening != opening) {
                    opening = fresh.opening;
                    std::shared_ptr<const PlayerItem> file;
                    try {
                        file = PlayerItem::file(fresh.file);
                    } catch (const std::exception&) {
                    }
                    if (opened) opened(opening, std::move(file));
                }
                fresh.mode = PlayerRequest::Mode::idle;
            }
            if (fresh.item != item) {
                item = fresh.item;
                try {
                    source = item ? makeSource(*item, std::move(source), budget) : nullptr;
                } catch (const std::exception&) {
                    source.reset(); // an unreadable picture stream: the item plays without picture
                }
                if (!source) {
                    budget.released = true;
                    budget.held = 0;
                    budget.decoders = 0;
                }
            }
            r = fresh;
            refine = false;
            if (item) {
                const double fd = item->frameDuration().toSeconds();
                frames = static_cast<std::int64_t>(std::ceil(item->duration() / fd - 1e-9));
            }
            stillOwed = r.mode == PlayerRequest::Mode::still && source;
            if (r.mode == PlayerRequest::Mode::play) {
                direction = r.rate < 0 ? -1 : 1;
                stride = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::floor(std::abs(r.rate))));
                first = true;
                ended = false;
                prefetching = false;
                warmAt = warmed = -1;
                pace = Pace{};
                if (item) next = frameIndex(std::clamp(r.time, 0.0, item->duration()));
            }
            if (source) source->setDirection(r.mode == PlayerRequest::Mode::play ? direction : 0);
            continue;
        }
        lock.unlock();

        if (r.mode == PlayerRequest::Mode::still) {
            if (!source) {
                stillOwed = false;
                continue;
            }
            bool exact = true;
            QueuedFrame f{handled, r.time, r.time, {}, false};
            if (stillOwed) {
                stillOwed = false;
                f.picture = readNow(pictureTime(r.time), Time::seconds(std::max(0.0, r.toleranceBefore)),
                                    Time::seconds(std::max(0.0, r.toleranceAfter)), exact);
                if (!exact) {
                    f.exact = false;
                    refine = true;
                    refineAt = Clock::now() + kRefineAfter;
                }
            } else {
                refine = false;
                f.picture = readNow(pictureTime(r.time), Time::zero(), Time::zero(), exact);
            }
            push(std::move(f), r);
            continue;
        }

        // Playing: queue the pictures composed, oldest first, as soon as they are (not once the ones
        // started after them are decoded); then start the next while there is room, or else wait for
        // the oldest.
        const auto queueOldest = [&] {
            InFlight job = std::move(inflight.front());
            inflight.pop_front();
            QueuedFrame f{handled, job.due, job.time, {}, job.end, job.exact};
            if (job.picture.valid()) f.picture = job.picture.get();
            if (const double now = clock.load(); std::isfinite(now) && !job.end) {
                const auto wall = Clock::now();
                const bool late = direction * (now - job.due) > 0;
                if (job.stretch == pace.stretch) {
                    const double sample = std::chrono::duration<double>(wall - job.started).count();
                    const double finishing = std::max(0.0, sample - job.decoded);
                    pace.finishing = pace.finishing > 0 ? 0.7 * pace.finishing + 0.3 * finishing : finishing;
                    if (++pace.pictures > 1)
                        pace.latency = pace.latency > 0 ? 0.7 * pace.latency + 0.3 * sample : sample;
                    pace.behind = late;
                }
            }
            push(std::move(f), r);
        };
        const auto composed = [](const InFlight& j) {
            return !j.picture.valid() ||
                   j.picture.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        };
        while (!inflight.empty() && composed(inflight.front()))
            queueOldest();
        bool room = false;
        if (!ended && inflight.size() < kComposing) {
            std::lock_guard guard(mutex);
            room = queue.size() + inflight.size() < queueCapacity;
        }
        // The first picture of the next stretch may take long (a decoder to open, a key frame far
        // before it): it is read ahead beside this one's, so that it neither starts late nor waits for a
        // stretch that cannot keep up. Not before reading here is ahead (the queue full), as it takes
        // its share of the machine, unless it is due soon.
        bool warmNow = false;
        if (warmAt >= 0) {
            const double now = clock.load();
            warmNow =
                !room || (std::isfinite(now) && double(warmAt) * item->frameDuration().toSeconds() - now <
                                                    kWarmLead * std::abs(r.rate));
        }
        if (warmNow) {
            warmed = warmAt;
            warmAt = -1;
            try {
                source->warm(frameTime(warmed));
            } catch (const std::exception&) {
            }
        } else if (room) {
            InFlight job;
            // Reading jumps to a key frame ahead for this picture, or passes over pictures to it.
            bool jumping = false, skipping = false;
            const double duration = item ? item->duration() : 0;
            if (first && !source) {
                // Nothing to show: only the end, when the clock gets there.
                job.end = true;
                job.due = direction > 0 ? duration : 0;
            } else if (first && !(r.pictureShown && direction > 0)) {
                job.due = job.time = std::clamp(r.time, 0.0, duration);
                if ((direction > 0 && job.due >= duration) || (direction < 0 && job.due <= 0)) job.end = true;
            } else {
                if (first) {
                    // The picture at the start is on screen: reading begins at the next.
                    next = frameIndex(std::clamp(r.time, 0.0, duration)) + stride;
                    first = false;
                }
                const double fd = item->frameDuration().toSeconds();
                const auto dueOf = [&](std::int64_t k) {
                    return direction > 0 ? double(k) * fd : double(k + 1) * fd;
                };
                const double now = clock.load();
                if (std::isfinite(now)) {
                    const double rate = std::abs(r.rate);
                    const auto stretchOf = [&](std::int64_t k) {
                        return source->stretchAt(frameTime(std::clamp<std::int64_t>(k, 0, frames - 1)));
                    };
                    // What reading a picture takes now, on the clock, while pictures come late, or
                    // while only the first of the stretch has been read (which may take seconds).
                    const double lead =
                        direction > 0 && (pace.behind || (pace.lastRead && pace.perDecoded == 0))
                            ? pace.readTime() * rate
                            : 0;
                    // Skip what could only be late, and while pictures come late, what would be by the
                    // time it is read, within the stretch they came from (the next may read faster).
                    std::int64_t to = next;
                    while ((direction > 0 ? to + stride < frames : to - stride >= 0) &&
                           (direction * (dueOf(to) - now) < 0 ||
                            (direction * (dueOf(to) - now) < lead && stretchOf(to) == pace.stretch)))
                        to += direction * stride;
                    if (direction > 0) {
                        const auto frameAt = [&](const Time& t) {
                            return std::int64_t(std::ceil(t.toSeconds() / fd - 1e-6));
                        };
                        const auto end = source->stretchEnd(frameTime(next));
                        const std::int64_t stretchEnd = end ? std::min(frames, frameAt(*end)) : frames;
                        const auto key = source->keyFrameAfter(frameTime(next));
                        const std::int64_t k = key ? frameAt(*key) : frames;
                        // Once what reading takes here is known: the first picture from the next on
                        // that would be queued by its time, decoding on from the last one read or from
                        // a key frame the decoder jumps to on the way, then composed.
                        std::optional<std::int64_t> aimed;
                        bool aimedAtKey = false;
                        if (pace.lastRead && pace.perDecoded > 0 && pace.pictures > 0 &&
                            stretchOf(next) == pace.stretch) {
                            const std::int64_t from = *pace.lastRead;
                            const std::int64_t reach =
                                std::min(stretchEnd, next + std::int64_t(std::ceil(kAimReach / fd)));
                            std::vector<std::int64_t> keys;
                            for (auto t = source->keyFrameAfter(frameTime(from)); t && keys.size() < 16;
                                 t = source->keyFrameAfter(*t)) {
                                const std::int64_t at = frameAt(*t);
                                if (at >= reach || (!keys.empty() && at <= keys.back())) break;
                                if (double(at - from) * fd >= kKeyFrameReach) keys.push_back(at);
                            }
                            const ReadingCosts costs{
                                pace.perDecoded, pace.keyDecoded > 0 ? pace.keyDecoded : pace.firstDecoded,
                                pace.finishing};
                            if (const auto a =
                                    aimPicture(from, next, reach, stride, keys, costs, now, rate, fd)) {
                                aimed = a->picture;
                                aimedAtKey = a->fromKeyFrame;
                            }
                        }
                        // What reading the next picture may take: where the stretch is behind, as long as a
                        // jump to a key frame.
                        const double reading = pace.behind || pace.perDecoded * rate > kSlowShare * fd
                                                   ? std::max(pace.readTime(), pace.keyDecoded)
                                                   : pace.readTime();
                        if (stretchEnd > next && dueOf(stretchEnd) < now + reading * rate) {
                            // What is left of the stretch would be read after it has ended.
                            to = stretchEnd;
                        } else if (aimed) {
                            to = *aimed;
                            jumping = aimedAtKey;
                        } else if (k > next && k < stretchEnd && (k <= to || dueOf(k) < now + lead)) {
                            // Skipped pictures are decoded all the same, from the key frame before them:
                            // reading jumps to a key frame ahead once that is due by the time it would be
                            // read, or lies within the skip.
                            to = k;
                            jumping = true;
                        } else if (pace.perDecoded > 0) {
                            // At most a tenth of a second of decoding at a time, so that a picture comes
                            // meanwhile. A stream that decodes slower than it plays so shows a moving
                            // picture, and never falls further behind than a group of pictures.
                            to = std::min(to, next + std::int64_t(kSkipBudget / pace.perDecoded));
                        }
                    }
                    skipped += std::abs(to - next) / stride;
                    skipping = to != next;
                    next = to;
                }
                if (next >= frames || next < 0) {
                    job.end = true;
                    job.due = direction > 0 ? duration : 0;
                } else {
                    job.due = dueOf(next);
                    job.time = double(next) * fd;
                }
            }
            if (job.end) {
                ended = true;
            } else {
                Time t = first ? pictureTime(job.time) : frameTime(next);
                std::int64_t k = first ? frameIndex(job.time) : next;
                if (first && direction < 0 && frames > 0) {
                    // Going back, a picture leaves the screen at its start: from the start of one (or
                    // a hair past it) the one before is the first to show.
                    k = std::min(frames - 1, frameIndex(std::max(0.0, job.due - kReverseSlack)));
                    t = frameTime(k);
                    job.time = t.toSeconds();
                }
                job.stretch = source->stretchAt(t);
                job.index = k;
                // The first picture of a stretch may take long to read: those before it are queued first.
                if (!inflight.empty() && inflight.back().stretch != job.stretch)
                    while (!inflight.empty())
                        queueOldest();
                job.started = Clock::now();
                const double fd = item->frameDuration().toSeconds();
                const double rate = std::abs(r.rate);
                // Reading behind the clock (or passing over pictures to get back to it) in this stretch
                // decodes without the loop filter.
                source->setCatchingUp(
                    direction > 0 && !first && job.stretch == pace.stretch &&
                    (pace.behind || pace.perDecoded * rate > kSlowShare * fd || skipping || jumping));
                try {
                    Prepared p = source->prepare(t, Time::zero(), Time::zero());
                    job.exact = p.exact;
                    // What decoding took, a frame of progress: the first picture of a stretch opens and
                    // seeks, and says little.
                    if (job.stretch != pace.stretch) pace = Pace{job.stretch};
                    job.decoded = std::chrono::duration<double>(Clock::now() - job.started).count();
                    if (!pace.lastRead) {
                        // Read ahead: what that took.
                        pace.firstDecoded = std::max(job.decoded, source->openingCost(t));
                        if (job.decoded < pace.firstDecoded) pace.keyDecoded = pace.firstDecoded;
                    } else if (jumping) {
                        pace.keyDecoded =
                            pace.keyDecoded > 0 ? 0.7 * pace.keyDecoded + 0.3 * job.decoded : job.decoded;
                    } else if (k != *pace.lastRead) {
                        const double sample = job.decoded / double(std::abs(k - *pace.lastRead));
                        pace.perDecoded = pace.perDecoded > 0 ? 0.7 * pace.perDecoded + 0.3 * sample : sample;
                    }
                    pace.lastRead = k;
                    job.picture =
                        std::async(std::launch::async, [finish = std::move(p.finish), src = source.get()] {
                            try {
                                return finish();
                            } catch (const std::exception&) {
                                return src->black();
                            }
                        });
                } catch (const std::exception&) {
                    std::promise<PixelBuffer> black;
                    black.set_value(source->black());
                    job.picture = black.get_future();
                }
                next = k + direction * stride;
                warmAt = -1;
                if (direction > 0 && next < frames) {
                    if (const auto end = source->stretchEnd(frameTime(next))) {
                        const auto at = std::int64_t(std::ceil(end->toSeconds() / fd - 1e-6));
                        const double now = clock.load();
                        const double from = std::isfinite(now) ? now : job.time;
                        if (at < frames && at != warmed && double(at) * fd - from < kWarmReach * rate)
                            warmAt = at;
                    }
                }
            }
            first = false;
            prefetching = direction < 0;
            inflight.push_back(std::move(job));
        } else if (!inflight.empty()) {
            queueOldest();
        } else if (prefetching && source) {
            try {
                prefetching = source->prefetch();
            } catch (const std::exception&) {
                prefetching = false;
            }
        }
    }
}

void PlayerRenderer::Impl::feedSound() {
    std::uint64_t handled = 0;
    std::unique_ptr<CompositionAudioReader> reader;
    Varispeed varispeed;
    std::vector<float> pending;
    std::size_t pendingAt = 0; // frames of `pending` already written
    bool active = false, plays = false;
    std::int64_t left = 0; // frames up to the item's end
    for (;;) {
        PlayerRequest fresh;
        bool renewed = false;
        {
            std::unique_lock lock(mutex);
            const auto changed = [&] { return stopping || current.generation != handled; };
            if (active)
                soundChanged.wait_for(lock, std::chrono::milliseconds(5), changed);
            else
                soundChanged.wait(lock, changed);
            if (stopping) return;
            if (current.generation != handled) {
                fresh = current;
                handled = fresh.generation;
                renewed = true;
            }
        }
        if (renewed) {
            reader.reset();
            pending.clear();
            pendingAt = 0;
            output.clear();
            const auto& item = fresh.item;
            // Sound plays forward up to twice as fast; faster and backwards are silent.
            active = fresh.mode == PlayerRequest::Mode::play && item && item->hasAudio() && fresh.rate > 0 &&
                     fresh.rate <= 2 && fresh.time < item->duration();
            if (active) {
                try {
                    const Time from = Time::seconds(std::max(0.0, fresh.time));
                    reader = std::make_unique<CompositionAudioReader>(
                        item->audioComposition(), item->audioMix(),
                        TimeRange::fromStartEnd(from, Time::seconds(item->duration())), kSoundChunk);
                    varispeed = Varispeed(fresh.rate);
                    left = reader->frameCount();
                } catch (const std::exception&) {
                    active = false;
                }
            }
            plays = active;
        }
        if (active) {
            try {
                for (;;) {
                    constexpr int C = CompositionAudioReader::channels;
                    if (pendingAt * C >= pending.size()) {
                        if (left <= 0) {
                            active = false;
                            break;
                        }
                        std::vector<float> piece;
                        if (reader) {
                            try {
                                if (auto read = reader->next()) piece = std::move(read->samples);
                            } catch (const std::exception&) {
                                reader.reset(); // sound that cannot be decoded: silence to the end, and the
                                                // clock runs on
                            }
                        }
                        if (piece.empty()) piece.assign(std::size_t(std::min(left, kSoundChunk)) * C, 0.0f);
                        left -= std::int64_t(piece.size()) / C;
                        pending = varispeed.process(std::move(piece));
                        pendingAt = 0;
                        continue;
                    }
                    const std::size_t left = pending.size() / C - pendingAt;
                    const std::size_t n = output.write(pending.data() + pendingAt * C, left);
                    pendingAt += n;
                    if (n < left) break; // the ring is full
                }
            } catch (const std::exception&) {
                active = false;
            }
        }
        std::lock_guard lock(mutex);
        if (soundReady != handled && current.generation == handled) {
            soundReady = handled;
            soundPlays = plays;
            wakeUp();
        }
    }
}

PlayerRenderer::PlayerRenderer(audio::Output& output, std::function<void()> wake, Opened opened)
    : impl_(std::make_unique<Impl>(output, std::move(wake), std::move(opened))) {
    impl_->renderThread = std::thread([this] { impl_->render(); });
    impl_->soundThread = std::thread([this] { impl_->feedSound(); });
}

PlayerRenderer::~PlayerRenderer() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->renderChanged.notify_all();
    impl_->soundChanged.notify_all();
    impl_->renderThread.join();
    impl_->soundThread.join();
}

void PlayerRenderer::request(PlayerRequest request) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->current = std::move(request);
        impl_->requestedAt = Clock::now();
        std::erase_if(impl_->queue,
                      [&](const QueuedFrame& f) { return f.generation != impl_->current.generation; });
    }
    impl_->clock = std::numeric_limits<double>::quiet_NaN();
    impl_->renderChanged.notify_all();
    impl_->soundChanged.notify_all();
}

void PlayerRenderer::setClock(double now) {
    impl_->clock = now;
}

bool PlayerRenderer::ready(std::uint64_t generation, bool& withSound) {
    std::lock_guard lock(impl_->mutex);
    impl_->wakePending = false;
    withSound = impl_->soundPlays;
    const bool picture = !impl_->queue.empty() && impl_->queue.front().generation == generation;
    const bool shown = impl_->current.generation == generation && impl_->current.pictureShown &&
                       Clock::now() - impl_->requestedAt >= kNextPictureWait;
    return impl_->soundReady == generation && (picture || shown);
}

PictureChoice choosePicture(std::span<const double> dues, double now, int direction, double frame,
                            double stillFor) {
    const auto isDue = [&](double due) { return direction >= 0 ? due <= now : due >= now; };
    std::size_t due = 0;
    while (due < dues.size() && isDue(dues[due]))
        ++due;
    if (due == 0) return {};
    const double late = direction * (now - dues[due - 1]);
    return {due - 1, late <= kLateShare * frame || (stillFor >= kStillLimit && late <= kMostLate)};
}

std::optional<AimedPicture> aimPicture(std::int64_t from, std::int64_t next, std::int64_t reach,
                                       std::int64_t stride, std::span<const std::int64_t> keys,
                                       const ReadingCosts& costs, double now, double rate, double frame) {
    for (std::int64_t m = next; m < reach; m += std::max<std::int64_t>(1, stride)) {
        std::int64_t start = from;
        double cost = 0;
        for (const std::int64_t at : keys)
            if (at <= m) {
                start = at;
                cost = costs.keyFrame;
            }
        cost += double(m - start) * costs.perFrame + costs.finishing;
        if (now + cost * rate <= double(m) * frame) return AimedPicture{m, start != from};
    }
    return std::nullopt;
}

std::optional<QueuedFrame> PlayerRenderer::takeDue(std::uint64_t generation, std::optional<double> now,
                                                   int direction, double frame, double stillFor,
                                                   std::int64_t& passed) {
    std::optional<QueuedFrame> taken;
    passed = 0;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->wakePending = false;
        auto& q = impl_->queue;
        while (!q.empty() && q.front().generation != generation)
            q.pop_front();
        // The pictures before the end, if it is queued.
        std::size_t pictures = 0;
        while (pictures < q.size() && !q[pictures].end && q[pictures].generation == generation)
            ++pictures;
        const bool endQueued = pictures < q.size() && q[pictures].end && q[pictures].generation == generation;
        PictureChoice choice;
        if (!now) {
            choice = {pictures > 0 ? pictures - 1 : 0, pictures > 0};
        } else {
            std::vector<double> dues(pictures);
            for (std::size_t i = 0; i < pictures; ++i)
                dues[i] = q[i].due;
            choice = choosePicture(dues, *now, direction, frame, stillFor);
        }
        // The end is due a little early: a sound clock can fall short of it by a few samples.
        const bool endDue = endQueued && (!now || (direction >= 0 ? q[pictures].due <= *now + kEndSlack
                                                                  : q[pictures].due >= *now - kEndSlack));
        // At the end a late picture waits no longer.
        if (!choice.shows && endDue && choice.passed + 1 == pictures) ++choice.passed;
        for (std::size_t i = 0; i < choice.passed; ++i)
            q.pop_front();
        passed = std::int64_t(choice.passed);
        if (choice.shows || (endDue && choice.passed == pictures)) {
            // The last picture goes on screen before the end is taken.
            taken = std::move(q.front());
            q.pop_front();
        }
    }
    impl_->renderChanged.notify_all();
    return taken;
}

std::int64_t PlayerRenderer::skippedFrames() const {
    return impl_->skipped.load();
}

void PlayerRenderer::setPictureBudget(std::size_t bytes) {
    impl_->budget.bytes = bytes;
}

std::size_t PlayerRenderer::heldPictureBytes() const {
    return impl_->budget.held;
}

int PlayerRenderer::openDecoders() const {
    return impl_->budget.decoders;
}

} // namespace osterveil::media::detail
