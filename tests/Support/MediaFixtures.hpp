#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

// Short real media files written with libavcodec at test time, so tests never depend on files
// checked in or on the ffmpeg command-line tool.
namespace osterveil::testsupport {

enum class VideoCodec { none, h264, proresHQ };
enum class AudioCodec { none, aac, pcm16 };

struct MovieRecipe {
    // A libavformat muxer name: "mp4", "mov", "matroska", "wav".
    std::string container = "mp4";
    VideoCodec video = VideoCodec::h264;
    int width = 320;
    int height = 180;
    int framesPerSecond = 24;
    int frames = 24;
    AudioCodec audio = AudioCodec::none;
    int sampleRate = 48000;
    int channels = 2;
    double audioSeconds = 1.0;
    // Stores a QuickTime display matrix turning the picture 90° clockwise, as phones record portrait.
    bool portrait = false;
    // Matroska only: a PNG attachment, which readers show as a cover-art picture stream.
    bool coverArt = false;
    // Each frame shows its index as ten bars across the picture, the most significant bit at the left:
    // white for a one, black for a zero (see `countedFrameIndex`).
    bool countingFrames = false;
    // Frames from one key frame to the next.
    int keyFrameInterval = 12;
};

// The index a counting frame shows, read from 8-bit BGRA pixels (rows top-down) of any size.
int countedFrameIndex(const std::uint8_t* bgra, int width, int height, std::ptrdiff_t bytesPerRow);

// Each writer throws std::runtime_error when the library refuses.
void writeMovie(const std::filesystem::path& path, const MovieRecipe& recipe);
void writePng(const std::filesystem::path& path, int width, int height);
// With an orientation, an EXIF block carrying it follows the start-of-image marker.
void writeJpeg(const std::filesystem::path& path, int width, int height, std::optional<int> exifOrientation);
void writeRandomBytes(const std::filesystem::path& path, std::size_t size, std::uint32_t seed);
// The first `keep` fraction of `source`'s bytes.
void writeTruncatedCopy(const std::filesystem::path& source, const std::filesystem::path& path, double keep);

enum class Fixture {
    h264Movie,            // MP4, H.264 320×180, 24 fps, 1 s, no sound
    h264MovieWithSound,   // the same with 1 s of stereo AAC at 48 kHz
    proresMovie,          // QuickTime, ProRes 422 HQ 320×180, 24 fps, 1 s
    proresMovieWithSound, // the same with stereo 16-bit PCM
    portraitMovie,        // QuickTime, H.264 320×180 stored, displayed 180×320
    matroskaMovie,        // Matroska, H.264 with 16-bit PCM (no QuickTime codes)
    wavAudio,             // WAV, 16-bit PCM stereo 48 kHz, 1 s
    audioWithCoverArt,    // Matroska audio, 16-bit PCM, with a PNG cover picture
    pngStill,             // PNG 320×180
    jpegWithOrientation,  // JPEG 320×180 stored, EXIF orientation 6 (turn 90° clockwise)
};

// The fixtures of one test process in a private temporary folder, each written on first use and
// removed with the folder at exit. Safe from several threads.
class MediaFixtures {
  public:
    static MediaFixtures& shared();

    std::filesystem::path path(Fixture fixture);
    // A path in the folder for a file a test makes itself; nothing is created.
    std::filesystem::path scratch(const std::string& name) const { return directory_ / name; }
    const std::filesystem::path& directory() const { return directory_; }

    MediaFixtures(const MediaFixtures&) = delete;
    MediaFixtures& operator=(const MediaFixtures&) = delete;
    ~MediaFixtures();

  private:
    MediaFixtures();

    std::filesystem::path directory_;
    std::mutex mutex_;
    std::map<Fixture, std::filesystem::path> written_;
};

} // namespace osterveil::testsupport
