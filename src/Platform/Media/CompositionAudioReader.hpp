#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "Platform/Media/AudioMix.hpp"
#include "Platform/Media/Composition.hpp"

namespace osterveil::media {

// A stretch of a composition's mixed sound: 48 kHz stereo float, channels interleaved.
struct MixedAudio {
    std::vector<float> samples;
    std::int64_t firstFrame = 0; // on the 48 kHz clock from composition time 0
    Time presentationTime;       // the first frame's composition time

    std::int64_t frameCount() const { return std::int64_t(samples.size()) / 2; }
};

// Reads the sound of every audio track of a composition mixed into one 48 kHz stereo stream: each
// stretch of source decoded and converted, its track's volume ramps applied, all tracks summed, and
// the sum held within full scale (±1), the range every encoder and sound device takes. Edits are placed on the 48 kHz clock by rounding their composition times, so
// two stretches that meet share the frame where they meet: no frame is dropped or doubled there.
// Tracks are mixed in parallel, each with its decoders reading forward.
class CompositionAudioReader {
  public:
    static constexpr int sampleRate = 48000;
    static constexpr int channels = 2;

    // `range` defaults to 0 up to the end of the longest audio track; `framesPerBuffer` sets how
    // much each `next` returns (the last may be shorter). A source whose data ends before a stretch
    // taken from it (a file cut short after it was opened) plays silence there, or, with
    // `sourcesMustLast`, fails `next` naming the file.
    CompositionAudioReader(std::shared_ptr<const Composition> composition, std::optional<AudioMix> mix,
                           std::optional<TimeRange> range = std::nullopt, std::int64_t framesPerBuffer = 4800,
                           bool sourcesMustLast = false);
    ~CompositionAudioReader();
    CompositionAudioReader(const CompositionAudioReader&) = delete;
    CompositionAudioReader& operator=(const CompositionAudioReader&) = delete;

    // The next stretch, or none after the last. Throws `Error` when a source cannot be decoded.
    std::optional<MixedAudio> next();
    // Frames in the range.
    std::int64_t frameCount() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace osterveil::media
