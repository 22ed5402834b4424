#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Platform/Media/Asset.hpp"
#include "Platform/Media/MediaErrors.hpp"
#include "Platform/Media/Time.hpp"

namespace osterveil::media {

// Sound could not be decoded.
class AudioDecodeError : public Error {
  public:
    using Error::Error;
};

// The fastest sample rate decoded. No recording uses more, and converting from a rate a damaged or
// hostile header claims (hundreds of megahertz) would take seconds before the first sample.
inline constexpr int highestSampleRate = 768000;

// Decoded sound as 32-bit float samples, channels interleaved.
struct AudioBuffer {
    Time presentationTime; // of the first frame, on the asset's timeline
    int sampleRate = 0;
    int channels = 0;
    std::vector<float> samples;

    std::int64_t frameCount() const { return channels > 0 ? std::int64_t(samples.size()) / channels : 0; }
};

// Decodes one sound stream to interleaved float at a chosen rate and channel count (0: the stream's
// own). Frames are numbered on that rate's clock from the asset's 0 (`AssetTrack::timeOrigin`), so
// frame n plays at n / rate seconds on the asset's timeline: encoder priming before 0 and padding
// after the stream's end never reach a reader that stays within the track's time range. One mono
// channel fills every output channel; more channels than asked for are mixed down the way
// libswresample does by default. A damaged packet becomes silence of its length, and is logged. A time far
// from where the times after it and the count of samples put it is not believed, and its sound is placed by
// the count; only sound whose times jump on and stay there (packets lost) is parted by silence.
// Not thread-safe: one user at a time.
class AudioDecoder {
  public:
    // Throws `AssetError` when the file cannot be opened, `AudioDecodeError` when the stream is not
    // sound, has no decoder or is sampled faster than `highestSampleRate`.
    explicit AudioDecoder(std::shared_ptr<const AssetTrack> track, int sampleRate = 0, int channels = 0);
    ~AudioDecoder();
    AudioDecoder(const AudioDecoder&) = delete;
    AudioDecoder& operator=(const AudioDecoder&) = delete;

    int sampleRate() const;
    int channels() const;
    const AssetTrack& track() const;

    // Writes `count` frames from frame `first` into `out` (count × channels floats); frames where
    // the stream has no sound are zero. Reading forward continues decoding; going back or jumping
    // far ahead seeks. Throws `AudioDecodeError` when the stream can no longer be decoded.
    void read(std::int64_t first, std::int64_t count, float* out);

    // The next stretch of decoded sound from the start of the stream, or none at its end. Throws
    // `AudioDecodeError`.
    std::optional<AudioBuffer> next();

    // Whether the stream's data ran out before frame `frame` though the track reaches on past where it
    // ran out: the file was cut short after it was opened, and `read` gave silence in its place.
    bool ranOutBefore(std::int64_t frame) const;

    // How many seeks reading made (tests tell sequential reading from jumping by it).
    int seekCount() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace osterveil::media
