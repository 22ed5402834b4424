#include "Platform/Media/PlayerDecoders.hpp"

#include <algorithm>
#include <cmath>

#include "Platform/Foundation/Cores.hpp"

namespace osterveil::media::detail {

namespace {

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
// A source not read within this much item time of where reading is closes, with its pictures.
constexpr double kSourceReach = 10;
// The share of a source's allowance its decoder may hold decoded ahead to judge the pictures' times.
constexpr std::size_t kLookAheadShare = 8;

const Time kTick(1, Time::modelTimescale);
const Time kForever(86400, 1);

} // namespace

int decoderThreads() {
    static const int threads = std::clamp(usableCores() / 2, 2, 4);
    return threads;
}

SourceDecoder::SourceDecoder(std::shared_ptr<const AssetTrack> track, std::size_t allowance)
    : decoder_(track, decoderThreads()), start_(track->timeRange.start), allowance_(allowance) {
    decoder_.setLookAheadBytes(lookAheadFor(allowance));
    decoder_.setFrameObserver(
        [this](const std::shared_ptr<const VideoFrame>& f, bool follows) { keep(f, follows); });
}

std::size_t SourceDecoder::lookAheadFor(std::size_t allowance) {
    return std::min(VideoDecoder::defaultLookAheadBytes, allowance / kLookAheadShare);
}

void SourceDecoder::setAllowance(std::size_t bytes) {
    allowance_ = bytes;
    decoder_.setLookAheadBytes(lookAheadFor(bytes));
    if (pictureBytes_ == 0) return;
    capacity_ = capacityFor(bytes);
    trim();
}

void SourceDecoder::setDirection(int direction) {
    startingBack_ = direction < 0 && (direction_ >= 0 || startingBack_);
    direction_ = direction;
    // Reverse play needs every picture of a group, decoded in a row.
    decoder_.setSkipsUnneededPictures(direction >= 0);
    catchingUp_ = catchingUp_ && direction > 0;
    decode();
    trim();
}

void SourceDecoder::setCatchingUp(bool on) {
    catchingUp_ = on && direction_ > 0;
    decode();
}

std::shared_ptr<const VideoFrame> SourceDecoder::frame(const Time& t, const Time& before, const Time& after) {
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

bool SourceDecoder::prefetch(const Time& t) {
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

// Reverse play starting on a cached picture: the pictures before it were read forward, some of them
// skipped on the way to a seek. Those missing from its run are decoded now, in a row, before the first
// picture goes up and the clock starts, rather than one late picture at a time after.
void SourceDecoder::completeRun(const Time& t) {
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

void SourceDecoder::decode() {
    using D = VideoDecoder::Decoding;
    decoder_.setDecoding(catchingUp_ ? D::catchingUp : direction_ != 0 ? D::playback : D::exact);
}

std::map<Time, SourceDecoder::Entry>::iterator SourceDecoder::covering(const Time& t) {
    auto it = cache_.upper_bound(t);
    if (it == cache_.begin()) return cache_.end();
    --it;
    return it->second.next && t < *it->second.next ? it : cache_.end();
}

std::shared_ptr<const VideoFrame> SourceDecoder::cached(const Time& t, const Time& before,
                                                        const Time& after) {
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

void SourceDecoder::keep(const std::shared_ptr<const VideoFrame>& f, bool follows) {
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

std::size_t SourceDecoder::capacityFor(std::size_t allowance) const {
    const std::size_t own = codecPictures() * pictureBytes_ + lookAheadFor(allowance);
    const std::size_t kept = std::min(kCacheBytes, allowance > own ? allowance - own : 0);
    return std::clamp<std::size_t>(kept / pictureBytes_, kFewestCached, 256);
}

void SourceDecoder::trim() {
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

void SourceDecoders::takeOver(SourceDecoders& previous, const std::vector<const AssetTrack*>& sources) {
    reads_ = previous.reads_;
    for (const AssetTrack* source : sources)
        if (auto d = previous.decoders_.extract(source)) {
            if (auto use = previous.lastUse_.find(d.mapped().get()); use != previous.lastUse_.end())
                lastUse_.insert(*use);
            decoders_.insert(std::move(d));
        }
    if (!previous.decoders_.empty()) budget_.released = true;
}

void SourceDecoders::add(const AssetTrack* source, std::unique_ptr<SourceDecoder> decoder, double time) {
    lastUse_[decoder.get()] = {time, reads_};
    decoders_[source] = std::move(decoder);
}

SourceDecoder* SourceDecoders::find(const AssetTrack* source) const {
    const auto it = decoders_.find(source);
    return it == decoders_.end() ? nullptr : it->second.get();
}

SourceDecoder& SourceDecoders::read(const std::shared_ptr<const AssetTrack>& source, const Time& at,
                                    double time, int direction, bool catchingUp) {
    auto& decoder = decoders_[source.get()];
    if (!decoder) {
        decoder = std::make_unique<SourceDecoder>(source, budget_.bytes);
        decoder->setDirection(direction);
        decoder->setCatchingUp(catchingUp);
    }
    used_.emplace_back(decoder.get(), at);
    lastUse_[decoder.get()] = {time, reads_};
    return *decoder;
}

void SourceDecoders::end(double time) {
    ++reads_;
    // Sources far from where reading is close; they open again when reading comes back.
    close([&](const SourceDecoder* d) {
        const auto use = lastUse_.find(d);
        return use == lastUse_.end() || std::abs(use->second.time - time) > kSourceReach;
    });
    shareBudget();
}

template <class Predicate> void SourceDecoders::close(Predicate closes) {
    std::erase_if(decoders_, [&](const auto& entry) {
        if (!closes(entry.second.get())) return false;
        lastUse_.erase(entry.second.get());
        budget_.released = true;
        return true;
    });
}

void SourceDecoders::shareBudget() {
    if (used_.empty()) return;
    std::vector<SourceDecoder*> readers;
    for (const auto& [d, time] : used_)
        if (std::find(readers.begin(), readers.end(), d) == readers.end()) readers.push_back(d);
    for (SourceDecoder* d : readers)
        d->setAllowance(budget_.bytes / readers.size());
}

void SourceDecoders::keepWithinBudget() {
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

void SourceDecoders::account() {
    std::size_t held = 0;
    for (const auto& [track, d] : decoders_)
        held += d->footprint();
    budget_.held = held;
    budget_.decoders = int(decoders_.size());
}

} // namespace osterveil::media::detail
