#pragma once

// The rules by which the player paces its pictures, apart from its threads and decoders: which picture
// goes up, what to read next, how to catch up, and what to read ahead. Not part of the media layer's
// interface.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "Platform/Media/Time.hpp"

namespace osterveil::media::detail {

// Which picture goes up. From the pictures queued for a play, in queue order (their due times rising,
// falling in reverse), at clock time `now`: the newest picture due by then, the older ones passed over.
// One more than ¾ of a `frame` (in clock seconds) late would be off its sound: it waits for a newer one,
// and goes up only once the picture on screen has stood still for a tenth of a second of play
// (`stillFor`), so that a machine slower than the footage still moves its picture; unless it is more than
// a second late, so far off its sound that it says nothing of it. The `first` picture of a play whose
// clock started without it (a press of play sounds at once) goes up however late.
struct PictureChoice {
    std::size_t passed = 0; // the first pictures, passed over
    bool shows = false;     // the one after them goes up
};
PictureChoice choosePicture(std::span<const double> dues, double now, int direction, double frame,
                            double stillFor, bool first = false);

// What reading pictures forward takes lately, in wall seconds: decoding on by one frame, decoding from a
// key frame the decoder jumps to, and composing a picture once decoded (with the wait behind those
// composed before it).
struct ReadingCosts {
    double perFrame = 0;
    double keyFrame = 0;
    double finishing = 0;
};
struct AimedPicture {
    std::int64_t picture = 0;
    bool fromKeyFrame = false; // the decoder jumps to a key frame on the way
};
// The first picture from `next` on (stepping by `stride`, short of `reach`; frame k due at k · `frame` on
// the clock) that reading, starting at clock time `now` at `rate` from picture `from` last read, would
// have queued by its time at those costs, decoding on or from the latest of `keys` (key frames the
// decoder jumps to, rising) at or before it; none if none would.
std::optional<AimedPicture> aimPicture(std::int64_t from, std::int64_t next, std::int64_t reach,
                                       std::int64_t stride, std::span<const std::int64_t> keys,
                                       const ReadingCosts& costs, double now, double rate, double frame);

// What tells apart the stretches of an item whose pictures are read alike: from the same segment of one
// source, or under one instruction that reads several.
using Stretch = std::pair<const void*, std::int64_t>;

// What reading knows of an item's picture, by item time.
class StretchMap {
  public:
    virtual ~StretchMap() = default;
    virtual Stretch stretchAt(const Time& t) const = 0;
    // Where the stretch of `t` ends, if the item goes on after it.
    virtual std::optional<Time> stretchEnd(const Time& t) const = 0;
    // When the next key frame after `t` of the one source the stretch of `t` reads is on screen, if
    // it is known and within the stretch.
    virtual std::optional<Time> keyFrameAfter(const Time& t) = 0;
    // How many pictures of the one source the stretch of `t` reads are decoded for each of the item's,
    // `frame` long (a 60 fps source in a 24 fps sequence: 2.5); 1 when not known, or fewer.
    virtual double sourceFramesPerFrame(const Time&, const Time&) const { return 1; }
};

// How reading of one stretch keeps up with the clock (wall seconds): whether its latest picture came
// after its time; what decoding took a frame of progress; and how long a picture took from the start of
// its reading to the queue. Each measure follows its latest samples; a new stretch starts afresh, as
// another source reads at another pace.
struct ReadingPace {
    Stretch stretch;
    bool behind = false;
    double perDecoded = 0, latency = 0;
    // What decoding the first picture took, until a picture's whole time is known.
    double firstDecoded = 0;
    // What decoding took when reading jumped to a key frame, and what a picture takes from decoded to
    // queued (composing, and waiting for those composed before it).
    double keyDecoded = 0, finishing = 0;
    // What reading the first picture ahead took, opening its decoder, beside the stretch before.
    double opening = 0;
    // The source's pictures decoded for each of the item's (see `StretchMap::sourceFramesPerFrame`).
    double sourceFrames = 1;
    std::optional<std::int64_t> lastRead;
    int pictures = 0;

    double readTime() const { return latency > 0 ? latency : firstDecoded; }
    // What a jump to a key frame takes: as timed; until then the most it may take, guessed from decoding
    // on (by the source's frames, which may be more than the item's) and the first picture's reading, and
    // no more than reading the first picture ahead took, which also opened the decoder (and, on a busy
    // machine, may have had a small share of it). Reading leaves a run for a key frame by this.
    double jumpCost() const;
    // The same, but until timed the least it may take: reading behind aims at a key frame by this, as
    // one reached a little late still starts a run, where passing over it loses a second.
    double leastJumpCost() const;
    // Behind the clock, or decoding slower than the pictures play by a margin: what reading the next
    // picture takes may be a jump to a key frame.
    bool slow(double rate, double frame) const;
    // Picture `k` of `stretch` was decoded in `seconds`, reading on, or `jumping` to a key frame; reading
    // the first of a stretch ahead took `openingCost`.
    void decoded(Stretch of, std::int64_t k, double seconds, double openingCost, bool jumping);
    // A picture of `stretch` was queued `seconds` after its reading began, `decodedIn` of them decoding,
    // `late` or not by the clock.
    void queued(Stretch of, double seconds, double decodedIn, bool late);
};

// What to read next, playing forward or back from picture `next` of `frames` (`frame` long) at clock time
// `now` at `rate` (its size), stepping by `stride`. Pictures that could only be late are passed over, and
// while pictures come late, those that would be by the time they are read, within the stretch they came
// from. Playing forward, once what reading takes is known and a picture has come late, reading aims at the
// first picture it can have queued by its time (`aimPicture`); what is left of a stretch that would be read
// after it ended is passed over; it jumps to a key frame ahead once that is due by the time it would be
// read or lies within the skip; and it skips at most a tenth of a second of decoding at a time otherwise,
// so a stream that decodes slower than it plays shows a moving picture and falls at most a group of
// pictures behind its sound.
struct NextPicture {
    std::int64_t picture = 0;
    bool jumping = false; // the decoder jumps to a key frame ahead for it
};
NextPicture pictureToRead(StretchMap& map, const ReadingPace& pace, std::int64_t next, std::int64_t stride,
                          int direction, std::int64_t frames, const Time& frame, double now, double rate);

// How to catch up: playing forward behind the clock in a stretch, or decoding slower than it plays, or
// passing over pictures to get back to it, reading decodes without the loop filter (see
// `VideoDecoder::Decoding`); the first picture of a play, of a stretch, and playing back never do.
bool decodesRoughly(const ReadingPace& pace, Stretch of, bool first, int direction, double rate, double frame,
                    bool passesOver);

// What to read ahead: playing forward, the first picture of the stretch after the one of picture `next`,
// once it is due within four seconds of play from `from` (the clock, or the picture's time before it
// runs), unless it is `warmed` already.
std::optional<std::int64_t> pictureToWarm(StretchMap& map, std::int64_t next, int direction,
                                          std::int64_t frames, const Time& frame, double from, double rate,
                                          std::int64_t warmed);
// And when: it takes its share of the machine, so not before reading the stretch before is ahead (no
// `room` left in the queue), unless it is due within a second and a half of play.
bool warmsNow(std::int64_t warmAt, double frame, double now, double rate, bool room);

} // namespace osterveil::media::detail
