#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Media/Time.hpp"

namespace osterveil::media {

enum class MediaType { video, audio };

// An affine map in y-down picture coordinates: (x, y) goes to (a·x + c·y + tx, b·x + d·y + ty).
// This is the layout of a QuickTime track matrix and of the project's stored transform.
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

    bool isIdentity() const { return *this == AffineTransform{}; }
    bool operator==(const AffineTransform&) const = default;
};

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

// The linear part of `t` applied to a size (no translation), as a displayed size is worked out.
Size applyToSize(const AffineTransform& t, Size size);

// The four-character code of a text: its first four bytes, the first in the most significant byte.
constexpr std::uint32_t fourCharCode(const char (&text)[5]) {
    return std::uint32_t(std::uint8_t(text[0])) << 24 | std::uint32_t(std::uint8_t(text[1])) << 16 |
           std::uint32_t(std::uint8_t(text[2])) << 8 | std::uint32_t(std::uint8_t(text[3]));
}

// One picture or sound stream of a media file. A plain value: what a reader needs to find the
// stream again is its file and stream index.
struct AssetTrack {
    // Unique within the asset, from 1 (the stream index + 1).
    std::int32_t trackID = 0;
    int streamIndex = 0;
    std::filesystem::path assetPath;
    MediaType mediaType = MediaType::video;
    // Where the stream's media lies on the asset's timeline, exactly: from the asset's start (0) to
    // the stream's end, or the asset's if that comes first. A stream that begins later than another
    // starts with empty time (its first picture, or silence), so that every stream of a file keeps its
    // place beside the others.
    TimeRange timeRange;
    // The stream time (seconds on the file's own clock) that is the asset's 0, the same for every
    // track of one asset: its first picture, or, where the file places sound farther before it than
    // a coder's priming reaches, a whole number of pictures earlier; the start of its sound when it
    // has no pictures. A transport stream that starts at 1.4 s, or an MP3 whose encoder delay the
    // decoder drops, begins at 0 all the same. Decoders give and take times on the asset's timeline.
    Time timeOrigin;
    // The file's packet times are read as stored, without the demuxer's mending of a clock that wraps (a
    // transport stream's 33 bits, 26.5 hours), which it reckons from the first packet it meets. Set only
    // where a first time is damaged, which would have the times after it read a turn away, and each
    // reader of one stream read them otherwise; a recording that runs through the wrap then ends there.
    bool rawClock = false;
    // The stream's own time base as a timescale (ticks per second) when it is a whole number.
    std::int32_t naturalTimescale = 0;

    // Video: the coded picture size and the display matrix.
    Size naturalSize;
    AffineTransform preferredTransform;
    // The width of a stored pixel over its height on screen (the sample aspect): 64/45 for a 16:9 PAL
    // DVD's 720 × 576, 4/3 for HDV's 1440 × 1080; 1 for square pixels, where the file does not say, and
    // where it claims a shape no picture has. The stored picture is widened by it before the display
    // matrix turns it.
    double pixelAspect = 1;
    // Frames per second, 0 when the file does not say.
    double nominalFrameRate = 0;

    // Audio.
    int sampleRate = 0;
    int channelCount = 0;

    // The format's four-character code ("avc1", "apch", "lpcm"…), first character in the most
    // significant byte; 0 when the stream has none.
    std::uint32_t mediaSubtype = 0;
    // The decoder's short name ("h264", "prores", "pcm_s16le").
    std::string codecName;
};

struct AssetOptions {
    // Opening gives up after this long, whatever the file does to the demuxer.
    std::chrono::milliseconds timeLimit{10000};
};

// A media file's streams and timing, read once without decoding pictures. Immutable and shared:
// any number of threads may use one asset.
class Asset {
  public:
    // Opens through the process-wide cache, keyed by the file's path, size and modification time,
    // so that a file opened once is not read again until it changes. Safe from several threads;
    // concurrent first opens of one file read it once. Throws `AssetError`.
    static std::shared_ptr<const Asset> open(const std::filesystem::path& path);
    // Reads the file afresh, bypassing the cache. Throws `AssetError`.
    static std::shared_ptr<const Asset> load(const std::filesystem::path& path,
                                             const AssetOptions& options = {});
    // Forgets every cached asset (assets in use stay valid).
    static void purgeCache();

    const std::filesystem::path& path() const { return path_; }
    // The demuxer that read the file ("mov,mp4,m4a,3gp,3g2,mj2", "wav", "matroska,webm"…).
    const std::string& formatName() const { return formatName_; }
    // The end of the latest track on the asset's timeline: where its pictures end, or its sound when
    // that outlasts them by more than the padding of its last coded frames; indefinite when neither
    // the streams nor the file give a length. A length the file declares is checked against its last
    // packets (a header cannot make a file longer than its data); one the demuxer only estimated
    // (a transport stream's) is replaced by theirs.
    Time duration() const { return duration_; }

    // Picture and sound streams in file order; cover art and other streams are left out.
    const std::vector<std::shared_ptr<const AssetTrack>>& tracks() const { return tracks_; }
    std::vector<std::shared_ptr<const AssetTrack>> tracks(MediaType type) const;
    std::shared_ptr<const AssetTrack> track(std::int32_t trackID) const;

    Asset(std::filesystem::path path, std::string formatName, Time duration,
          std::vector<std::shared_ptr<const AssetTrack>> tracks)
        : path_(std::move(path)), formatName_(std::move(formatName)), duration_(duration),
          tracks_(std::move(tracks)) {}

  private:
    std::filesystem::path path_;
    std::string formatName_;
    Time duration_;
    std::vector<std::shared_ptr<const AssetTrack>> tracks_;
};

} // namespace osterveil::media
