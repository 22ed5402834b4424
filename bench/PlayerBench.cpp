// The player as the editor uses it: playing a 10 s 1080p two-clip sequence with a one-second dissolve
// and a basic grade (frames dropped, how late pictures go up, peak memory), exact seeks on 1080p H.264
// with a key frame every 2 s (request to picture), scrubbing with tolerant seeks at 30 requests a
// second (pictures shown a second), and exact seeks along a 2,000-clip sequence cut from many sources
// (resident memory after them and at rest, and their latency). Run the half-size playback pinned to two
// cores, and each seeking case in a process of its own (resident memory is the whole process's):
//   taskset -c 0,1 bench/bench_player --benchmark_filter=Play/scale:50
//   bench/bench_player --benchmark_filter=SeeksAcrossSources/sources:24/apart:1104
// Footage heavier than the machine: see PlayerBenchHeavy.cpp.
// Sound goes to the null output, so no device is needed, except in the cases played through a sound
// server (a private PulseAudio, or the one OSTERVEIL_PULSE_SERVER names, with a sink called "null"):
// PlayWithSound, FreshStarts and WakingDevice. Run them on two cores, at rest and with a busy desktop's
// load on the same two cores:
//   for i in $(seq 8); do taskset -c 0,1 sh -c 'while :; do :; done' & done
//   taskset -c 0,1 bench/bench_player --benchmark_filter='PlayWithSound|FreshStarts|WakingDevice'

#include <benchmark/benchmark.h>

#include <QApplication>

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

#include <sched.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "Engine/CompositionBuilder.hpp"
#include "Engine/PlateStore.hpp"
#include "HungShare.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Audio/Output.hpp"
#include "Platform/Media/AssetWriter.hpp"
#include "Platform/Media/Player.hpp"
#include "Platform/Media/VideoDecoder.hpp"
#include "PlayerBenchSupport.hpp"
#include "ProcessMemory.hpp"
#include "PulseServer.hpp"
#include "SinkListener.hpp"

using namespace osterveil;
using namespace osterveil::bench;

