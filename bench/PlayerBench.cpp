// The player as the editor uses it: playing a 10 s 1080p two-clip sequence with a one-second dissolve
// and a basic grade (frames dropped, how late pictures go up, peak memory), exact seeks on 1080p H.264
// with a key frame every 2 s (request to picture), scrubbing with tolerant seeks at 30 requests a
// second (pictures shown a second), and exact seeks along a 2,000-clip sequence cut from many sources
// (resident memory after them and at rest, and their latency). Run the half-size playback pinned to two
// cores, and each seeking case in a process of its own (resident memory is the whole process's):
//   taskset -c 0,1 bench/bench_player --benchmark_filter=Play/scale:50
//   bench/bench_player --benchmark_filter=SeeksAcrossSources/sources:24/apart:1104
// Footage heavier than the machine (4K camera clips, written by the ffmpeg tool): SlowerThanTheFootage on
// one core, HeavyClipInALightSequence on two cores with eight busy loops on them:
//   taskset -c 7 bench/bench_player --benchmark_filter=SlowerThanTheFootage
// Sound goes to the null output, so no device is needed, except in the cases played through a sound
// server (a private PulseAudio, or the one OSTERVEIL_PULSE_SERVER names, with a sink called "null"):
// PlayWithSound, FreshStarts and WakingDevice. Run them on two cores, at rest and with a busy desktop's
// load on the same two cores:
//   for i in $(seq 8); do taskset -c 0,1 sh -c 'while :; do :; done' & done
//   taskset -c 0,1 bench/bench_player --benchmark_filter='PlayWithSound|FreshStarts|WakingDevice'

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <tuple>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "Engine/CompositionBuilder.hpp"
#include "Engine/PlateStore.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Audio/Output.hpp"
#include "Platform/Media/AssetWriter.hpp"
#include "Platform/Media/Player.hpp"
#include "Platform/Media/VideoDecoder.hpp"
#include "ProcessMemory.hpp"
#include "PulseServer.hpp"
#include "SinkListener.hpp"
#include "ToneWav.hpp"

using namespace osterveil;
namespace fs = std::filesystem;

namespace {

const fs::path& folder() {
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / "osterveil-player-bench";
        fs::create_directories(d);
        return d;
    }();
    return dir;
}

// The level of the tone under the clicks.
constexpr float kBed = 0.1f;

