#pragma once

// Shared by the media layer's readers of picture streams; not part of its interface.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>

extern "C" {
#include <libavformat/avformat.h>
}

namespace osterveil::media::detail {

// Judges the times a transport or program stream's packets give their pictures, in the order they are
// decoded, before any picture is: a time is believed when it lies where the one before it and the
// pictures since put it (within what pictures are reordered by). One that does not is not believed
// when a later time lies where the ones before put it (a damaged header, or a run of them), nor when
// nothing bears it out; it is when the times after it bear it out instead (recordings joined end to
// end, pictures lost on the way). A time not believed is taken away, so that its picture is placed by
// its order and the frame rate. Only the times of packets are looked ahead at: the packets wait
// undecoded, small beside their pictures.
class PictureTimes {
  public:
    // For `stream`, whose pictures lie from `earliest` to `latest` on its clock: a time far outside
    // them is no time of the recording's.
    explicit PictureTimes(const AVStream& stream,
                          std::int64_t earliest = std::numeric_limits<std::int64_t>::min(),
                          std::int64_t latest = std::numeric_limits<std::int64_t>::max());

    // Whether the stream's times are judged at all: only transport and program streams time their
    // pictures in headers that damage can rewrite, and only a known frame rate predicts a time.
    static bool judges(const AVFormatContext& format, const AVStream& stream);

    // The next packet, in decoding order: its time (AV_NOPTS_VALUE when it has none) and length.
    void push(std::int64_t pts, std::int64_t duration);
    // Whether the first packet not yet judged can be judged: `noMore` when no packet follows it (the
    // stream's end, or as far as the caller reads ahead).
    bool decided(bool noMore) const;
    // Judges the first packet and forgets it: its time when believed, else AV_NOPTS_VALUE.
    std::int64_t pop();
    std::size_t waiting() const { return queue_.size(); }
    // Packets read ahead at most to judge one time: some seconds of pictures.
    std::size_t lookAhead() const { return lookAhead_; }
    // After a seek: nothing is known of the times before.
    void reset();

  private:
    struct Packet {
        std::int64_t pts;
        std::int64_t duration;
    };
    enum class Verdict { undecided, believed, notBelieved };

    Verdict judge(bool noMore) const;
    bool credible(std::int64_t pts) const;
    // Whether packet `b` lies where packet `a`'s time `at` and the pictures between put it.
    bool agrees(std::size_t a, std::int64_t at, std::size_t b) const;
    // The `n`th later packet (from 1) after `from` with a credible time of its own.
    std::optional<std::size_t> follower(std::size_t from, int n) const;

    std::int64_t frame_;
    std::int64_t slack_;
    std::int64_t earliest_;
    std::int64_t latest_;
    std::size_t lookAhead_;
    std::deque<Packet> queue_;
    // Where the first packet waiting lies by the last time believed and the pictures since.
    std::optional<std::int64_t> expected_;
};

} // namespace osterveil::media::detail
