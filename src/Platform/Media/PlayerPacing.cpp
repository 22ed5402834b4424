#include "Platform/Media/PlayerPacing.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace osterveil::media::detail {

namespace {

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
// Until a jump to a key frame is timed, it counts as decoding on by this many of the source's frames at
// most, and at least: the key frame is several times larger than most, and its picture waits for those
// behind it in decoding order (4K H.264 and HEVC jumps took what decoding on by 3 to 7 frames took).
constexpr double kUntimedJump = 7, kLeastUntimedJump = 3;
// Decoders jump to a key frame at least this far (seconds) beyond the last picture read, rather than
// decoding on to it.
constexpr double kKeyFrameReach = 0.1;
// Reading on in a stretch slower than its pictures play leaves for the next key frame while this many
// times what a jump and its composing take are left before that key frame is due: on a machine the window
// shares, a jump's picture comes up to a third later than they say, and one that comes late loses the run
// after it.
constexpr double kJumpMargin = 1.5;

Time frameTime(const Time& frame, std::int64_t k) {
    return Time(frame.value() * k, frame.timescale());
}

// The first picture on screen from `t` on.
std::int64_t frameFrom(const Time& t, double frame) {
    return std::int64_t(std::ceil(t.toSeconds() / frame - 1e-6));
}

// What decoding on took for each of the source's frames.
double perSourceFrame(const ReadingPace& pace) {
    return pace.perDecoded / std::max(1.0, pace.sourceFrames);
}

} // namespace