// Ten seconds of clicks twice a second over a quiet tone, on the fourth track for `duration` seconds.
void addClicks(Project& p, double duration) {
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
fs::path clip(const std::string& name, int fps, double seconds, int shade) {
    const fs::path path = folder() / (name + ".mp4");
    if (fs::exists(path)) return path;
    const fs::path partial = folder() / (name + ".part.mp4");
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

// Two 5 s clips meeting in a one-second dissolve, both graded, at `fps`; with `clicks`, a sound on A1
// that clicks every half second over a quiet unbroken tone, so a break in the sound shows as silence.
std::shared_ptr<const media::PlayerItem> sequence(int fps, double scale, bool clicks = false) {
    static PlateStore plates(folder() / "plate");
    Project p;
    p.sequence = Sequence::makeNew();
    p.sequence.frameRate = FrameRate{fps, 1};
    for (int n = 0; n < 2; ++n) {
        MediaItem m;
        m.id = Uuid::make();
        m.kind = MediaKind::video;
        m.hasVideo = true;
        m.path = clip("clip" + std::to_string(n) + "-" + std::to_string(fps), fps, 5.5, n * 90).string();
        m.duration = 5.5;
        p.media.push_back(m);
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = m.id;
        c.start = n * 5.0;
        c.inPoint = n * 0.5;
        c.duration = 5.0;
        c.grade.exposure.value = 0.2;
        c.grade.saturation.value = 1.2;
        if (n == 0) c.outgoing = {TransitionKind::crossDissolve, 1.0, TransitionCurve::linear};
        p.sequence.tracks.mut(0).clips.push_back(c);
    }
    if (clicks) addClicks(p, 10);
    const media::Size size{1920 * scale, 1080 * scale};
    const CompositionBuild build =
        CompositionBuilder::build(p, std::nullopt, size, p.sequence.frameRate, plates);
    return media::PlayerItem::composition(build.composition, build.videoComposition, build.audioMix);
}

// A camera's clip, written once by the ffmpeg tool: a moving test picture under sensor noise, which
// leaves the encoder few pictures to predict from others and makes decoding as costly as a camera's own,
// at about a camera's bit rate with a key frame every `keySeconds` and none elsewhere, as cameras write
// them; with `sound`, a steady tone as well, as a camera records. None when ffmpeg is not installed.
std::optional<fs::path> cameraClip(const std::string& name, bool hevc, int width, int height, int fps,
                                   double seconds, double keySeconds, int megabits, bool sound = false) {
    const fs::path path = folder() / (name + ".mp4");
    if (fs::exists(path)) return path;
    if (std::system("command -v ffmpeg > /dev/null 2>&1") != 0) return std::nullopt;
    const fs::path partial = folder() / (name + ".part.mp4");
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
template <class Done> void runUntil(Done done, double seconds) {
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    QTimer look;
    look.setTimerType(Qt::PreciseTimer);
    look.start(1);
    while (!done() && timer.elapsed() < seconds * 1000)
        loop.processEvents(QEventLoop::WaitForMoreEvents);
}

double millisecondsBetween(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(q * double(v.size() - 1) + 0.5))];
}

void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// Plays the whole sequence from the start at rate 1.
void BM_Play(benchmark::State& state) {
    const double scale = double(state.range(0)) / 100;
    const int fps = int(state.range(1));
    const auto item = sequence(fps, scale);
    for (auto _ : state) {
        resetPeak();
        media::Player player(audio::Output::createNull());
        player.setItem(item);
        double lateness = 0;
        std::int64_t shown = 0;
        QObject::connect(&player, &media::Player::frameChanged, [&] {
            if (player.rate() == 0 || player.currentFrame().picture.isNull()) return;
            lateness += std::max(0.0, player.currentTime() - player.currentFrame().time);
            ++shown;
        });
        runUntil([&] { return !player.currentFrame().picture.isNull(); }, 10);
        const std::int64_t droppedBefore = player.droppedFrames();
        player.play();
        runUntil([&] { return player.rate() == 0; }, 30);
        state.counters["dropped"] = double(player.droppedFrames() - droppedBefore);
        state.counters["shown"] = double(shown);
        state.counters["late_ms"] = shown ? 1000 * lateness / double(shown) : 0;
        state.counters["peak_MB"] = testsupport::peakResidentMegabytes();
    }
}
BENCHMARK(BM_Play)
    ->Args({50, 24})
    ->Args({100, 24})
    ->Args({100, 30})
    ->ArgNames({"scale", "fps"})
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

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

// Footage heavier than the machine: a 4 s 4K H.264 camera clip at `fps` (100 Mbit/s, a key frame a
// second) played in the source monitor from the start, through the null output (its clock is the sound
// heard, as a device's is). Run it on one core (taskset -c 7) to have a machine that decodes it at about
// half its speed. Over three plays: the longest time the picture stood still while playing (target at
// most 250 ms), pictures shown a second (at least 8), how many went up more than a frame off the clock,
// the most one was off, and pictures passed over.
void BM_SlowerThanTheFootage(benchmark::State& state) {
    const int fps = int(state.range(0));
    const auto file = cameraClip("camera-4k" + std::to_string(fps), false, 3840, 2160, fps, 4, 1, 100);
    if (!file) {
        state.SkipWithError("ffmpeg is not installed");
        return;
    }
    const auto item = media::PlayerItem::file(*file);
    double still = 0, perSecond = 1e9, offsetMax = 0, offAFrame = 0, dropped = 0;
    for (auto _ : state) {
        media::Player player(audio::Output::createNull());
        player.setItem(item);
        runUntil([&] { return !player.currentFrame().picture.isNull(); }, 30);
        const PlayRecord play(player);
        const auto all = play.over(0, 1e9, 1.0 / fps);
        still = std::max(still, all.stillMs);
        perSecond = std::min(perSecond, double(all.shown) /
                                            std::chrono::duration<double>(play.ended - play.started).count());
        offsetMax = std::max(offsetMax, all.offsetMaxMs);
        offAFrame += double(all.offAFrame);
        dropped += double(play.dropped);
    }
    state.counters["still_max_ms"] = still;
    state.counters["shown_per_s_min"] = perSecond;
    state.counters["off_a_frame"] = offAFrame;
    state.counters["offset_max_ms"] = offsetMax;
    state.counters["dropped"] = dropped;
}
BENCHMARK(BM_SlowerThanTheFootage)
    ->Arg(60)
    ->Arg(30)
    ->ArgName("fps")
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(3);

// A 1080p24 sequence previewed at half size as the editor builds it: 3 s of a light 1080p clip, `heavy`
// (4K, played whole; its sound, if it has one, on A2 under it), 3 s of another light clip, and the click
// track on A1 for `clicks` seconds.
struct HeavyClip {
    fs::path file;
    double seconds;
    bool sound;
};
std::shared_ptr<const media::PlayerItem> lightAroundHeavy(const HeavyClip& heavy, double clicks) {
    static PlateStore plates(folder() / "plate");
    Project p;
    p.sequence = Sequence::makeNew();
    p.sequence.frameRate = FrameRate{24, 1};
    struct Piece {
        fs::path file;
        double start, in, duration, length;
        int width, height;
        bool sound;
    };
    const std::vector<Piece> pieces = {
        {clip("clip0-24", 24, 5.5, 0), 0, 0, 3, 5.5, 1920, 1080, false},
        {heavy.file, 3, 0, heavy.seconds, heavy.seconds, 3840, 2160, heavy.sound},
        {clip("clip1-24", 24, 5.5, 90), 3 + heavy.seconds, 0.5, 3, 5.5, 1920, 1080, false},
    };
    for (const Piece& piece : pieces) {
        MediaItem m;
        m.id = Uuid::make();
        m.kind = MediaKind::video;
        m.hasVideo = true;
        m.hasAudio = piece.sound;
        m.path = piece.file.string();
        m.duration = piece.length;
        m.width = piece.width;
        m.height = piece.height;
        p.media.push_back(m);
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = m.id;
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
    const CompositionBuild build =
        CompositionBuilder::build(p, std::nullopt, {960, 540}, p.sequence.frameRate, plates);
    return media::PlayerItem::composition(build.composition, build.videoComposition, build.audioMix);
}

// A heavy clip inside a light sequence: a 1080p24 sequence previewed at half size, 3 s of a light 1080p
// clip, then 3.1 s of a 4K30 HEVC camera clip (50 Mbit/s, a key frame a second), then 3 s of another
// light clip, with the click track on A1, played from the start through the null output. Run it on two
// cores with eight busy loops on them. Over three plays: over the heavy clip, the longest still, the
// fewest pictures shown a second, how many went up more than a frame off the clock and the most one
// was off; over the light clips, the pictures that did not go up within a frame of the clock (target 0),
// and the longest still.
void BM_HeavyClipInALightSequence(benchmark::State& state) {
    const auto heavy = cameraClip("camera-4k30-hevc", true, 3840, 2160, 30, 3.1, 1, 50);
    if (!heavy) {
        state.SkipWithError("ffmpeg is not installed");
        return;
    }
    const auto item = lightAroundHeavy({*heavy, 3.1, false}, 9.1);
    constexpr double frame = 1.0 / 24;
    double heavyStill = 0, heavyPerSecond = 1e9, heavyOff = 0, offsetMax = 0, lightMissed = 0, lightStill = 0;
    for (auto _ : state) {
        media::Player player(audio::Output::createNull());
        player.setItem(item);
        runUntil([&] { return !player.currentFrame().picture.isNull(); }, 30);
        const PlayRecord play(player);
        const auto heavy = play.over(3, 6.1, frame);
        heavyStill = std::max(heavyStill, heavy.stillMs);
        heavyPerSecond = std::min(heavyPerSecond, double(heavy.shown) / 3.1);
        heavyOff += double(heavy.offAFrame);
        offsetMax = std::max(offsetMax, play.over(0, 1e9, frame).offsetMaxMs);
        // The first picture was on screen before the play.
        lightMissed += double(play.missed(frame, 3, frame) + play.missed(6.1, 9.1, frame));
        lightStill =
            std::max({lightStill, play.over(0, 3, frame).stillMs, play.over(6.1, 9.1, frame).stillMs});
    }
    state.counters["heavy_still_max_ms"] = heavyStill;
    state.counters["heavy_shown_per_s_min"] = heavyPerSecond;
    state.counters["heavy_off_a_frame"] = heavyOff;
    state.counters["offset_max_ms"] = offsetMax;
    state.counters["light_missed"] = lightMissed;
    state.counters["light_still_max_ms"] = lightStill;
}
BENCHMARK(BM_HeavyClipInALightSequence)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);

// A 1080p24 sequence previewed at half size: `light` seconds of a light 1080p clip, then `heavy` seconds of
// the 4K60 H.264 camera clip (100 Mbit/s, a key frame a second, three B-frames), and with `clicks` the click
// track on A1. None when ffmpeg is not installed.
std::shared_ptr<const media::PlayerItem> lightThenHeavy(double light, double heavy, bool clicks) {
    static PlateStore plates(folder() / "plate");
    const auto camera = cameraClip("camera-4k60", false, 3840, 2160, 60, 4, 1, 100);
    if (!camera) return nullptr;
    Project p;
    p.sequence = Sequence::makeNew();
    p.sequence.frameRate = FrameRate{24, 1};
    for (const auto& [file, start, duration, length] :
         {std::tuple(clip("clip0-24", 24, 5.5, 0), 0.0, light, 5.5),
          std::tuple(*camera, light, heavy, 4.0)}) {
        MediaItem m;
        m.id = Uuid::make();
        m.kind = MediaKind::video;
        m.hasVideo = true;
        m.path = file.string();
        m.duration = length;
        p.media.push_back(m);
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = m.id;
        c.start = start;
        c.duration = duration;
        p.sequence.tracks.mut(0).clips.push_back(c);
    }
    if (clicks) addClicks(p, light + heavy);
    const CompositionBuild build =
        CompositionBuilder::build(p, std::nullopt, {960, 540}, p.sequence.frameRate, plates);
    return media::PlayerItem::composition(build.composition, build.videoComposition, build.audioMix);
}

// A player leaving a read-ahead: `lightThenHeavy` with 2 s of the light clip, whose reading reads the heavy
// clip's first picture ahead, played from the start through the null output; 300 to 1,200 ms into the play
// (100 ms further each run), the player is destroyed (argument 0) or given the light clip as a file item of
// its own (argument 1). The time the destruction takes on the calling thread, or from the new item to its
// first picture (target: at most 50 ms either way, beyond what that picture takes in a player that reads
// nothing else: argument 2), the longest of the runs and their median.
void BM_LeavingAReadAhead(benchmark::State& state) {
    const bool replaces = state.range(0) == 1;
    const auto item = lightThenHeavy(2, 4, false);
    if (!item) {
        state.SkipWithError("ffmpeg is not installed");
        return;
    }
    const fs::path light = clip("clip0-24", 24, 5.5, 0);
    const auto file = media::PlayerItem::file(light);
    std::vector<double> waits;
    int run = 0;
    for (auto _ : state) {
        auto player = std::make_unique<media::Player>(audio::Output::createNull());
        if (state.range(0) == 2) {
            // The floor: the light clip's first picture in a player that reads nothing else.
            QElapsedTimer timer;
            timer.start();
            player->play();
            player->setItem(file);
            runUntil([&] { return !player->currentFrame().picture.isNull(); }, 30);
            waits.push_back(double(timer.nsecsElapsed()) / 1e6);
            continue;
        }
        player->setItem(item);
        runUntil([&] { return !player->currentFrame().picture.isNull(); }, 30);
        player->play();
        runUntil([&] { return player->status() == media::Player::Status::playing; }, 30);
        const double into = 0.3 + 0.1 * (run++ % 10);
        runUntil([&] { return false; }, into);
        QElapsedTimer timer;
        timer.start();
        if (replaces) {
            player->setItem(file);
            runUntil([&] { return !player->currentFrame().picture.isNull(); }, 30);
        } else {
            player.reset();
        }
        waits.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    state.counters["wait_max_ms"] = percentile(waits, 1);
    state.counters["wait_median_ms"] = percentile(waits, 0.5);
}
BENCHMARK(BM_LeavingAReadAhead)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->ArgName("new_item")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(10);

// Play pressed a second after a stop inside heavy footage: `lightThenHeavy` with 1 s of the light clip and
// the click track, through the null output (its clock is the sound heard), played from 0.5 s, stopped
// 0.8 s into the heavy clip and played again 1 s later. The time from the press to the first sound (target:
// at most 100 ms, whatever the picture is doing) and to the first new picture, over five runs (the longest
// and the median).
void BM_SpaceAfterAStop(benchmark::State& state) {
    using Steady = std::chrono::steady_clock;
    const auto item = lightThenHeavy(1, 3, true);
    if (!item) {
        state.SkipWithError("ffmpeg is not installed");
        return;
    }
    std::vector<double> toSound, toPicture;
    for (auto _ : state) {
        media::Player player(audio::Output::createNull());
        player.setItem(item);
        player.seek(0.5);
        runUntil([&] { return player.currentFrame().time == 0.5; }, 30);
        player.play();
        runUntil([&] { return player.currentTime() >= 1.8 || player.rate() == 0; }, 30);
        player.pause();
        runUntil([] { return false; }, 1.0);
        std::optional<Steady::time_point> picture;
        QObject context;
        QObject::connect(&player, &media::Player::frameChanged, &context, [&] {
            if (!picture && player.rate() != 0 && !player.currentFrame().picture.isNull())
                picture = Steady::now();
        });
        const std::int64_t heard = player.output().position();
        const Steady::time_point pressed = Steady::now();
        player.play();
        runUntil([&] { return player.output().position() > heard; }, 30);
        toSound.push_back(millisecondsBetween(pressed, Steady::now()));
        runUntil([&] { return picture.has_value(); }, 30);
        toPicture.push_back(picture ? millisecondsBetween(pressed, *picture) : 30000);
        player.pause();
    }
    state.counters["to_sound_max_ms"] = percentile(toSound, 1);
    state.counters["to_sound_median_ms"] = percentile(toSound, 0.5);
    state.counters["to_picture_max_ms"] = percentile(toPicture, 1);
    state.counters["to_picture_median_ms"] = percentile(toPicture, 0.5);
}
BENCHMARK(BM_SpaceAfterAStop)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(5);

bool skippedWithoutServer(benchmark::State& state, const testsupport::PulseServer& server) {
    if (server.running()) return false;
    state.SkipWithError("pulseaudio is not installed");
    return true;
}

// Until the player's output has found the server.
void waitForTheDevice(media::Player& player) {
    runUntil([&] { return player.output().kind() == audio::Output::Kind::device; }, 20);
}

// What a recording of the null sink's monitor tells of a play: where the sound began, its breaks (silence
// of 2 ms or more inside the tone) and each click, as steady-clock times.
struct Heard {
    std::optional<std::chrono::steady_clock::time_point> first;
    std::vector<double> breaksMs;
    std::vector<std::chrono::steady_clock::time_point> clicks;
    double seconds = 0; // from the first sound to the last

    Heard(const std::vector<float>& left, std::chrono::steady_clock::time_point origin) {
        const auto at = [&](std::size_t i) {
            return origin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                std::chrono::duration<double>(double(i) / 48000));
        };
        std::size_t begin = left.size(), end = 0;
        for (std::size_t i = 0; i < left.size(); ++i)
            if (std::abs(left[i]) > kBed / 2) {
                begin = std::min(begin, i);
                end = i;
            }
        if (begin >= end) return;
        first = at(begin);
        seconds = double(end - begin) / 48000;
        std::size_t quiet = 0;
        for (std::size_t i = begin; i <= end; ++i) {
            if (std::abs(left[i]) < kBed / 50) {
                ++quiet;
                continue;
            }
            if (quiet >= 96) breaksMs.push_back(double(quiet) / 48);
            quiet = 0;
        }
        for (std::size_t i = begin + 1; i <= end; ++i)
            if (left[i] > 0.45f && left[i - 1] <= 0.45f) clicks.push_back(at(i));
    }

    double longestBreakMs() const {
        return breaksMs.empty() ? 0 : *std::max_element(breaksMs.begin(), breaksMs.end());
    }
};

// The same sequence with its click track, played through a sound server: pictures dropped, how far each
// presented picture lies from the sound clock (and how many lie more than a frame off), how far each
// picture going up lies from its sound as the server played it (recorded from the null sink's monitor,
// placed by the clicks), and how many lie more than a frame off; breaks in the sound, sound devices given
// up for lost, and the time from play to the first sound the server reports played and to the first
// sound recorded; all over the three runs (counts summed, the worst of the maxima). Over all the pictures
// the play had to show, not only those it did: how many did not go up within a frame of their sound
// (passed over or late), and the longest time the picture stood still. The recorder reads in
// pieces of 5 ms, which holds a PipeWire graph to a period of 5.3 ms: a period the server misses on a busy
// machine shows as a break of that length, whichever program plays.
void BM_PlayWithSound(benchmark::State& state) {
    using Steady = std::chrono::steady_clock;
    testsupport::PulseServer server;
    if (skippedWithoutServer(state, server)) return;
    const auto item = sequence(24, 0.5, true);
    // Over all the runs.
    std::vector<double> offsets, pictureOffsets, breaksMs, toSound, toHeard;
    double dropped = 0, shown = 0, clicks = 0, losses = 0, pictures = 0, notOnSound = 0, stillMs = 0;
    for (auto _ : state) {
        testsupport::SinkRecorder recorder;
        media::Player player(audio::Output::create());
        waitForTheDevice(player);
        player.setItem(item);
        runUntil([&] { return !player.currentFrame().picture.isNull(); }, 10);
        std::vector<std::pair<double, Steady::time_point>> presented;
        QObject::connect(&player, &media::Player::frameChanged, [&] {
            if (player.rate() == 0 || player.currentFrame().picture.isNull()) return;
            offsets.push_back(1000 * std::abs(player.currentTime() - player.currentFrame().time));
            presented.emplace_back(player.currentFrame().time, Steady::now());
        });
        const std::int64_t droppedBefore = player.droppedFrames();
        const std::int64_t heardBefore = player.output().position();
        const std::uint64_t lossesBefore = player.output().deviceLosses();
        const Steady::time_point pressed = Steady::now();
        player.play();
        runUntil([&] { return player.output().position() > heardBefore; }, 10);
        toSound.push_back(millisecondsBetween(pressed, Steady::now()));
        runUntil([&] { return player.rate() == 0; }, 30);
        const Heard heard(recorder.finish(), recorder.origin());
        // Each shown picture against its sound: the sound of item time t was heard t − c after the
        // recorded click of item time c before it (the first sound standing for time 0).
        std::vector<std::pair<double, Steady::time_point>> marks;
        if (heard.first) marks.emplace_back(0.0, *heard.first);
        for (const auto& click : heard.clicks)
            marks.emplace_back(std::round(2 * millisecondsBetween(*heard.first, click) / 1000) / 2, click);
        std::vector<double> onSound;
        for (const auto& [time, at] : presented) {
            const auto mark =
                std::find_if(marks.rbegin(), marks.rend(), [&](const auto& m) { return m.first <= time; });
            if (mark == marks.rend()) continue;
            pictureOffsets.push_back(
                std::abs(millisecondsBetween(mark->second, at) - 1000 * (time - mark->first)));
            if (pictureOffsets.back() <= 1000.0 / 24) onSound.push_back(time);
        }
        // Every picture after the one on screen at the start.
        const int due = int(std::lround(item->duration() * 24)) - 1;
        pictures += due;
        for (int k = 1; k <= due; ++k)
            notOnSound += std::none_of(onSound.begin(), onSound.end(),
                                       [&](double t) { return std::abs(t - k / 24.0) < 1e-6; });
        for (std::size_t i = 0; i < presented.size(); ++i)
            stillMs = std::max(
                stillMs, millisecondsBetween(i ? presented[i - 1].second : pressed, presented[i].second));
        dropped += double(player.droppedFrames() - droppedBefore);
        shown += double(presented.size());
        clicks += double(heard.clicks.size());
        breaksMs.insert(breaksMs.end(), heard.breaksMs.begin(), heard.breaksMs.end());
        losses += double(player.output().deviceLosses() - lossesBefore);
        toHeard.push_back(heard.first ? millisecondsBetween(pressed, *heard.first) : 1e9);
    }
    const auto overAFrame = [](const std::vector<double>& ms) {
        return double(std::count_if(ms.begin(), ms.end(), [](double m) { return m > 1000.0 / 24; }));
    };
    state.counters["dropped"] = dropped;
    state.counters["shown"] = shown;
    state.counters["pictures"] = pictures;
    state.counters["not_on_sound_of_all"] = notOnSound;
    state.counters["still_max_ms"] = stillMs;
    state.counters["clock_offset_median_ms"] = percentile(offsets, 0.5);
    state.counters["clock_offset_max_ms"] = percentile(offsets, 1);
    state.counters["clock_over_a_frame"] = overAFrame(offsets);
    state.counters["picture_offset_median_ms"] = percentile(pictureOffsets, 0.5);
    state.counters["picture_offset_max_ms"] = percentile(pictureOffsets, 1);
    state.counters["pictures_over_a_frame"] = overAFrame(pictureOffsets);
    state.counters["clicks"] = clicks;
    state.counters["breaks"] = double(breaksMs.size());
    state.counters["longest_break_ms"] = percentile(breaksMs, 1);
    state.counters["losses"] = losses;
    state.counters["play_to_sound_max_ms"] = percentile(toSound, 1);
    state.counters["play_to_heard_max_ms"] = percentile(toHeard, 1);
}
BENCHMARK(BM_PlayWithSound)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);

