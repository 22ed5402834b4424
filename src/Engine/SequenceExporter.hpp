#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "Model/EnumText.hpp"
#include "Model/Project.hpp"
#include "Platform/Media/AssetWriter.hpp"
#include "Platform/Media/MediaErrors.hpp"

namespace osterveil {

class PlateStore;

enum class ExportCodec { proRes422, proRes422HQ, proRes4444, h264, hevc };

template <> struct EnumText<ExportCodec> {
    static constexpr std::array<std::pair<ExportCodec, std::string_view>, 5> cases{
        {{ExportCodec::proRes422, "proRes422"},
         {ExportCodec::proRes422HQ, "proRes422HQ"},
         {ExportCodec::proRes4444, "proRes4444"},
         {ExportCodec::h264, "h264"},
         {ExportCodec::hevc, "hevc"}}};
};

// Everything an export needs: the document, where to write, how.
struct ExportRequest {
    Project project;
    std::optional<std::filesystem::path> projectURL;
    std::filesystem::path outputURL; // used as it stands; the codec decides the container
    ExportCodec codec = ExportCodec::h264;
    std::int64_t width = 1920;
    std::int64_t height = 1080;
    FrameRate frameRate{24, 1};
    bool useMarkedRange = false;
};

class ExportError : public media::Error {
public:
    enum class Kind { failed, nothingToExport, cancelled };
    static ExportError failed(const std::string& message) { return ExportError(Kind::failed, message); }
    static ExportError nothingToExport() { return ExportError(Kind::nothingToExport, "The sequence has nothing to export."); }
    static ExportError cancelled() { return ExportError(Kind::cancelled, "Export was cancelled."); }
    Kind kind() const { return kind_; }

private:
    ExportError(Kind kind, const std::string& message) : media::Error(message), kind_(kind) {}
    Kind kind_;
};

namespace ExportCodecs {
// Average bit rate in bits per second: 20 Mbit/s (HEVC 12) for 1920×1080 at 30 fps, scaled by pixels
// and frame rate, never below 2 Mbit/s.
std::int64_t bitrate(ExportCodec codec, std::int64_t width, std::int64_t height, double fps);
// Two seconds of frames, at least 1.
int keyFrameInterval(double fps);
bool isProRes(ExportCodec codec);
media::FileType fileType(ExportCodec codec);
} // namespace ExportCodecs

// Turns a project into a movie file: builds the composition at the export size, composes every
// frame, encodes, and writes the file beside the target first, moving it into place only when it is
// complete, so a failed or cancelled export never harms the file the user chose to replace.
// One exporter serves one export at a time; `cancel` may come from any thread.
class SequenceExporter {
public:
    SequenceExporter();
    ~SequenceExporter();

    // Writes the movie; progress goes from 0 to 1 (called from the export's thread). Throws
    // `ExportError`, or the build's errors unchanged. A target that is one of the files the project
    // reads (followed through links) is refused before anything is written. The finished movie is
    // read back before it takes its place, and one found lacking what it was to hold fails the export;
    // one that could not be read back is kept, and the returned note tells the user so (none when the
    // movie was checked).
    std::optional<std::string> exportMovie(const ExportRequest& request,
                                           const std::function<void(double)>& progress);
    // The same with an explicit plate store (tests keep theirs apart from the user's cache).
    std::optional<std::string> exportMovie(const ExportRequest& request,
                                           const std::function<void(double)>& progress, PlateStore& plates);
    // Only signals, and returns at once. The export in progress throws `ExportError::cancelled()` with
    // its file removed as soon as it sees the signal: at once while it encodes, leaving the frames in
    // hand to be dropped in the background; after the composition is built while it builds. When none
    // is in progress, the next one to start does so before writing anything.
    void cancel();

    // The export size: each side at least 16, then even; sides above 8192 are refused.
    static std::pair<int, int> exportSize(std::int64_t width, std::int64_t height);
    static media::VideoSettings videoSettings(const ExportRequest& request, int width, int height);
    // AAC at 320 kbit/s for MPEG-4, 24-bit linear PCM for QuickTime; 48 kHz stereo.
    static media::AudioSettings audioSettings(ExportCodec codec);

    // What reading a finished movie back found.
    struct ReadBack {
        enum class Result { holds, flawed, unchecked };
        Result result = Result::holds;
        // For `flawed` what is wrong with the movie, for `unchecked` that it could not be read and why.
        std::string message;
    };
    // Whether `movie` holds a picture of `pictureSeconds` and sound of `soundSeconds` (each only when
    // given), up to the rounding of the encoders. A file that cannot be opened, or not within
    // `timeLimit`, is unchecked; bytes that open but are no movie are a flaw.
    static ReadBack readBack(const std::filesystem::path& movie, std::optional<double> pictureSeconds,
                             std::optional<double> soundSeconds,
                             std::chrono::milliseconds timeLimit = std::chrono::seconds(10));
    // How long the read-back of a finished movie may take before the movie is kept unchecked.
    void setReadBackLimit(std::chrono::milliseconds limit) { readBackLimit_ = limit; }

  private:
    struct Encoding;
    bool isCancelled() const { return cancelled_.load(); }

    std::atomic<bool> cancelled_{false};
    std::mutex mutex_; // guards `encoding_`
    std::shared_ptr<Encoding> encoding_; // of the export in progress, once it encodes
    std::chrono::milliseconds readBackLimit_{std::chrono::seconds(10)};
};

} // namespace osterveil
