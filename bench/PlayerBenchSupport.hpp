#pragma once

// What the player's benchmarks share: their media, written once into a folder of their own, the event
// loop they run, and the record of a play.

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "Engine/CompositionBuilder.hpp"
#include "Engine/PlateStore.hpp"
#include "Media/MediaProbe.hpp"
#include "Model/Project.hpp"
#include "Platform/Media/AssetWriter.hpp"
#include "Platform/Media/Player.hpp"
#include "ToneWav.hpp"

namespace osterveil::bench {

namespace fs = std::filesystem;

// Shared by the benchmark programs of every build on the machine: a file is written under a name of its
// writer's own and then renamed, so that programs writing it at once do not write into each other's.
inline const fs::path& folder() {
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / "osterveil-player-bench";
        fs::create_directories(d);
        return d;
    }();
    return dir;
}

// The level of the tone under the clicks.
inline constexpr float kBed = 0.1f;

// Ten seconds of clicks twice a second over a quiet tone, on the fourth track for `duration` seconds.
inline void addClicks(Project& p, double duration) {
    MediaItem m;
    m.id = Uuid::make();
    m.kind = MediaKind::audio;
    m.hasAudio = true;
    m.path = (folder() / "clicks.wav").string();
    m.duration = 10;
    testsupport::writeFloatWav(m.path, 48000, 2, 480000, [](std::int64_t i, int) {
        return i % 24000 < 48 ? 0.9f : kBed * float(std::sin(i * 2 * M_PI * 440 / 48000));
    });
    p.media.push_back(m);
    TimelineClip c;
    c.id = Uuid::make();
    c.mediaID = m.id;
    c.duration = duration;
    p.sequence.tracks.mut(3).clips.push_back(c);
}

// A moving 1080p pattern with a key frame every 2 s, written once.
inline fs::path clip(const std::string& name, int fps, double seconds, int shade) {
    const fs::path path = folder() / (name + ".mp4");
    if (fs::exists(path)) return path;
    const fs::path partial = folder() / (name + ".part" + std::to_string(getpid()) + ".mp4");
    media::AssetWriter writer(partial, media::FileType::mpeg4);
    media::VideoSettings s;
    s.width = 1920;
    s.height = 1080;
    s.expectedFrameRate = fps;
    s.averageBitRate = 20'000'000;
    s.maxKeyFrameInterval = 2 * fps;
    writer.addVideoInput(s);
    writer.startWriting();
    writer.startSession(media::Time::zero());
    media::PixelBuffer frame = media::PixelBuffer::make(1920, 1080);
    const int frames = int(seconds * fps);
    for (int i = 0; i < frames; ++i) {
        for (int y = 0; y < 1080; ++y) {
            std::uint8_t* row = frame.row(y);
            for (int x = 0; x < 1920; ++x) {
                std::uint8_t* px = row + 4 * x;
                px[0] = static_cast<std::uint8_t>(x / 8 + i * 3 + shade);
                px[1] = static_cast<std::uint8_t>(y / 5 + i * 2);
                px[2] = static_cast<std::uint8_t>((x + y + i * 5) / 16);
                px[3] = 255;
            }
        }
        writer.appendVideo(frame, media::Time(i, fps));
    }
    writer.finishWriting();
    fs::rename(partial, path);
    return path;
}

// A camera's clip, written once by the ffmpeg tool: a moving test picture under sensor noise, which
// leaves the encoder few pictures to predict from others and makes decoding as costly as a camera's own,
// at about a camera's bit rate with a key frame every `keySeconds` and none elsewhere, as cameras write
// them; with `sound`, a steady tone as well, as a camera records. None when ffmpeg is not installed.
inline std::optional<fs::path> cameraClip(const std::string& name, bool hevc, int width, int height, int fps,
                                          double seconds, double keySeconds, int megabits,
                                          bool sound = false) {
    const fs::path path = folder() / (name + ".mp4");
    if (fs::exists(path)) return path;
    if (std::system("command -v ffmpeg > /dev/null 2>&1") != 0) return std::nullopt;
    const fs::path partial = folder() / (name + ".part" + std::to_string(getpid()) + ".mp4");
    const int key = int(keySeconds * fps);
    const std::string codec =
        hevc ? "-c:v libx265 -tag:v hvc1 -x265-params log-level=error:keyint=" + std::to_string(key) +
                   ":min-keyint=" + std::to_string(key) + ":scenecut=0"
             : "-c:v libx264 -profile:v high -g " + std::to_string(key) + " -x264-params scenecut=0";
    const std::string command =
        "ffmpeg -nostdin -y -v error -f lavfi -i testsrc2=size=" + std::to_string(width) + "x" +
        std::to_string(height) + ":rate=" + std::to_string(fps) + ":duration=" + std::to_string(seconds) +
        (sound ? " -f lavfi -i sine=frequency=220:sample_rate=48000:duration=" + std::to_string(seconds) +
                     " -c:a aac -b:a 192k"
               : std::string()) +
        " -vf noise=alls=12:allf=t -pix_fmt yuv420p -preset medium " + codec + " -b:v " +
        std::to_string(megabits) + "M -maxrate " + std::to_string(megabits) + "M -bufsize " +
        std::to_string(megabits) + "M " + partial.string();
    if (std::system(command.c_str()) != 0) return std::nullopt;
    fs::rename(partial, path);
    return path;
}