// Sound around footage heavier than the machine, as the editor plays it: a 1080p24 sequence previewed at
// half size, 3 s of a light 1080p clip, 4 s of the 4K60 H.264 camera clip (100 Mbit/s, a key frame a
// second) with its sound on A2, 3 s of another light clip, the click track under all of it. One player
// plays it ten times through a sound server, as Space does, from the start or from inside the heavy clip
// (`from_ms`), a fresh listener on the sink's monitor each time; with `stall_ms`, the private server is
// stopped that long half a second into each play, as a server starved of the processor may be. The
// listener reads pieces of the player's own request, so the sink keeps the period the player gives it (a
// recorder in 5 ms pieces would hold PipeWire to that period, which a busy machine misses whoever plays).
// Run it on two cores with eight busy loops on them, the sound server too. Over the runs: the plays whose
// sound stopped before their end and did not come back (`gone_silent`, target 0), the breaks (silence of
// 2 ms or more inside the sound heard, target 0 without a stall) and the longest, sound devices given up
// for lost, and the longest wait from play to the first sound arriving at the listener.
void BM_SoundAroundAHeavyClip(benchmark::State& state) {
    using Steady = std::chrono::steady_clock;
    testsupport::PulseServer server(false);
    if (skippedWithoutServer(state, server)) return;
    const auto heavy = cameraClip("camera-4k60-sound", false, 3840, 2160, 60, 4, 1, 100, true);
    if (!heavy) {
        state.SkipWithError("ffmpeg is not installed");
        return;
    }
    const auto item = lightAroundHeavy({*heavy, 4, true}, 10);
    media::Player player(audio::Output::create());
    waitForTheDevice(player);
    player.setItem(item);
    runUntil([&] { return !player.currentFrame().picture.isNull(); }, 30);
    // A null sink nothing has played into yet may still be in an idle period of seconds, which a device
    // does not have: a moment's play ends it.
    player.play();
    runUntil([&] { return player.currentTime() > 0.3; }, 30);
    player.pause();
    double silent = 0, breaks = 0, longestBreak = 0, losses = 0, toHeard = 0, heardMin = 1e9;
    const double from = double(state.range(0)) / 1000;
    const int stall = int(state.range(1));
    if (stall > 0 && server.external()) {
        state.SkipWithError("the server is not the bench's to stop");
        return;
    }
    for (auto _ : state) {
        player.seek(from);
        runUntil(
            [&] { return player.currentFrame().time == from && !player.currentFrame().picture.isNull(); },
            30);
        // A sink that idles (PipeWire's suspends) sends its monitor nothing until the play wakes it.
        testsupport::SinkListener listener("null.monitor", 960);
        if (!listener.started()) {
            state.SkipWithError("cannot listen to the sink");
            return;
        }
        const std::uint64_t lossesBefore = player.output().deviceLosses();
        const Steady::time_point pressed = Steady::now();
        player.play();
        std::unique_ptr<testsupport::Spawned> pause;
        if (stall > 0) {
            runUntil([&] { return player.currentTime() > from + 0.5; }, 30);
            pause = server.pauseFor(stall);
        }
        runUntil([&] { return player.rate() == 0; }, 60);
        // What the server still held when the clock reached the end arrives a moment later.
        const std::size_t end = listener.size();
        runUntil([&] { return listener.size() > end + 48000; }, 3);
        const auto origin = listener.arrivedBy(0);
        const Heard heard(listener.samples(0), origin.value_or(pressed));
        if (!heard.first || heard.seconds < item->duration() - from - 0.25) ++silent;
        breaks += double(heard.breaksMs.size());
        longestBreak = std::max(longestBreak, heard.longestBreakMs());
        losses += double(player.output().deviceLosses() - lossesBefore);
        if (heard.first) toHeard = std::max(toHeard, millisecondsBetween(pressed, *heard.first));
        heardMin = std::min(heardMin, heard.seconds);
    }
    state.counters["gone_silent"] = silent;
    state.counters["breaks"] = breaks;
    state.counters["longest_break_ms"] = longestBreak;
    state.counters["losses"] = losses;
    state.counters["heard_s_min"] = heardMin;
    state.counters["play_to_heard_max_ms"] = toHeard;
}
BENCHMARK(BM_SoundAroundAHeavyClip)
    ->Args({0, 0})
    ->Args({4000, 0})
    ->Args({0, 700})
    ->ArgNames({"from_ms", "stall_ms"})
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(10);

