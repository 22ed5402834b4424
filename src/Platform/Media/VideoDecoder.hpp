#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "Platform/Imaging/YUVFrame.hpp"
#include "Platform/Media/Asset.hpp"
#include "Platform/Media/MediaErrors.hpp"
#include "Platform/Media/Time.hpp"

namespace osterveil::media {

// A picture could not be decoded.
class DecodeError : public Error {
public:
    using Error::Error;
};

// How a decoded picture lies in memory.
enum class FrameLayout {
    yuvPlanar,     // Y, Cb, Cr planes, and an alpha plane when planes[3] is set
    yuvSemiPlanar, // Y plane and one interleaved CbCr plane (NV12, P010)
    bgra,          // one plane of 8-bit B, G, R, A, alpha not premultiplied (pictures coded as RGB)
};

// One decoded picture, sampled in place: `keepAlive` owns the planes. Pixel formats the imaging layer
// does not read as they are were converted by the decoder to 4:4:4 Y'CbCr of 8 or 16 bits (Y'CbCr
// sources) or BGRA (RGB and palette sources).
struct VideoFrame {
    int width = 0;
    int height = 0;
    FrameLayout layout = FrameLayout::yuvPlanar;
    int bitDepth = 8;         // bits per sample; deeper than 8 takes two bytes per sample
    bool msbAligned = false;  // deep samples in the high bits (P010)
    int chromaShiftX = 1;     // chroma width = luma width >> shift, rounded up (0 to 2)
    int chromaShiftY = 1;     // chroma height likewise (4:2:0: 1; 4:4:0: 1 with chromaShiftX 0)
    imaging::YUVMatrix matrix = imaging::YUVMatrix::bt709;
    imaging::YUVRange range = imaging::YUVRange::limited;
    imaging::ColorPrimaries primaries = imaging::ColorPrimaries::bt709;
    imaging::TransferFunction transfer = imaging::TransferFunction::sdr;
    const std::uint8_t* planes[4] = {nullptr, nullptr, nullptr, nullptr};
    std::ptrdiff_t bytesPerRow[4] = {0, 0, 0, 0};
    std::shared_ptr<const void> keepAlive;
    Time presentationTime; // on the asset's timeline
    // Decoded while catching up, or predicted from a picture that was: a little off what the stream
    // holds (see `VideoDecoder::Decoding`).
    bool approximate = false;
};

// Decodes one picture stream, frame-accurately, for requests that mostly move forward: it keeps its
// decoder open and decodes on while times increase, and seeks (to the key frame before, then decodes
// forward) only when a request goes back, jumps far ahead, or lies well past a key frame not yet
// reached. A picture's time is judged by its neighbours': one a damaged header gave it is not believed,
// and the picture is placed by them and the frame rate. Not thread-safe: one user at a time.
class VideoDecoder {
public:
    // Throws `AssetError` when the file cannot be opened, `DecodeError` when the stream has no decoder.
    // `threads` bounds the codec's own threads (0: as many as it likes); each frame thread holds
    // pictures of its own, so a player that keeps many decoders open bounds them.
    explicit VideoDecoder(std::shared_ptr<const AssetTrack> track, int threads = 0);
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // The picture on screen at `time` (on the asset's timeline): the last frame presented at or before
    // it; the first frame for a time before the stream starts, the last after it ends. None only when
    // the stream yields no picture at all. A damaged frame is passed over and logged, so the one
    // before it stays on screen. Throws `DecodeError` when the stream can no longer be decoded.
    std::shared_ptr<const VideoFrame> frameAt(const Time& time);
    // The cheapest picture on screen somewhere in [time − before, time + after]: the one on screen
    // now or soon after when decoding on gets there quickly, else the first in the window decoded
    // from the key frame before its end (the key frame itself when it lies in the window).
    // With no tolerance the same as `frameAt`. Throws `DecodeError`.
    std::shared_ptr<const VideoFrame> frameNear(const Time& time, const Time& before, const Time& after);
    // The picture after the last one handed out, or none at the end of the stream. Throws `DecodeError`.
    std::shared_ptr<const VideoFrame> nextFrame();

    // Called with every picture as it is decoded, in presentation order; `followsPrevious` is false for
    // the first picture after a seek. Caches of a group of pictures fill from it.
    using FrameObserver = std::function<void(const std::shared_ptr<const VideoFrame>& frame, bool followsPrevious)>;
    void setFrameObserver(FrameObserver observer);
    // On (the default): on the way to a requested time, pictures that no other picture depends on are
    // not decoded once a later one, still by that time, is known to replace them on screen. A step
    // back (a request shortly before the picture on screen) decodes every picture of the half second
    // before it, for caches to serve the next steps. Pictures decoded around gaps left this way do
    // not count as following one another.
    void setSkipsUnneededPictures(bool on);

    // How pictures are decoded. `exact` (the default): as the stream says. `catchingUp`, for playback
    // that fell behind its clock: without the loop filter (H.264's and HEVC's deblocking, HEVC's sample
    // offsets), up to a seventh less work (H.264; a twelfth for HEVC) for slightly blockier pictures;
    // pictures predicted from those carry the difference, and all decoded up to the next seek are marked
    // `approximate`. `playback`: as `exact`, but such pictures are handed out as they are. Under `exact`
    // none is: the picture asked for is decoded again from the key frame before it.
    enum class Decoding { exact, playback, catchingUp };
    void setDecoding(Decoding decoding);

    // When the first key frame after `time` is on screen, if the file's index has one. The index tells
    // when key frames are decoded; the first time one is asked for, its packet is read (from a reading
    // of the file of its own, which leaves decoding where it is) to tell when it is shown.
    std::optional<Time> keyFrameAfter(const Time& time);

    // Whether the stream's data ran out before `time` though the track reaches past it: the file was
    // cut short after it was opened, and the picture `frameAt(time)` gave is an older one held.
    bool ranOutBefore(const Time& time) const;

    // A picture's time is judged by those of the pictures after it, decoded ahead for that: as many as
    // take `bytes` at most (two at least), beside what the codec holds. Packets are read further ahead
    // than that, undecoded, to judge their times.
    static constexpr std::size_t defaultLookAheadBytes = std::size_t(32) << 20;
    void setLookAheadBytes(std::size_t bytes);
    // The most pictures held decoded ahead at once since the decoder opened (their memory goes back to
    // the codec's pool, not to the system, until it closes).
    std::size_t mostPicturesAhead() const;

    const AssetTrack& track() const;
    // How many seeks the decoder made (to tell reading forward from jumping in tests and benchmarks).
    int seekCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace osterveil::media
