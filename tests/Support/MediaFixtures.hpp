#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

// Short real media files written with libavcodec at test time, so tests never depend on files
// checked in or on the ffmpeg command-line tool.
namespace osterveil::testsupport {

// MPEG-1 and MPEG-2 pictures as video CDs and DVDs carry them in program streams ("mpeg", "vob").
enum class VideoCodec { none, h264, proresHQ, mpeg4, mpeg1, mpeg2 };
enum class AudioCodec {
    none,
    aac,
    pcm16,
    mp3,
    // As camcorders and broadcast transport streams carry them.
    ac3,
    eac3,
    mp2,
    // 16-bit big-endian PCM, as DVDs carry it.
    lpcm,
    // As WebM and Matroska carry it, with its 312 samples of pre-skip.
    opus,
    // Lossless, in frames of 4,608 samples (96 ms at 48 kHz).
    flac,
    // 24-bit little-endian PCM, as cameras and Matroska files carry it; Apple's lossless coding.
    pcm24,
    alac,
    // Companded and ADPCM codings, as WAV files of telephony, dictation and old games carry them.
    muLaw,
    aLaw,
    adpcmMS,
    adpcmIMA,
};

struct MovieRecipe {
    // A libavformat muxer name: "mp4", "mov", "matroska", "wav", "mp3", "mpegts" (whose streams start
    // near 1.4 s, as the ffmpeg tool and camcorders write them), "mpeg" or "vob" (program streams),
    // "h264" or "m4v" (raw streams).
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
    // The width and height of a pixel as shown, in the coded stream and the container (a 16:9 PAL DVD's
    // 64:45); {0, 1}: not said, square.
    std::pair<int, int> sampleAspect{0, 1};
    // Matroska only: a PNG attachment, which readers show as a cover-art picture stream.
    bool coverArt = false;
    // Each frame shows its index as ten bars across the picture, the most significant bit at the left:
    // white for a one, black for a zero (see `countedFrameIndex`).
    bool countingFrames = false;
    // Frames from one key frame to the next.
    int keyFrameInterval = 12;
    // At most this many pictures in a row coded after the one that follows them (B-frames; x264 puts
    // them in a pyramid), so that the packets come in another order than the pictures they show.
    int reorderedPictures = 0;
    // Frames by which the first picture follows the start of the sound: an MP4 or QuickTime movie gets
    // an edit list with that much empty time before its pictures.
    int pictureDelay = 0;
    // Samples by which the sound follows the start: with `pictureDelay`, a lead of less than a picture.
    int soundDelay = 0;
    // Transport streams: every time this many seconds later still, as a recording that follows
    // another in one file carries its own times.
    double timeShift = 0;
    // When set, the luma of every pixel of frame n (chroma neutral), instead of the moving ramp.
    std::function<int(std::int64_t frame)> luma;
    // When set, the sample at frame n on every channel, instead of the 440 Hz tone.
    std::function<float(std::int64_t frame)> sound;
    // The frame rate slowed by 1000/1001, as NTSC video runs (30 becomes 29.97).
    bool ntsc = false;
};

// A movie written once into `folder` as `name` and kept there for later runs (long recordings). It is
// written beside its place and moved in, so that test processes running at once find it whole or not at all.
// The name stands for the recipe: a changed recipe needs a new name.
std::filesystem::path movieKeptIn(const std::filesystem::path& folder, const std::string& name,
                                  const MovieRecipe& recipe);

// The index a counting frame shows, read from 8-bit BGRA pixels (rows top-down) of any size.
int countedFrameIndex(const std::uint8_t* bgra, int width, int height, std::ptrdiff_t bytesPerRow);

// Each writer throws std::runtime_error when the library refuses.
void writeMovie(const std::filesystem::path& path, const MovieRecipe& recipe);
void writePng(const std::filesystem::path& path, int width, int height);
// A black PNG of any size, written a row at a time: a picture of 20000×20000 takes little memory
// to write and about a megabyte on disk. With `rows`, the file ends after that many rows: a header
// claiming a size that its data never fills. 8-bit RGB unless told other bits (8 or 16) and channels
// (1 grey, 2 grey and alpha, 3 RGB, 4 RGBA).
void writeBlankPng(const std::filesystem::path& path, int width, int height, std::optional<int> rows = {},
                   int bits = 8, int channels = 3);
// The colour of a still's pixel: red, green, blue and alpha from 0 to 1, alpha not premultiplied.
using StillColour = std::function<std::array<double, 4>(int x, int y)>;
// A 16-bit PNG of grey (the colour's red) or of RGBA, Adam7-interlaced when asked.
void writeDeepPng(const std::filesystem::path& path, int width, int height, bool grey, bool interlaced,
                  const StillColour& colour);
struct TiffRecipe {
    int bits = 8;          // 8 or 16 a sample; 16 or 32 when floating
    bool floating = false; // IEEE floating-point samples, as HDR and compositing tools write
    bool alpha = false;    // unassociated, as most writers store it
    int rowsPerStrip = 16; // 0: the whole picture in one strip
    int tileSide = 0;      // when set, tiles of this side (a multiple of 16) instead of strips
    int orientation = 1;   // the TIFF orientation tag
    bool planes = false;   // each sample stored apart, plane by plane, as scientific tools write
};
// A deflate-compressed RGB or RGBA TIFF.
void writeTiff(const std::filesystem::path& path, int width, int height, const TiffRecipe& recipe,
               const StillColour& colour);
// An 8-bit RGB TIFF whose header claims a picture of this size in one deflate-compressed strip, and
// whose data is a few bytes: to be judged from its header. Floating: 32-bit floating-point samples, in
// strips of 16 rows (or in tiles of `tileSide`), interleaved (or in planes), with a few bytes each.
struct HollowTiff {
    bool floating = false;
    bool planes = false;
    int tileSide = 0;
};
void writeHollowTiff(const std::filesystem::path& path, int width, int height, const HollowTiff& layout = {});
// With an orientation, an EXIF block carrying it follows the start-of-image marker.
void writeJpeg(const std::filesystem::path& path, int width, int height, std::optional<int> exifOrientation);
void writeRandomBytes(const std::filesystem::path& path, std::size_t size, std::uint32_t seed);
// `seconds` of silence as a 16-bit stereo 48 kHz WAV whose samples are a hole in the file: two hours
// take 1.4 GB of file and almost no disk.
void writeSparseWav(const std::filesystem::path& path, double seconds);
// The first `keep` fraction of `source`'s bytes.
void writeTruncatedCopy(const std::filesystem::path& source, const std::filesystem::path& path, double keep);
// A copy of `source` whose packet number `packet` of stream `streamIndex` (from the end when negative:
// -1 is the last) is overwritten with `fill` in every byte, or with random bytes when there is none.
void writeDamagedCopy(const std::filesystem::path& source, const std::filesystem::path& path, int streamIndex,
                      int packet, std::optional<std::uint8_t> fill = 0xFF);

enum class Fixture {
    h264Movie,            // MP4, H.264 320×180, 24 fps, 1 s, no sound
    h264MovieWithSound,   // the same with 1 s of stereo AAC at 48 kHz
    proresMovie,          // QuickTime, ProRes 422 HQ 320×180, 24 fps, 1 s
    proresMovieWithSound, // the same with stereo 16-bit PCM
    portraitMovie,        // QuickTime, H.264 320×180 stored, displayed 180×320
    anamorphicMovie,      // MP4, H.264 180×144 white pictures whose pixels are 64:45 (a 16:9 PAL DVD at
                          // a quarter of its size), displayed 256×144; 25 fps, 1 s
    matroskaMovie,        // Matroska, H.264 with 16-bit PCM (no QuickTime codes)
    wavAudio,             // WAV, 16-bit PCM stereo 48 kHz, 1 s
    audioWithCoverArt,    // Matroska audio, 16-bit PCM, with a PNG cover picture
    pngStill,             // PNG 320×180
    jpegWithOrientation,  // JPEG 320×180 stored, EXIF orientation 6 (turn 90° clockwise)
    clickMp3,             // MP3 (LAME, with its encoder delay), mono 48 kHz, 3 s of silence with a
                          // click of 0.9 every half second from 0.5 s
    flashTransportStream, // MPEG-TS starting near 1.4 s, H.264 320×180 at 25 fps (black, one white
                          // frame at 2 s) and stereo AAC 48 kHz (silence, one click at 2 s), 5 s
    manyChannelsWav,      // `wavAudio` whose header claims 9,473 channels: read, never decoded
};

// Where the clicks and flashes of the timing fixtures are, in frames of their 48 kHz sound.
constexpr std::int64_t kClickEvery = 24000;
constexpr std::int64_t kFlashAt = 96000;

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