// Twenty fresh players, each made, given the sequence and played for 2 s, as twenty freshly started
// editors: how many gave a healthy server up for lost (target 0, also on a busy machine).
void BM_FreshStarts(benchmark::State& state) {
    testsupport::PulseServer server;
    if (skippedWithoutServer(state, server)) return;
    const auto item = sequence(24, 0.5, true);
    double losses = 0, silent = 0;
    for (auto _ : state) {
        media::Player player(audio::Output::create());
        waitForTheDevice(player);
        player.setItem(item);
        player.play();
        const std::int64_t heardBefore = player.output().position();
        runUntil([&] { return player.currentTime() >= 2; }, 30);
        losses += double(player.output().deviceLosses());
        silent +=
            player.output().kind() == audio::Output::Kind::device && player.output().position() > heardBefore
                ? 0
                : 1;
    }
    state.counters["losses"] = losses;
    state.counters["not_on_the_device"] = silent;
}
BENCHMARK(BM_FreshStarts)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(20);

// A device that answers but takes no sound (the null sink suspended, as a device that wakes slowly)
// when play is pressed, woken after `wake` ms: the longest time the picture stood still while playing
// (from the press on, over the first 3 s), the longest time the clock stood still, its largest step
// beyond the time that passed once the device was woken (sampled every 5 ms), sound devices given up for
// lost, and how much sound the sink played (its monitor records nothing while it sleeps, so the
// recording's times say nothing here).
void BM_WakingDevice(benchmark::State& state) {
    using Steady = std::chrono::steady_clock;
    testsupport::PulseServer server;
    if (skippedWithoutServer(state, server)) return;
    const auto item = sequence(24, 0.5, true);
    const double wake = double(state.range(0)) / 1000;
    for (auto _ : state) {
        testsupport::SinkRecorder recorder;
        media::Player player(audio::Output::create());
        waitForTheDevice(player);
        player.setItem(item);
        runUntil([&] { return !player.currentFrame().picture.isNull(); }, 10);
        if (std::system("pactl suspend-sink null 1") != 0) {
            state.SkipWithError("cannot suspend the sink");
            return;
        }
        std::vector<std::pair<double, Steady::time_point>> presented;
        QObject::connect(&player, &media::Player::frameChanged, [&] {
            if (player.rate() == 0 || player.currentFrame().picture.isNull()) return;
            presented.emplace_back(player.currentTime(), Steady::now());
        });
        std::vector<std::pair<double, Steady::time_point>> clock;
        QTimer sampler;
        sampler.setTimerType(Qt::PreciseTimer);
        QObject::connect(&sampler, &QTimer::timeout, [&] {
            if (player.rate() != 0) clock.emplace_back(player.currentTime(), Steady::now());
        });
        const std::uint64_t lossesBefore = player.output().deviceLosses();
        const Steady::time_point pressed = Steady::now();
        player.play();
        sampler.start(5);
        presented.emplace_back(player.currentTime(), pressed);
        clock.emplace_back(player.currentTime(), pressed);
        runUntil([&] { return false; }, wake);
        // Woken from a program of its own, so this thread goes on presenting meanwhile.
        const std::size_t woken = clock.size();
        testsupport::Spawned waking({"pactl", "suspend-sink", "null", "0"}, {}, false);
        runUntil([&] { return player.rate() == 0; }, 30);
        const Heard heard(recorder.finish(), recorder.origin());
        sampler.stop();
        double stall = 0, clockStall = 0, jump = 0;
        // Over the first 3 s: the dissolve from 4 s on opens the second source, which on a busy machine
        // stalls the picture whatever the sound does.
        for (std::size_t i = 1; i < presented.size() && presented[i - 1].first < 3; ++i)
            stall = std::max(stall, millisecondsBetween(presented[i - 1].second, presented[i].second));
        for (std::size_t i = 1, still = 0; i < clock.size(); ++i) {
            if (i > woken)
                jump = std::max(jump, 1000 * (clock[i].first - clock[i - 1].first) -
                                          millisecondsBetween(clock[i - 1].second, clock[i].second));
            if (clock[i].first != clock[still].first)
                still = i;
            else
                clockStall = std::max(clockStall, millisecondsBetween(clock[still].second, clock[i].second));
        }
        state.counters["picture_stall_ms"] = stall;
        state.counters["clock_stall_ms"] = clockStall;
        state.counters["clock_jump_ms"] = jump;
        state.counters["losses"] = double(player.output().deviceLosses() - lossesBefore);
        state.counters["heard_s"] = heard.seconds;
    }
}
BENCHMARK(BM_WakingDevice)
    ->Arg(1000)
    ->Arg(5000)
    ->ArgName("wake_ms")
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