PictureChoice choosePicture(std::span<const double> dues, double now, int direction, double frame,
                            double stillFor, bool first) {
    const auto isDue = [&](double due) { return direction >= 0 ? due <= now : due >= now; };
    std::size_t due = 0;
    while (due < dues.size() && isDue(dues[due]))
        ++due;
    if (due == 0) return {};
    const double late = direction * (now - dues[due - 1]);
    return {due - 1, first || late <= kLateShare * frame || (stillFor >= kStillLimit && late <= kMostLate)};
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

double ReadingPace::jumpCost() const {
    if (keyDecoded > 0) return keyDecoded;
    const double guess = std::max(firstDecoded, kUntimedJump * perSourceFrame(*this));
    return opening > 0 ? std::min(guess, opening) : guess;
}

double ReadingPace::leastJumpCost() const {
    if (keyDecoded > 0) return keyDecoded;
    return std::min(jumpCost(), kLeastUntimedJump * perSourceFrame(*this));
}

bool ReadingPace::slow(double rate, double frame) const {
    return behind || perDecoded * rate > kSlowShare * frame;
}

void ReadingPace::decoded(Stretch of, std::int64_t k, double seconds, double openingCost, bool jumping) {
    // The first picture of a stretch opens and seeks, and says little of decoding on.
    if (of != stretch) *this = ReadingPace{of};
    if (!lastRead) {
        // What reading it ahead took bounds a guess at a jump to a key frame (see `jumpCost`); it says
        // nothing of reading on, which found it ready.
        firstDecoded = seconds;
        opening = openingCost;
    } else if (jumping) {
        keyDecoded = keyDecoded > 0 ? 0.7 * keyDecoded + 0.3 * seconds : seconds;
    } else if (k != *lastRead) {
        const double sample = seconds / double(std::abs(k - *lastRead));
        perDecoded = perDecoded > 0 ? 0.7 * perDecoded + 0.3 * sample : sample;
    }
    lastRead = k;
}

void ReadingPace::queued(Stretch of, double seconds, double decodedIn, bool late) {
    if (of != stretch) return;
    const double finished = std::max(0.0, seconds - decodedIn);
    finishing = finishing > 0 ? 0.7 * finishing + 0.3 * finished : finished;
    if (++pictures > 1) latency = latency > 0 ? 0.7 * latency + 0.3 * seconds : seconds;
    behind = late;
}

NextPicture pictureToRead(StretchMap& map, const ReadingPace& pace, std::int64_t next, std::int64_t stride,
                          int direction, std::int64_t frames, const Time& frame, double now, double rate) {
    const double fd = frame.toSeconds();
    const auto dueOf = [&](std::int64_t k) { return direction > 0 ? double(k) * fd : double(k + 1) * fd; };
    const auto stretchOf = [&](std::int64_t k) {
        return map.stretchAt(frameTime(frame, std::clamp<std::int64_t>(k, 0, frames - 1)));
    };
    // What reading a picture takes now, on the clock, while pictures come late, or while only the first
    // of the stretch has been read (which may take seconds).
    const double lead = direction > 0 && (pace.behind || (pace.lastRead && pace.perDecoded == 0))
                            ? pace.readTime() * rate
                            : 0;
    // Skip what could only be late, and while pictures come late, what would be by the time it is read,
    // within the stretch they came from (the next may read faster).
    NextPicture read{next, false};
    std::int64_t& to = read.picture;
    while ((direction > 0 ? to + stride < frames : to - stride >= 0) &&
           (direction * (dueOf(to) - now) < 0 ||
            (direction * (dueOf(to) - now) < lead && stretchOf(to) == pace.stretch)))
        to += direction * stride;
    if (direction <= 0) return read;
    const auto end = map.stretchEnd(frameTime(frame, next));
    const std::int64_t stretchEnd = end ? std::min(frames, frameFrom(*end, fd)) : frames;
    const auto key = map.keyFrameAfter(frameTime(frame, next));
    const std::int64_t k = key ? frameFrom(*key, fd) : frames;
    // Once what reading takes here is known: the first picture from the next on that would be queued by
    // its time, decoding on from the last one read or from a key frame the decoder jumps to on the way,
    // then composed.
    std::optional<AimedPicture> aimed;
    if (pace.behind && pace.lastRead && pace.perDecoded > 0 && pace.pictures > 0 &&
        stretchOf(next) == pace.stretch) {
        const std::int64_t from = *pace.lastRead;
        const std::int64_t reach = std::min(stretchEnd, next + std::int64_t(std::ceil(kAimReach / fd)));
        std::vector<std::int64_t> keys;
        for (auto t = map.keyFrameAfter(frameTime(frame, from)); t && keys.size() < 16;
             t = map.keyFrameAfter(*t)) {
            const std::int64_t at = frameFrom(*t, fd);
            if (at >= reach || (!keys.empty() && at <= keys.back())) break;
            if (double(at - from) * fd >= kKeyFrameReach) keys.push_back(at);
        }
        const ReadingCosts costs{pace.perDecoded, pace.leastJumpCost(), pace.finishing};
        aimed = aimPicture(from, next, reach, stride, keys, costs, now, rate, fd);
    }
    // Reading on slower than the pictures play, ahead of the clock: it leaves for the next key frame
    // while that can still be had by its time, rather than once it is due, so that each key frame starts
    // a run on its sound.
    const bool leavesInTime =
        k > next && k < stretchEnd && pace.lastRead && pace.perDecoded > 0 && pace.slow(rate, fd) &&
        stretchOf(next) == pace.stretch && double(k - *pace.lastRead) * fd >= kKeyFrameReach &&
        now + (pace.perDecoded * double(std::max<std::int64_t>(1, next - *pace.lastRead)) +
               kJumpMargin * (pace.jumpCost() + pace.finishing)) *
                    rate >
            dueOf(k);
    // What reading the next picture may take: where the stretch is behind, as long as a jump to a key
    // frame.
    const double reading =
        pace.slow(rate, fd) ? std::max(pace.readTime(), pace.leastJumpCost()) : pace.readTime();
    if (stretchEnd > next && dueOf(stretchEnd) < now + reading * rate) {
        // What is left of the stretch would be read after it has ended.
        to = stretchEnd;
    } else if (aimed) {
        to = aimed->picture;
        read.jumping = aimed->fromKeyFrame;
    } else if (k > next && k < stretchEnd && (k <= to || dueOf(k) < now + lead || leavesInTime)) {
        // Skipped pictures are decoded all the same, from the key frame before them: reading jumps to a
        // key frame ahead once that is due by the time it would be read, or lies within the skip, or
        // reading on would have it late.
        to = k;
        read.jumping = true;
    } else if (const double per = pace.perDecoded > 0 ? pace.perDecoded : pace.firstDecoded; per > 0) {
        // At most a tenth of a second of decoding at a time, so that a picture comes meanwhile; until
        // decoding on has been timed, a frame of it counts as long as the first picture took.
        to = std::min(to, next + std::int64_t(kSkipBudget / per));
    }
    return read;
}

bool decodesRoughly(const ReadingPace& pace, Stretch of, bool first, int direction, double rate, double frame,
                    bool passesOver) {
    return direction > 0 && !first && of == pace.stretch && (pace.slow(rate, frame) || passesOver);
}

std::optional<std::int64_t> pictureToWarm(StretchMap& map, std::int64_t next, int direction,
                                          std::int64_t frames, const Time& frame, double from, double rate,
                                          std::int64_t warmed) {
    if (direction <= 0 || next >= frames) return std::nullopt;
    const auto end = map.stretchEnd(frameTime(frame, next));
    if (!end) return std::nullopt;
    const double fd = frame.toSeconds();
    const std::int64_t at = frameFrom(*end, fd);
    if (at < frames && at != warmed && double(at) * fd - from < kWarmReach * rate) return at;
    return std::nullopt;
}

bool warmsNow(std::int64_t warmAt, double frame, double now, double rate, bool room) {
    return !room || (std::isfinite(now) && double(warmAt) * frame - now < kWarmLead * rate);
}

} // namespace osterveil::media::detail
