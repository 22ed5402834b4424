#include "Engine/SequenceExporter.hpp"

#include <cmath>
#include <random>

#include "Engine/CompositionBuilder.hpp"
#include "Engine/PlateStore.hpp"
#include "Model/Numeric.hpp"
#include "Platform/Media/CompositionAudioReader.hpp"
#include "Platform/Media/CompositionVideoReader.hpp"

namespace osterveil {

namespace fs = std::filesystem;

namespace ExportCodecs {

bool isProRes(ExportCodec c) {
    return c == ExportCodec::proRes422 || c == ExportCodec::proRes422HQ || c == ExportCodec::proRes4444;
}

media::FileType fileType(ExportCodec c) {
    return isProRes(c) ? media::FileType::quickTimeMovie : media::FileType::mpeg4;
}

std::int64_t bitrate(ExportCodec codec, std::int64_t width, std::int64_t height, double fps) {
    const double pixels = static_cast<double>(width) * static_cast<double>(height);
    const double factor = codec == ExportCodec::hevc ? 12000000 : 20000000;
    const double b = pixels / 2073600 * std::max(1.0, fps) / 30 * factor;
    if (!(b >= 2000000)) return 2000000;
    if (b >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(std::trunc(b));
}

int keyFrameInterval(double fps) {
    const std::int64_t r = roundToInt64(std::isfinite(fps) ? fps : 0);
    return 2 * r < 2 ? 1 : static_cast<int>(std::min<std::int64_t>(2 * r, 1 << 20));
}

} // namespace ExportCodecs

SequenceExporter::SequenceExporter() = default;
SequenceExporter::~SequenceExporter() = default;

std::pair<int, int> SequenceExporter::exportSize(std::int64_t width, std::int64_t height) {
    if (width > 8192 || height > 8192)
        throw ExportError::failed("The export size is too large; each side can be at most 8192 pixels.");
    const auto side = [](std::int64_t v) { return static_cast<int>(std::max<std::int64_t>(v, 16) & ~std::int64_t(1)); };
    return {side(width), side(height)};
}

media::VideoSettings SequenceExporter::videoSettings(const ExportRequest& request, int width, int height) {
    media::VideoSettings s;
    s.width = width;
    s.height = height;
    const double fps = request.frameRate.framesPerSecond();
    switch (request.codec) {
    case ExportCodec::proRes422: s.codec = media::VideoCodec::proRes422; break;
    case ExportCodec::proRes422HQ: s.codec = media::VideoCodec::proRes422HQ; break;
    case ExportCodec::proRes4444: s.codec = media::VideoCodec::proRes4444; break;
    case ExportCodec::h264: s.codec = media::VideoCodec::h264; break;
    case ExportCodec::hevc: s.codec = media::VideoCodec::hevc; break;
    }
    s.expectedFrameRate = fps;
    if (!ExportCodecs::isProRes(request.codec)) {
        s.averageBitRate = ExportCodecs::bitrate(request.codec, width, height, fps);
        s.maxKeyFrameInterval = ExportCodecs::keyFrameInterval(fps);
        s.profile = media::H264Profile::high;
    }
    return s;
}

media::AudioSettings SequenceExporter::audioSettings(ExportCodec codec) {
    media::AudioSettings s;
    s.codec = ExportCodecs::isProRes(codec) ? media::AudioCodec::linearPCM24 : media::AudioCodec::aac;
    s.sampleRate = 48000;
    s.channels = 2;
    s.bitRate = 320000;
    return s;
}

void SequenceExporter::cancel() {
    cancelled_ = true;
    std::lock_guard lock(mutex_);
    if (reader_) reader_->cancel();
}

void SequenceExporter::exportMovie(const ExportRequest& request, const std::function<void(double)>& progress) {
    exportMovie(request, progress, PlateStore::shared());
}

void SequenceExporter::exportMovie(const ExportRequest& request, const std::function<void(double)>& progress,
                                   PlateStore& plates) {
    cancelled_ = false;
    const auto [width, height] = exportSize(request.width, request.height);
    const CompositionBuild build =
        CompositionBuilder::build(request.project, request.projectURL,
                                  media::Size{double(width), double(height)}, request.frameRate, plates);
    if (isCancelled()) throw ExportError::cancelled();
    const bool hasPicture = build.videoComposition.has_value();
    const bool hasSound = !build.composition->tracks(media::MediaType::audio).empty();
    if (!hasPicture && !hasSound) throw ExportError::nothingToExport();

    std::optional<media::TimeRange> range;
    double origin = 0, span = std::max(0.01, build.duration);
    if (request.useMarkedRange) {
        if (auto marked = request.project.sequence.markedRange()) {
            const media::Time start = CompositionBuilder::mediaTime(marked->start);
            // Nothing is read past what the build laid: an out point beyond it, or a sequence length
            // that trusted a file's header, has no sources there.
            const media::Time end = std::max(start, std::min(CompositionBuilder::mediaTime(marked->end),
                                                             CompositionBuilder::mediaTime(build.duration)));
            range = media::TimeRange::fromStartEnd(start, end);
            origin = start.toSeconds();
            span = (end - start).toSeconds();
        }
    }

    // Written beside the target and moved into place only when complete.
    std::optional<media::Time> audioTime; // the end of the sound appended so far
    std::random_device rd;
    const fs::path partial = request.outputURL.parent_path() /
                             ("." + request.outputURL.filename().string() + ".partial-" + std::to_string(rd()));
    auto discard = [&] {
        std::error_code ec;
        fs::remove(partial, ec);
    };
    try {
        media::AssetWriter writer(partial, ExportCodecs::fileType(request.codec));
        if (hasPicture) {
            const media::VideoSettings settings = videoSettings(request, width, height);
            if (!writer.canAddVideoInput(settings)) throw ExportError::failed("Could not open the video encoder.");
            writer.addVideoInput(settings);
        }
        // Both sides are decided before either starts, so a side that cannot be written is never read.
        const media::AudioSettings sound = audioSettings(request.codec);
        const bool withSound = hasSound && writer.canAddAudioInput(sound);
        if (withSound) writer.addAudioInput(sound);
        if (!hasPicture && !withSound) throw ExportError::nothingToExport();

        std::optional<media::CompositionVideoReader> reader;
        if (hasPicture) reader.emplace(build.composition, *build.videoComposition, range);
        std::optional<media::CompositionAudioReader> audio;
        if (withSound) audio.emplace(build.composition, build.audioMix, range);
        {
            std::lock_guard lock(mutex_);
            reader_ = reader ? &*reader : nullptr;
        }
        struct Forget {
            SequenceExporter& e;
            ~Forget() {
                std::lock_guard lock(e.mutex_);
                e.reader_ = nullptr;
            }
        } forget{*this};
        if (isCancelled()) throw ExportError::cancelled();

        writer.startWriting();
        writer.startSession(range ? range->start : media::Time::zero());

        // Sound is appended up to each picture's time, so the file's streams stay interleaved.
        bool soundDone = !audio;
        auto appendSoundUpTo = [&](std::optional<media::Time> until) {
            while (!soundDone && (!until || !audioTime || *audioTime < *until)) {
                if (isCancelled()) throw ExportError::cancelled();
                std::optional<media::MixedAudio> block;
                try {
                    block = audio->next();
                } catch (const media::Error& e) {
                    throw ExportError::failed(e.what());
                }
                if (!block) {
                    soundDone = true;
                    break;
                }
                writer.appendAudio(block->samples.data(), block->frameCount(), block->presentationTime);
                audioTime = block->presentationTime + media::Time(block->frameCount(), media::CompositionAudioReader::sampleRate);
            }
        };

        while (reader) {
            if (isCancelled()) throw ExportError::cancelled();
            std::optional<media::ComposedFrame> frame;
            try {
                frame = reader->next();
            } catch (const media::Error& e) {
                if (isCancelled()) throw ExportError::cancelled();
                // A reader that fails fails the export: the movie would otherwise end early and look complete.
                throw ExportError::failed(e.what());
            }
            if (!frame) break;
            appendSoundUpTo(frame->time);
            writer.appendVideo(frame->picture, frame->time);
            if (progress) {
                const double p = (frame->time.toSeconds() - origin) / span;
                progress(std::isnan(p) ? 0 : std::clamp(p, 0.0, 1.0));
            }
        }
        appendSoundUpTo(std::nullopt);
        if (isCancelled()) throw ExportError::cancelled();
        writer.finishWriting();
    } catch (const ExportError&) {
        discard();
        throw;
    } catch (const media::WriterError& e) {
        discard();
        throw ExportError::failed(e.what());
    } catch (...) {
        discard();
        throw;
    }
    if (isCancelled()) {
        discard();
        throw ExportError::cancelled();
    }
    std::error_code ec;
    fs::rename(partial, request.outputURL, ec);
    if (ec) {
        discard();
        throw ExportError::failed("The movie could not be saved at its place: " + ec.message() + ".");
    }
    if (progress) progress(1.0);
}

} // namespace osterveil
