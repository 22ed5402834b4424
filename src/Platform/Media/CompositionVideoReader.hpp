#pragma once

#include <memory>
#include <optional>

#include "Platform/Media/Composition.hpp"
#include "Platform/Media/VideoCompositor.hpp"

namespace osterveil::media {

struct ComposedFrame {
    PixelBuffer picture; // at the video composition's render size, in the reader's format
    Time time;           // composition time it shows
};

// Reads a composition's picture as composed frames, in order, one per frame duration from the start
// of `range` (or 0) to its end (or the end of the instructions). Each source stream is decoded on a
// thread of its own, reading forward a few pictures ahead and opened a little before its first use,
// so a cut or dissolve to it does not wait for its decoder; several frames are composed at once on
// worker threads; frames come out in time order.
class CompositionVideoReader {
public:
    // `concurrency` frames are composed at once (0: one per hardware thread). Pictures come in
    // `format` when the composition's compositor draws it, else in BGRA.
    CompositionVideoReader(std::shared_ptr<const Composition> composition, VideoComposition videoComposition,
                           std::optional<TimeRange> range = std::nullopt, int concurrency = 0,
                           PixelFormat format = PixelFormat::bgra8);
    ~CompositionVideoReader();
    CompositionVideoReader(const CompositionVideoReader&) = delete;
    CompositionVideoReader& operator=(const CompositionVideoReader&) = delete;

    // The next frame, or none after the last. Throws `Error` when decoding or composing failed, or a
    // source's data ended before a time the composition shows it (naming the file), and `Error`
    // ("Reading was cancelled.") after `cancel`.
    std::optional<ComposedFrame> next();
    // Stops reading; frames in progress are dropped. Returns at once, from any thread: the reader's
    // threads end on their own and are joined when the reader is destroyed.
    void cancel();
    // The number of frames the range holds.
    std::int64_t frameCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace osterveil::media