// The floor under an exact seek: FFmpeg alone opening the file, seeking to the key frame at or before
// `seconds` and decoding forward to the picture shown then, with its own threading as ours has and
// nothing converted. Milliseconds to that picture decoded; negative when the file could not be read.
double bareOpenSeekDecode(const fs::path& file, double seconds) {
    QElapsedTimer timer;
    timer.start();
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, file.c_str(), nullptr, nullptr) < 0) return -1;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const double decoded = [&]() -> double {
        const AVCodec* decoder = nullptr;
        if (avformat_find_stream_info(format, nullptr) < 0) return -1;
        const int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
        if (index < 0 || !decoder) return -1;
        const AVStream* stream = format->streams[index];
        codec = avcodec_alloc_context3(decoder);
        if (!codec || avcodec_parameters_to_context(codec, stream->codecpar) < 0) return -1;
        codec->thread_count = 0;
        if (avcodec_open2(codec, decoder, nullptr) < 0) return -1;
        const std::int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
        const std::int64_t target =
            start + av_rescale_q(std::llround(seconds * 1e6), AV_TIME_BASE_Q, stream->time_base);
        const std::int64_t frameTicks = av_rescale_q(1, av_inv_q(stream->avg_frame_rate), stream->time_base);
        if (av_seek_frame(format, index, target, AVSEEK_FLAG_BACKWARD) < 0) return -1;
        bool draining = false;
        for (;;) {
            const int received = avcodec_receive_frame(codec, frame);
            if (received == 0) {
                if (frame->best_effort_timestamp + frameTicks > target)
                    return double(timer.nsecsElapsed()) / 1e6;
                continue;
            }
            if (received != AVERROR(EAGAIN) || draining) return -1;
            if (av_read_frame(format, packet) < 0) {
                avcodec_send_packet(codec, nullptr);
                draining = true;
                continue;
            }
            if (packet->stream_index == index) avcodec_send_packet(codec, packet);
            av_packet_unref(packet);
        }
    }();
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    return decoded;
}

