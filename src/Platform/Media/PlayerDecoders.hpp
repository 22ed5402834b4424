#pragma once

// The player's decoders of source streams and the memory they share; not part of the media layer's
// interface.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "Platform/Media/Time.hpp"
#include "Platform/Media/VideoDecoder.hpp"

namespace osterveil::media::detail {

// The memory the decoders of one player may hold, shared by all of its sources, and what they hold.
// The budget is written on the GUI thread, the rest on the reading thread.
struct PictureBudget {
    static constexpr std::size_t defaultBytes = std::size_t(512) << 20;
    std::atomic<std::size_t> bytes{defaultBytes};
    std::atomic<std::size_t> held{0};
    std::atomic<int> decoders{0};
    // Decoders closed since the heap last gave its free pages back.
    bool released = false;
};

// The codec threads of each decoder the player keeps: enough to decode ahead of the clock on their own,
// few enough that a sequence cut from many files does not hold a picture per thread per file.
int decoderThreads();

// A picture stream's decoder with the pictures it passed through kept for going backwards: each
// remembers where the next decoded picture began, so a cached picture is known to be on screen over
// [its time, the next one's).
class SourceDecoder {
  public:
    // `allowance`: the memory its kept pictures and its codec's own may take (see `setAllowance`).
    SourceDecoder(std::shared_ptr<const AssetTrack> track, std::size_t allowance);

    // A smaller allowance drops the pictures farthest from where reading is at once.
    void setAllowance(std::size_t bytes);
    // The memory its pictures take at most: the most it kept since it opened (pictures it lets go go
    // back to its codec's pool, not to the system, until it closes), those its codec threads hold, and
    // the most its decoder held decoded ahead to judge their times.
    std::size_t footprint() const {
        return (peak_ + codecPictures() + decoder_.mostPicturesAhead()) * pictureBytes_;
    }

    // Which way reading goes: 0 for single pictures, 1 playing forward, -1 in reverse. Playing forward
    // keeps only a second or so, enough to start again where it stopped without a seek.
    void setDirection(int direction);
    // Playing forward behind the clock: pictures a little rougher, sooner (see `VideoDecoder::Decoding`).
    void setCatchingUp(bool on);

    std::shared_ptr<const VideoFrame> frame(const Time& t, const Time& before, const Time& after);
    std::optional<Time> keyFrameAfter(const Time& t) { return decoder_.keyFrameAfter(t); }
    // One step of decoding the group of pictures before the cached run that holds `t`; false when
    // there is nothing to do.
    bool prefetch(const Time& t);

  private:
    struct Entry {
        std::shared_ptr<const VideoFrame> frame;
        std::optional<Time> next;
    };

    void completeRun(const Time& t);
    void decode();
    std::map<Time, Entry>::iterator covering(const Time& t);
    std::shared_ptr<const VideoFrame> cached(const Time& t, const Time& before, const Time& after);
    void keep(const std::shared_ptr<const VideoFrame>& f, bool follows);
    static std::size_t codecPictures() { return std::size_t(decoderThreads()) + 1; }
    static std::size_t lookAheadFor(std::size_t allowance);
    std::size_t capacityFor(std::size_t allowance) const;
    void trim();

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

// The decoders a composition's picture reads, one a source stream, within one budget. The rule: the
// sources the latest picture reads share the budget; a source not read within ten seconds of item time
// of where reading is closes; beyond the budget, the others close, least recently read first.
class SourceDecoders {
  public:
    explicit SourceDecoders(PictureBudget& budget) : budget_(budget) {}
    SourceDecoders(const SourceDecoders&) = delete;
    SourceDecoders& operator=(const SourceDecoders&) = delete;

    // Takes over `previous`'s decoders of `sources`, with the pictures they hold and when they were
    // read; the rest close with `previous`.
    void takeOver(SourceDecoders& previous, const std::vector<const AssetTrack*>& sources);
    // Adds a decoder opened elsewhere, as read at item time `time` by the reading before the next.
    void add(const AssetTrack* source, std::unique_ptr<SourceDecoder> decoder, double time);
    SourceDecoder* find(const AssetTrack* source) const;
    bool contains(const AssetTrack* source) const { return decoders_.count(source) != 0; }

    // A picture's reading: `begin`, then `read` for each source it reads (opening its decoder if need
    // be), then `end` before decoding.
    void begin() { used_.clear(); }
    SourceDecoder& read(const std::shared_ptr<const AssetTrack>& source, const Time& at, double time,
                        int direction, bool catchingUp);
    void end(double time);
    // Closes the decoders the latest picture does not read while over the budget, and counts what the
    // rest hold.
    void keepWithinBudget();
    // Counts what the decoders hold, for the budget's readers.
    void account();

    // The decoders the latest picture read, with the source time each read.
    const std::vector<std::pair<SourceDecoder*, Time>>& used() const { return used_; }
    template <class F> void forEach(F f) {
        for (auto& [key, d] : decoders_)
            f(*d);
    }

  private:
    struct Use {
        double time = 0;        // the item time it was last read at
        std::uint64_t read = 0; // and on which reading
    };

    template <class Predicate> void close(Predicate closes);
    void shareBudget();

    PictureBudget& budget_;
    // By stream: assets are shared while their files do not change, so one that changed gets a decoder
    // of its own.
    std::map<const AssetTrack*, std::unique_ptr<SourceDecoder>> decoders_;
    std::unordered_map<const SourceDecoder*, Use> lastUse_;
    std::uint64_t reads_ = 0;
    std::vector<std::pair<SourceDecoder*, Time>> used_;
};

} // namespace osterveil::media::detail