// Runs the event loop until `done` or `seconds` pass, looking every millisecond. The loop sleeps between
// events as the editor's does: one that spun would take a core's share from the player's threads on a
// busy machine.
template <class Done> inline void runUntil(Done done, double seconds) {
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    QTimer look;
    look.setTimerType(Qt::PreciseTimer);
    look.start(1);
    while (!done() && timer.elapsed() < seconds * 1000)
        loop.processEvents(QEventLoop::WaitForMoreEvents);
}

inline double millisecondsBetween(std::chrono::steady_clock::time_point a,
                                  std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// The pictures a play from where the player stands to the end put up: each one's item time, the clock
// then and when it went up; and when the clock started and the play ended.
struct PlayRecord {
    using Steady = std::chrono::steady_clock;
    struct Up {
        double time, clock;
        Steady::time_point at;
    };
    std::vector<Up> ups;
    Steady::time_point started, ended;
    std::int64_t dropped = 0;

    explicit PlayRecord(media::Player& player) {
        QObject context;
        QObject::connect(&player, &media::Player::frameChanged, &context, [&] {
            if (player.rate() == 0 || player.currentFrame().picture.isNull()) return;
            ups.push_back({player.currentFrame().time, player.currentTime(), Steady::now()});
        });
        QObject::connect(&player, &media::Player::statusChanged, &context, [&](media::Player::Status s) {
            if (s == media::Player::Status::playing) started = Steady::now();
        });
        const std::int64_t droppedBefore = player.droppedFrames();
        started = Steady::now();
        player.play();
        runUntil([&] { return player.rate() == 0; }, 120);
        ended = Steady::now();
        dropped = player.droppedFrames() - droppedBefore;
    }

    // While the clock ran through item times [from, to): the longest time the picture stood still,
    // and of the pictures of those times, how many went up, how many more than `frame` off the clock
    // (the sound heard), and the most one was off.
    struct Stretch {
        double stillMs = 0, offsetMaxMs = 0;
        std::int64_t shown = 0, offAFrame = 0;
    };
    Stretch over(double from, double to, double frame) const {
        Stretch s;
        double clock = ups.empty() ? 0 : std::min(ups.front().clock, ups.front().time);
        Steady::time_point at = started;
        const auto still = [&](double untilClock, Steady::time_point until) {
            if (clock < to && untilClock >= from)
                s.stillMs = std::max(s.stillMs, millisecondsBetween(at, until));
            clock = untilClock;
            at = until;
        };
        for (const Up& u : ups) {
            still(u.clock, u.at);
            if (u.time < from || u.time >= to) continue;
            ++s.shown;
            const double off = std::abs(u.clock - u.time);
            s.offsetMaxMs = std::max(s.offsetMaxMs, 1000 * off);
            if (off > frame) ++s.offAFrame;
        }
        still(1e9, ended);
        return s;
    }

    // Pictures of the item's frames in [from, to) (frame `frame` long) that did not go up within a frame
    // of the clock.
    std::int64_t missed(double from, double to, double frame) const {
        std::int64_t missed = 0;
        for (std::int64_t k = std::int64_t(std::ceil(from / frame - 1e-6)); double(k) * frame < to - 1e-6;
             ++k)
            missed += std::none_of(ups.begin(), ups.end(), [&](const Up& u) {
                return std::abs(u.time - double(k) * frame) < 1e-6 && std::abs(u.clock - u.time) <= frame;
            });
        return missed;
    }
};

// A 1080p24 sequence as the editor builds it, previewed at a new sequence's scale (half size), its media
// probed as they are imported: 3 s of a light 1080p clip, `heavy` (4K, played whole; its sound, if it has
// one, on A2 under it), 3 s of another light clip, and the click track on A1 for `clicks` seconds.
struct HeavyClip {
    fs::path file;
    double seconds;
    bool sound;
};
inline Project lightAroundHeavyProject(const HeavyClip& heavy, double clicks) {
    Project p;
    p.sequence = Sequence::makeNew();
    struct Piece {
        fs::path file;
        double start, in, duration;
        bool sound;
    };
    const std::vector<Piece> pieces = {
        {clip("clip0-24", 24, 5.5, 0), 0, 0, 3, false},
        {heavy.file, 3, 0, heavy.seconds, heavy.sound},
        {clip("clip1-24", 24, 5.5, 90), 3 + heavy.seconds, 0.5, 3, false},
    };
    for (const Piece& piece : pieces) {
        p.media.push_back(MediaProbe::makeItem(piece.file, std::nullopt));
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = p.media.back().id;
        c.start = piece.start;
        c.inPoint = piece.in;
        c.duration = piece.duration;
        p.sequence.tracks.mut(0).clips.push_back(c);
        if (piece.sound) {
            c.id = Uuid::make();
            p.sequence.tracks.mut(4).clips.push_back(c);
        }
    }
    addClicks(p, clicks);
    return p;
}
inline std::shared_ptr<const media::PlayerItem> lightAroundHeavy(const HeavyClip& heavy, double clicks) {
    static PlateStore plates(folder() / "plate");
    const Project p = lightAroundHeavyProject(heavy, clicks);
    const Sequence& s = p.sequence;
    const CompositionBuild build = CompositionBuilder::build(
        p, std::nullopt, {s.width * s.previewScale, s.height * s.previewScale}, s.frameRate, plates);
    return media::PlayerItem::composition(build.composition, build.videoComposition, build.audioMix);
}
} // namespace osterveil::bench