// Exact seeks to random times of a 10 s 1080p clip while paused, request to picture on screen; beside
// them, in the same run and to the same times, the floor (`bareOpenSeekDecode`) and our own decoder
// kept open across the seeks, without the player around it.
void BM_ExactSeek(benchmark::State& state) {
    const fs::path file = clip("seek-24", 24, 10, 40);
    const auto item = media::PlayerItem::file(file);
    media::Player player(audio::Output::createNull());
    player.setItem(item);
    runUntil([&] { return !player.currentFrame().picture.isNull(); }, 10);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> anywhere(0, 9.9);
    media::VideoDecoder decoder(item->videoTrack());
    std::vector<double> latencies, floor, keptOpen;
    for (auto _ : state) {
        const double t = anywhere(random);
        QElapsedTimer timer;
        timer.start();
        player.seek(t);
        runUntil([&] { return player.currentFrame().time == t; }, 10);
        latencies.push_back(double(timer.nsecsElapsed()) / 1e6);
        timer.restart();
        benchmark::DoNotOptimize(decoder.frameAt(media::Time::seconds(t)));
        keptOpen.push_back(double(timer.nsecsElapsed()) / 1e6);
        const double bare = bareOpenSeekDecode(file, t);
        if (bare < 0) {
            state.SkipWithError("FFmpeg could not decode the clip");
            return;
        }
        floor.push_back(bare);
    }
    state.counters["median_ms"] = percentile(latencies, 0.5);
    state.counters["p95_ms"] = percentile(latencies, 0.95);
    state.counters["floor_median_ms"] = percentile(floor, 0.5);
    state.counters["floor_p95_ms"] = percentile(floor, 0.95);
    state.counters["open_decoder_median_ms"] = percentile(keptOpen, 0.5);
    state.counters["open_decoder_p95_ms"] = percentile(keptOpen, 0.95);
}
BENCHMARK(BM_ExactSeek)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(100);

