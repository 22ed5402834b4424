#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Media/MediaErrors.hpp"
#include "Platform/Media/PixelBuffer.hpp"
#include "Platform/Media/Time.hpp"

namespace osterveil::media {

// A movie could not be written; `what()` says why in words a user can read. Its kind tells an
// encoder that refused the picture or sound it was given from every other failure (the file, the
// settings, memory, times).
class WriterError : public Error {
public:
  enum class Kind { other, encoder };
  explicit WriterError(const std::string& what, Kind kind = Kind::other) : Error(what), kind_(kind) {}
  Kind kind() const { return kind_; }

private:
  Kind kind_;
};

enum class FileType { quickTimeMovie, mpeg4 };
enum class VideoCodec { h264, hevc, proRes422, proRes422HQ, proRes4444 };
enum class H264Profile { baseline, main, high };

struct VideoSettings {
    VideoCodec codec = VideoCodec::h264;
    int width = 0;
    int height = 0;
    // H.264 and HEVC only: bits per second (0: the encoder's quality default), the profile, the
    // longest distance between key frames in frames (0: the encoder's choice).
    std::int64_t averageBitRate = 0;
    // H.264 and HEVC only, with an average rate: the rate the stream may reach at most and the size in
    // bits of the decoder buffer (VBV) that rate is held to (0: no limit). Any stretch of t seconds
    // then carries at most maxBitRate × t + bufferSize bits.
    std::int64_t maxBitRate = 0;
    std::int64_t bufferSize = 0;
    H264Profile profile = H264Profile::high;
    int maxKeyFrameInterval = 0;
    // Frames per second the source is expected to come at (0: unknown); sets rate control and the
    // stream's nominal rate.
    double expectedFrameRate = 0;
    // How many pictures are converted for the encoder at once and, for the intra-only ProRes codecs,
    // encoded at once, each on an encoder of its own (0: one per usable core). The file written is
    // the same for every count.
    int parallelFrames = 0;
};

enum class AudioCodec { aac, linearPCM24 };

struct AudioSettings {
    // AAC goes in either container; 24-bit linear PCM only in QuickTime movies.
    AudioCodec codec = AudioCodec::aac;
    int sampleRate = 48000;
    int channels = 2;
    std::int64_t bitRate = 320000; // AAC only
};

// Writes a QuickTime or MPEG-4 movie from pictures handed over one by one with their presentation
// times, and sound handed over as interleaved float samples. Pictures are 8-bit BGRA, converted to
// the codec's YUV with BT.709 coefficients, or already in the encoder's own format
// (`encoderPixelFormat`), taken as they are; BT.709 primaries, transfer and matrix are written into
// the stream.
//
// Use: construct, addVideoInput and/or addAudioInput, startWriting, startSession, appendVideo… and
// appendAudio…, finishWriting. Not thread-safe: one thread drives a writer. A writer that failed
// stays failed (`failed()`); the file it leaves is incomplete and is the caller's to remove.
// Destroying a writer that was not finished abandons it at once: nothing more is encoded or
// written, the file is closed, and the video encoder's threads wind down in the background.
//
// Pictures are converted (and ProRes pictures encoded) on worker threads, a bounded number at a
// time, while the calling thread writes finished ones in order: `appendVideo` returns once the
// picture is queued, holding a reference to it until it has been converted, and waits only when
// that many pictures are already in progress. An error of a picture in progress is reported by a
// later `appendVideo` or by `finishWriting`.
class AssetWriter {
public:
    // Throws `WriterError` when the container cannot be set up for the path.
    AssetWriter(std::filesystem::path path, FileType type);
    ~AssetWriter();
    AssetWriter(const AssetWriter&) = delete;
    AssetWriter& operator=(const AssetWriter&) = delete;

    // False when the container cannot take the codec or the settings are unusable; nothing changes then.
    bool canAddVideoInput(const VideoSettings& settings) const;
    // Throws `WriterError` when the input cannot be added (after writing started, a second video
    // input, or settings the encoder refuses).
    void addVideoInput(const VideoSettings& settings);

    // False when the container cannot take the codec or the settings are unusable.
    bool canAddAudioInput(const AudioSettings& settings) const;
    // Throws `WriterError` when the input cannot be added (after writing started, a second sound
    // input, or settings the encoder refuses).
    void addAudioInput(const AudioSettings& settings);

    // The format the video encoder takes without a conversion: limited-range BT.709 Y'CbCr for the
    // codecs that have one here, else BGRA. Meaningful once the video input is added.
    PixelFormat encoderPixelFormat() const;

    // Opens the file and writes the header. Throws `WriterError`.
    void startWriting();
    // Times appended are written relative to this one.
    void startSession(Time start);
    // Encodes one picture shown from `presentationTime` on; times must increase. The picture must
    // have the input's size, in BGRA or the encoder's format. Throws `WriterError`.
    void appendVideo(const PixelBuffer& picture, Time presentationTime);
    // Encodes `frames` frames of interleaved float sound (the input's channel count per frame) played
    // from `presentationTime` on. A gap after the previous call is filled with silence; frames that
    // would play before the end of what was already appended are dropped. Samples beyond ±1 are
    // clipped by the encoder. Throws `WriterError`.
    void appendAudio(const float* samples, std::int64_t frames, Time presentationTime);
    // Drains the encoder and completes the file. Throws `WriterError`.
    void finishWriting();

    bool failed() const;
    const std::filesystem::path& path() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace osterveil::media