namespace {

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
// nothing else: argument 2), the longest of the runs and their median. Run it on one core and on two:
//   taskset -c 7 bench/bench_player --benchmark_filter=LeavingAReadAhead
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

// A player of `item` through the server, its first picture up, played once until the sink plays it: a
// null sink nothing has played into yet may still be in an idle period of seconds (PulseAudio's renders
// silence that far ahead, and plays the first sound after it), which a device does not have.
std::unique_ptr<media::Player> playerOnTheSink(std::shared_ptr<const media::PlayerItem> item) {
    auto player = std::make_unique<media::Player>(audio::Output::create());
    waitForTheDevice(*player);
    player->setItem(std::move(item));
    runUntil([&] { return !player->currentFrame().picture.isNull(); }, 30);
    player->play();
    runUntil([&] { return player->currentTime() > 0.3 && player->output().playsOnDevice(); }, 30);
    player->pause();
    return player;
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

    // How far each picture (its item time, and when it went up) lay from its sound: the sound of item
    // time t was heard t − c after the click of item time c before it (the first sound standing for time
    // 0). None for a picture with no sound before it.
    std::vector<std::optional<double>>
    offsetsMs(const std::vector<std::pair<double, std::chrono::steady_clock::time_point>>& pictures) const {
        std::vector<std::optional<double>> offsets(pictures.size());
        if (!first) return offsets;
        std::vector<std::pair<double, std::chrono::steady_clock::time_point>> marks{{0.0, *first}};
        for (const auto& click : clicks)
            marks.emplace_back(std::round(2 * millisecondsBetween(*first, click) / 1000) / 2, click);
        for (std::size_t i = 0; i < pictures.size(); ++i) {
            const auto& [time, at] = pictures[i];
            const auto mark =
                std::find_if(marks.rbegin(), marks.rend(), [&](const auto& m) { return m.first <= time; });
            if (mark != marks.rend())
                offsets[i] = std::abs(millisecondsBetween(mark->second, at) - 1000 * (time - mark->first));
        }
        return offsets;
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
        // Each shown picture against its sound.
        const std::vector<std::optional<double>> offsetsNow = heard.offsetsMs(presented);
        std::vector<double> onSound;
        for (std::size_t i = 0; i < presented.size(); ++i) {
            if (!offsetsNow[i]) continue;
            pictureOffsets.push_back(*offsetsNow[i]);
            if (*offsetsNow[i] <= 1000.0 / 24) onSound.push_back(presented[i].first);
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
// A stall of 300 ms is one the output waits out (target: no break once a play holds more than that), one
// of 700 ms one it gives the server up for until it plays again.
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
    const auto playing = playerOnTheSink(item);
    media::Player& player = *playing;
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
    ->Args({0, 300})
    ->Args({0, 700})
    ->ArgNames({"from_ms", "stall_ms"})
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(10);

// 30 s of the two clips of `sequence` one after the other, at 24 fps previewed at half size, with the click
// track under all of it.
std::shared_ptr<const media::PlayerItem> longSequence() {
    static PlateStore plates(folder() / "plate");
    Project p;
    p.sequence = Sequence::makeNew();
    p.sequence.frameRate = FrameRate{24, 1};
    for (int n = 0; n < 2; ++n) {
        MediaItem m;
        m.id = Uuid::make();
        m.kind = MediaKind::video;
        m.hasVideo = true;
        m.path = clip("clip" + std::to_string(n) + "-24", 24, 5.5, n * 90).string();
        m.duration = 5.5;
        p.media.push_back(m);
    }
    Project clicks;
    clicks.sequence = Sequence::makeNew();
    addClicks(clicks, 10);
    p.media.push_back(clicks.media[0]);
    for (int k = 0; k < 6; ++k) {
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = p.media[std::size_t(k % 2)].id;
        c.start = k * 5.0;
        c.duration = 5.0;
        p.sequence.tracks.mut(0).clips.push_back(c);
    }
    for (int k = 0; k < 3; ++k) {
        TimelineClip c = clicks.sequence.tracks[3].clips[0];
        c.id = Uuid::make();
        c.start = k * 10.0;
        p.sequence.tracks.mut(3).clips.push_back(c);
    }
    const CompositionBuild build =
        CompositionBuilder::build(p, std::nullopt, {960, 540}, p.sequence.frameRate, plates);
    return media::PlayerItem::composition(build.composition, build.videoComposition, build.audioMix);
}

// The cores this process may run on.
std::vector<int> ownCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> cores;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return cores;
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &set)) cores.push_back(c);
    return cores;
}

// A loop that keeps `core` busy until it goes.
std::unique_ptr<testsupport::Spawned> busyLoop(int core) {
    return std::make_unique<testsupport::Spawned>(
        std::vector<std::string>{"taskset", "-c", std::to_string(core), "sh", "-c", "while :; do :; done"},
        std::vector<std::string>{}, false);
}

// Sound while the sound server is starved of the processor: a private PulseAudio with its null sink
// pinned to core `server_core` at normal priority, which a busy loop keeps full (-1: on the player's
// cores), and (`starved` 1) eight busy loops on the cores this benchmark runs on, the player's. The 30 s
// sequence (`longSequence`) played ten times from the start, as Space does after a rest, a fresh listener on
// the sink's monitor each time. Over the plays: the breaks (silence of 2 ms or more inside the sound heard),
// the plays that had any and the longest; sound devices given up for lost; how far the pictures that went up
// lay from their sound as the sink played it (dated by the sink's own account, so a longer sink latency is
// not hidden) and how many lay more than a frame off; and the time from play to the first sound heard at the
// sink (median and longest), which at rest (`starved` 0) is what Space takes to sound. Run it on two cores
// with the server on a third:
//   taskset -c 6,7 bench/bench_player --benchmark_filter=SoundWithTheServerStarved
void BM_SoundWithTheServerStarved(benchmark::State& state) {
    using Steady = std::chrono::steady_clock;
    const int serverCore = int(state.range(0));
    const bool starved = state.range(1) == 1;
    const std::vector<int> cores = ownCores();
    if (std::find(cores.begin(), cores.end(), serverCore) != cores.end()) {
        state.SkipWithError("the server's core is one of the player's: pin the benchmark to others");
        return;
    }
    // Beside the player, on its cores, or on a core of its own.
    std::string serverCores;
    for (const int c : cores)
        serverCores += (serverCores.empty() ? "" : ",") + std::to_string(c);
    if (serverCore >= 0) serverCores = std::to_string(serverCore);
    testsupport::PulseServer server(false);
    if (skippedWithoutServer(state, server)) return;
    if (server.external()) {
        state.SkipWithError("the server is not the bench's to pin");
        return;
    }
    // On its core, at the priority of the work beside it, as a desktop's server runs without real-time
    // scheduling (a daemon started by root raises its own, and makes its sink's thread a real-time one).
    const std::string pid = std::to_string(server.pid());
    const std::string pin = "taskset -a -p -c " + serverCores + " " + pid;
    const std::string ordinary =
        "for t in /proc/" + pid + "/task/*; do chrt -o -p 0 ${t##*/} && renice -n 0 -p ${t##*/}; done";
    if (std::system((pin + " && " + ordinary + " > /dev/null").c_str()) != 0) {
        state.SkipWithError("cannot pin the server");
        return;
    }
    const auto playing = playerOnTheSink(longSequence());
    media::Player& player = *playing;
    std::vector<std::unique_ptr<testsupport::Spawned>> loops;
    if (serverCore >= 0) loops.push_back(busyLoop(serverCore));
    if (starved)
        for (int i = 0; i < 8; ++i)
            loops.push_back(busyLoop(cores[std::size_t(i) % cores.size()]));
    std::vector<double> breaksMs, toHeard, pictureOffsets;
    double playsWithBreaks = 0, losses = 0;
    for (auto _ : state) {
        player.seek(0);
        runUntil([&] { return player.currentFrame().time == 0 && !player.currentFrame().picture.isNull(); },
                 30);
        runUntil([] { return false; }, 0.5);
        testsupport::SinkListener listener("null.monitor", 960);
        if (!listener.started()) {
            state.SkipWithError("cannot listen to the sink");
            return;
        }
        std::vector<std::pair<double, Steady::time_point>> presented;
        QObject context;
        QObject::connect(&player, &media::Player::frameChanged, &context, [&] {
            if (player.rate() != 0 && !player.currentFrame().picture.isNull())
                presented.emplace_back(player.currentFrame().time, Steady::now());
        });
        const std::uint64_t lossesBefore = player.output().deviceLosses();
        const Steady::time_point pressed = Steady::now();
        player.play();
        runUntil([&] { return player.rate() == 0; }, 120);
        // What the server still held when the clock reached the end arrives a moment later.
        const std::size_t end = listener.size();
        runUntil([&] { return listener.size() > end + 48000 && listener.toldSince(end); }, 5);
        const auto origin = listener.heardAt(0);
        const Heard heard(listener.samples(0), origin.value_or(pressed));
        breaksMs.insert(breaksMs.end(), heard.breaksMs.begin(), heard.breaksMs.end());
        playsWithBreaks += heard.breaksMs.empty() ? 0 : 1;
        losses += double(player.output().deviceLosses() - lossesBefore);
        toHeard.push_back(heard.first ? millisecondsBetween(pressed, *heard.first) : 1e9);
        for (const std::optional<double>& offset : heard.offsetsMs(presented))
            if (offset) pictureOffsets.push_back(*offset);
    }
    loops.clear();
    state.counters["plays_with_breaks"] = playsWithBreaks;
    state.counters["breaks"] = double(breaksMs.size());
    state.counters["longest_break_ms"] = percentile(breaksMs, 1);
    state.counters["losses"] = losses;
    state.counters["picture_offset_median_ms"] = percentile(pictureOffsets, 0.5);
    state.counters["picture_offset_max_ms"] = percentile(pictureOffsets, 1);
    state.counters["pictures_over_a_frame"] = double(std::count_if(
        pictureOffsets.begin(), pictureOffsets.end(), [](double m) { return m > 1000.0 / 24; }));
    state.counters["play_to_heard_median_ms"] = percentile(toHeard, 0.5);
    state.counters["play_to_heard_max_ms"] = percentile(toHeard, 1);
}
BENCHMARK(BM_SoundWithTheServerStarved)
    ->Args({5, 1})
    ->Args({5, 0})
    ->Args({-1, 1})
    ->ArgNames({"server_core", "starved"})
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

// Twelve switches of a player between two 1080p files, each played for half a second, after another player
// whose sound is read from a share that does not answer has been destroyed (argument 1), its sound thread
// left waiting there; argument 0, the control: that sound on a local file. Resident memory before the
// switches and after them (target: with the share within 10 % of the control). Needs root and /dev/fuse:
//   taskset -c 4-7 bench/bench_player --benchmark_filter=SwitchesBesideAHungShare
void BM_SwitchesBesideAHungShare(benchmark::State& state) {
    const bool hung = state.range(0) == 1;
    const fs::path shared = folder() / ("unanswered-" + std::to_string(getpid()));
    fs::create_directories(shared);
    testsupport::writeToneWav(shared / "sound.wav", 440, 30);
    const std::vector<std::shared_ptr<const media::PlayerItem>> files = {
        media::PlayerItem::file(clip("clip0-24", 24, 5.5, 0)), media::PlayerItem::file(clip("clip1-24", 24, 5.5, 1))};
    for (auto _ : state) {
        const auto sound = media::PlayerItem::file(shared / "sound.wav");
        std::optional<testsupport::HungShare> share;
        if (hung) {
            share.emplace(shared, pid_t(gettid()));
            if (!share->mounted()) {
                state.SkipWithError("mounting a file system needs root and /dev/fuse");
                break;
            }
        }
        auto left = std::make_unique<media::Player>(audio::Output::createNull());
        left->setItem(sound);
        left->play();
        runUntil([&] { return hung ? !share->waiting().empty() : left->currentTime() > 0.5; }, 30);
        left.reset();
        const double before = testsupport::residentMegabytes();
        media::Player player(audio::Output::createNull());
        for (int i = 0; i < 12; ++i) {
            player.setItem(files[std::size_t(i % 2)]);
            player.play();
            runUntil([] { return false; }, 0.5);
        }
        player.pause();
        runUntil([] { return false; }, 1);
        state.counters["before_MB"] = before;
        state.counters["after_MB"] = testsupport::residentMegabytes();
    }
    fs::remove_all(shared);
}
BENCHMARK(BM_SwitchesBesideAHungShare)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("hung")
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

} // namespace

int main(int argc, char** argv) {
    // The editor's window plays the heavy clip in `HeavyClipInTheEditor`.
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