// A scrub drag: 30 tolerant seeks (± 0.08 s, as ruler drags ask) a second, sweeping 3 s of the clip a
// second forward and then back.
void BM_Scrub(benchmark::State& state) {
    const auto item = media::PlayerItem::file(clip("seek-24", 24, 10, 40));
    for (auto _ : state) {
        media::Player player(audio::Output::createNull());
        player.setItem(item);
        runUntil([&] { return !player.currentFrame().picture.isNull(); }, 10);
        std::int64_t shown = 0;
        std::vector<double> times;
        QObject::connect(&player, &media::Player::frameChanged, [&] {
            ++shown;
            if (times.empty() || times.back() != player.currentFrame().time)
                times.push_back(player.currentFrame().time);
        });
        QElapsedTimer wall;
        wall.start();
        const int requests = 180; // 6 s
        for (int i = 0; i < requests; ++i) {
            const double sweep = i < requests / 2 ? i * 0.1 : (requests - i) * 0.1;
            player.seek(sweep, 0.08, 0.08);
            const qint64 next = qint64((i + 1) * 1000 / 30);
            runUntil([&] { return wall.elapsed() >= next; }, 1);
        }
        const double seconds = double(wall.nsecsElapsed()) / 1e9;
        state.counters["shown_per_s"] = double(shown) / seconds;
        state.counters["distinct_per_s"] = double(times.size()) / seconds;
    }
}
BENCHMARK(BM_Scrub)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

