// Footage heavier than the machine (4K camera clips, written by the ffmpeg tool): SlowerThanTheFootage and
// HeavyClipInTheEditor on one core, HeavyClipInALightSequence on two cores with eight busy loops on them:
//   taskset -c 7 bench/bench_player --benchmark_filter='SlowerThanTheFootage|HeavyClipInTheEditor'

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "App/MediaPlayerControl.hpp"
#include "App/ProjectDocument.hpp"
#include "Engine/CompositionBuilder.hpp"
#include "Engine/PlateStore.hpp"
#include "Platform/Audio/Output.hpp"
#include "Platform/Media/Player.hpp"
#include "PlayerBenchSupport.hpp"
#include "UI/Shell/EditorWindow.hpp"

using namespace osterveil;
using namespace osterveil::bench;

namespace {

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

// A camera clip as the editor plays it, beside the same file played alone: `lightAroundHeavy` with the
// whole camera clip and the click track throughout, opened in an editor window as a project is, so that
// the sequence plays on the window's own path: its program player with the composition the editor builds,
// the monitor and the timeline painting on the GUI thread, and the clips' pictures and sound outlines made
// as the play starts. Each run plays the file alone from the start (as SlowerThanTheFootage does) and then
// the sequence, the file through the null output, so that the two meet the same machine. Argument 0:
// SlowerThanTheFootage's 4K60 H.264 clip (4 s, 100 Mbit/s, a key frame a second, 3 B-frames); 1:
// HeavyClipInALightSequence's 4K30 HEVC clip (3.1 s, 50 Mbit/s). Run it on one core:
//   taskset -c 7 bench/bench_player --benchmark_filter=HeavyClipInTheEditor
// Over three runs, for the file alone and for the clip in the sequence: the longest still while the
// clock ran through the clip, the fewest of its pictures shown a second, and how many went up more than
// a frame (of the item) off the clock; the ratios of the sequence's to the file's (target: pictures a
// second at least 0.8, longest still at most 1.2); the most a picture of the sequence was off, and the
// pictures of its light clips that did not go up within a frame of the clock.
void BM_HeavyClipInTheEditor(benchmark::State& state) {
    const bool hevc = state.range(0) == 1;
    const int fps = hevc ? 30 : 60;
    const double length = hevc ? 3.1 : 4;
    const auto camera = hevc ? cameraClip("camera-4k30-hevc", true, 3840, 2160, 30, length, 1, 50)
                             : cameraClip("camera-4k60", false, 3840, 2160, 60, length, 1, 100);
    if (!camera) {
        state.SkipWithError("ffmpeg is not installed");
        return;
    }
    const double light = 3, heavyEnd = light + length, end = heavyEnd + light, frame = 1.0 / 24;
    const Project project = lightAroundHeavyProject({*camera, length, false}, end);
    const auto alone = media::PlayerItem::file(*camera);
    struct Figures {
        double stillMs = 0, perSecond = 1e9, offAFrame = 0;
        void add(const PlayRecord::Stretch& over, double seconds) {
            stillMs = std::max(stillMs, over.stillMs);
            perSecond = std::min(perSecond, double(over.shown) / seconds);
            offAFrame += double(over.offAFrame);
        }
    } file, edited;
    double offsetMax = 0, lightMissed = 0;
    for (auto _ : state) {
        {
            media::Player player(audio::Output::createNull());
            player.setItem(alone);
            runUntil([&] { return !player.currentFrame().picture.isNull(); }, 30);
            const PlayRecord play(player);
            file.add(play.over(0, 1e9, 1.0 / fps),
                     std::chrono::duration<double>(play.ended - play.started).count());
        }
        ProjectDocument document(project);
        EditorWindow window(document, nullptr);
        window.show();
        media::Player& player = static_cast<MediaPlayerControl&>(window.model().player()).player();
        runUntil([&] { return player.item() && !player.currentFrame().picture.isNull(); }, 30);
        const PlayRecord play(player);
        edited.add(play.over(light, heavyEnd, frame), length);
        offsetMax = std::max(offsetMax, play.over(light, heavyEnd, frame).offsetMaxMs);
        // The first picture was on screen before the play.
        lightMissed += double(play.missed(frame, light, frame) + play.missed(heavyEnd, end, frame));
    }
    state.counters["alone_still_max_ms"] = file.stillMs;
    state.counters["alone_shown_per_s_min"] = file.perSecond;
    state.counters["alone_off_a_frame"] = file.offAFrame;
    state.counters["still_max_ms"] = edited.stillMs;
    state.counters["shown_per_s_min"] = edited.perSecond;
    state.counters["off_a_frame"] = edited.offAFrame;
    state.counters["still_ratio"] = edited.stillMs / std::max(1.0, file.stillMs);
    state.counters["shown_ratio"] = edited.perSecond / std::max(0.01, file.perSecond);
    state.counters["offset_max_ms"] = offsetMax;
    state.counters["light_missed"] = lightMissed;
}
BENCHMARK(BM_HeavyClipInTheEditor)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("hevc")
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(3);

} // namespace
