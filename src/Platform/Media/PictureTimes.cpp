#include "Platform/Media/PictureTimes.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace osterveil::media::detail {

namespace {

// Seconds of pictures read ahead at most to judge one time: a run of damaged times shorter than this
// is told from a jump in the recording's own times.
constexpr int kLookAheadSeconds = 5;
// Times after one without a time before it that are asked whether they bear it out.
constexpr std::size_t kWitnesses = 8;

} // namespace

PictureTimes::PictureTimes(const AVStream& stream, std::int64_t earliest, std::int64_t latest)
    : frame_(0), slack_(0), earliest_(earliest), latest_(latest), lookAhead_(0) {
    for (AVRational r : {stream.avg_frame_rate, stream.r_frame_rate})
        if (r.num > 0 && r.den > 0) {
            frame_ = av_rescale_q(1, av_inv_q(r), stream.time_base);
            lookAhead_ = std::size_t(std::clamp(kLookAheadSeconds * r.num / r.den, 8, 600));
            break;
        }
    // A picture decoded out of its order lies a few pictures from where that order puts it: up to twice
    // as many as a decoder holds back to reorder them, and two more. Otherwise a time is as exact as its
    // clock and the frame rate.
    const int delay = std::max(stream.codecpar->video_delay, 0);
    slack_ = frame_ / 2 + (delay > 0 ? (2 * delay + 2) * frame_ : 0);
}

bool PictureTimes::judges(const AVFormatContext& format, const AVStream& stream) {
    const std::string_view name = format.iformat && format.iformat->name ? format.iformat->name : "";
    const bool headers = name == "mpegts" || name == "mpeg";
    return headers && stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
           ((stream.avg_frame_rate.num > 0 && stream.avg_frame_rate.den > 0) ||
            (stream.r_frame_rate.num > 0 && stream.r_frame_rate.den > 0));
}

void PictureTimes::push(std::int64_t pts, std::int64_t duration) {
    // A picture lasts at least one at the stream's rate: a program stream's parser may give one half that.
    queue_.push_back({pts, std::max(duration, frame_)});
}

bool PictureTimes::credible(std::int64_t pts) const {
    return pts != AV_NOPTS_VALUE && pts >= earliest_ && pts <= latest_;
}

bool PictureTimes::agrees(std::size_t a, std::int64_t at, std::size_t b) const {
    std::int64_t predicted = at;
    for (std::size_t k = a; k < b; ++k)
        predicted += queue_[k].duration;
    return std::abs(queue_[b].pts - predicted) <= slack_;
}

std::optional<std::size_t> PictureTimes::follower(std::size_t from, int n) const {
    for (std::size_t k = from + 1; k < queue_.size(); ++k)
        if (credible(queue_[k].pts) && --n == 0) return k;
    return std::nullopt;
}

PictureTimes::Verdict PictureTimes::judge(bool noMore) const {
    if (queue_.empty()) return Verdict::undecided;
    const std::int64_t t = queue_.front().pts;
    if (t == AV_NOPTS_VALUE || frame_ <= 0) return Verdict::believed;
    if (!credible(t)) return Verdict::notBelieved;
    const bool lookedFarEnough = noMore || queue_.size() >= lookAhead_;
    if (!expected_) {
        // After a seek: believed when no more of the times after it bear out each other than bear it
        // out (a run of damaged times bears out each other, but not those after them; times each
        // damaged its own way bear out none).
        std::vector<std::size_t> witnesses{0};
        for (auto k = follower(0, 1); k && witnesses.size() <= kWitnesses; k = follower(*k, 1))
            witnesses.push_back(*k);
        const auto borneOutBy = [&](std::size_t a) {
            int n = 0;
            for (std::size_t b : witnesses)
                n += a < b ? agrees(a, queue_[a].pts, b) : b < a && agrees(b, queue_[b].pts, a);
            return n;
        };
        const int own = borneOutBy(0);
        if (own == int(kWitnesses)) return Verdict::believed;
        if (witnesses.size() <= kWitnesses && !lookedFarEnough) return Verdict::undecided;
        for (std::size_t k = 1; k < witnesses.size(); ++k)
            if (borneOutBy(witnesses[k]) > own) return Verdict::notBelieved;
        return Verdict::believed;
    }
    if (std::abs(t - *expected_) <= slack_) return Verdict::believed;
    // A later time where the ones before put it: this one, and any between, are damaged.
    std::int64_t predicted = *expected_ + queue_.front().duration;
    for (std::size_t k = 1; k < queue_.size(); predicted += queue_[k++].duration)
        if (credible(queue_[k].pts) && std::abs(queue_[k].pts - predicted) <= slack_)
            return Verdict::notBelieved;
    if (!lookedFarEnough) return Verdict::undecided;
    // None: a jump in the recording's own times when two of the three times after it bear it out
    // (one of them may be damaged too); else damaged, as the last times of a stream that the ones
    // before do not bear out.
    int borneOut = 0;
    for (int n = 1; n <= 3; ++n)
        if (const auto k = follower(0, n)) borneOut += agrees(0, t, *k);
    return borneOut >= 2 ? Verdict::believed : Verdict::notBelieved;
}

bool PictureTimes::decided(bool noMore) const {
    return judge(noMore) != Verdict::undecided;
}

std::int64_t PictureTimes::pop() {
    const Verdict verdict = judge(true);
    const Packet p = queue_.front();
    queue_.pop_front();
    const bool believed = verdict == Verdict::believed && p.pts != AV_NOPTS_VALUE;
    if (believed)
        expected_ = p.pts + p.duration;
    else if (expected_)
        *expected_ += p.duration;
    return believed ? p.pts : AV_NOPTS_VALUE;
}

void PictureTimes::reset() {
    queue_.clear();
    expected_.reset();
}

} // namespace osterveil::media::detail