// Reverse play from 9 s for 4 s at rate −1: each group of pictures decoded ahead and shown backwards.
// Argument 0: the 1080p clip (key frames 0.9 to 1.7 s apart, B-frames); 1: the graded two-clip sequence
// at half size, across its dissolve. Counts the pictures shown and dropped, the time from the rate change
// to the first picture going backwards, and peak memory.
void BM_Reverse(benchmark::State& state) {
    const bool composed = state.range(0) == 1;
    const auto item = composed ? sequence(24, 0.5) : media::PlayerItem::file(clip("seek-24", 24, 10, 40));
    for (auto _ : state) {
        media::Player player(audio::Output::createNull());
        player.setItem(item);
        player.seek(9);
        runUntil([&] { return player.currentFrame().time == 9; }, 10);
        resetPeak();
        const std::int64_t shownBefore = player.presentedFrames(), droppedBefore = player.droppedFrames();
        QElapsedTimer started;
        started.start();
        player.setRate(-1);
        runUntil([&] { return player.currentFrame().time < 9; }, 20);
        state.counters["start_ms"] = double(started.nsecsElapsed()) / 1e6;
        runUntil([&] { return player.currentTime() < 5; }, 20);
        state.counters["shown"] = double(player.presentedFrames() - shownBefore);
        state.counters["dropped"] = double(player.droppedFrames() - droppedBefore);
        state.counters["peak_MB"] = testsupport::peakResidentMegabytes();
    }
}
BENCHMARK(BM_Reverse)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("sequence")
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

// 2,000 one-second clips over three video tracks, a dissolve at every fourth, cut in turn from `sources`
// 1080p files of 4 s with a key frame every second (written once), built at 1920 × 1080.
std::shared_ptr<const media::PlayerItem> manySources(int sources) {
    static PlateStore plates(folder() / "plate");
    Project p;
    p.sequence = Sequence::makeNew();
    p.sequence.frameRate = FrameRate{24, 1};
    for (int f = 0; f < sources; ++f) {
        const fs::path file = folder() / ("source-" + std::to_string(f) + ".mp4");
        if (!fs::exists(file)) {
            const fs::path partial = folder() / ("source-" + std::to_string(f) + ".part.mp4");
            testsupport::writeMovie(partial,
                                    {.width = 1920, .height = 1080, .frames = 96, .keyFrameInterval = 24});
            fs::rename(partial, file);
        }
        MediaItem m;
        m.id = Uuid::make();
        m.kind = MediaKind::video;
        m.hasVideo = true;
        m.path = file.string();
        m.duration = 4;
        p.media.push_back(m);
    }
    for (int i = 0; i < 2000; ++i) {
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = p.media[std::size_t(i % sources)].id;
        c.start = (i / 3) * 1.0;
        c.duration = 1.0;
        c.inPoint = double(i % 3);
        if (i % 4 == 0) c.outgoing = {TransitionKind::crossDissolve, 0.25, TransitionCurve::linear};
        p.sequence.tracks.mut(std::size_t(i % 3)).clips.push_back(c);
    }
    const CompositionBuild build =
        CompositionBuilder::build(p, std::nullopt, {1920, 1080}, p.sequence.frameRate, plates);
    return media::PlayerItem::composition(build.composition, build.videoComposition, build.audioMix);
}

// 100 exact seeks while paused, `apart` hundredths of a second apart along the sequence (wrapping at its
// end), each waiting for its picture: resident memory before, after the seeks and 11 s later at rest,
// what the player's decoders hold by its own measure, and the request-to-picture latency. 11 s apart, a
// source's decoder is seldom read again soon; 3 s apart, several sources lie near each seek.
void BM_SeeksAcrossSources(benchmark::State& state) {
    const auto item = manySources(int(state.range(0)));
    const double apart = double(state.range(1)) / 100;
    for (auto _ : state) {
        media::Player player(audio::Output::createNull());
        player.setItem(item);
        runUntil([&] { return !player.currentFrame().picture.isNull(); }, 30);
        state.counters["start_MB"] = testsupport::residentMegabytes();
        std::vector<double> latencies;
        const double span = item->duration() - 1;
        for (int i = 0; i < 100; ++i) {
            const double t = std::fmod(0.5 + apart * i, span);
            QElapsedTimer timer;
            timer.start();
            player.seek(t);
            runUntil(
                [&] { return player.currentFrame().time == t && !player.currentFrame().picture.isNull(); },
                30);
            latencies.push_back(double(timer.nsecsElapsed()) / 1e6);
        }
        state.counters["after_seeks_MB"] = testsupport::residentMegabytes();
        state.counters["held_MB"] = double(player.heldPictureBytes()) / (1 << 20);
        state.counters["decoders"] = player.openDecoders();
        runUntil([] { return false; }, 11); // the player gives free pages back after resting 10 s
        state.counters["idle_MB"] = testsupport::residentMegabytes();
        state.counters["median_ms"] = percentile(latencies, 0.5);
        state.counters["p90_ms"] = percentile(latencies, 0.9);
    }
}
BENCHMARK(BM_SeeksAcrossSources)
    ->Args({24, 1104})
    ->Args({100, 1104})
    ->Args({24, 304})
    ->Args({100, 304})
    ->ArgNames({"sources", "apart"})
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
