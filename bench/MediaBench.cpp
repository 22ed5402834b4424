#include <fstream>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "Media/MediaProbe.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Media/Asset.hpp"
#include "Platform/Media/Composition.hpp"
#include "Platform/Stills/StillReader.hpp"
#include "ProcessMemory.hpp"

extern "C" {
#include <libavformat/avformat.h>
}

using namespace osterveil;
namespace fs = std::filesystem;
using testsupport::Fixture;
using testsupport::MediaFixtures;

namespace {

// 100 short files of the kinds an import brings: H.264 and ProRes movies, WAV sound and PNG stills.
const std::vector<fs::path>& hundredFiles() {
    static const std::vector<fs::path> files = [] {
        auto& fx = MediaFixtures::shared();
        const Fixture kinds[] = {Fixture::h264MovieWithSound, Fixture::proresMovieWithSound,
                                 Fixture::wavAudio, Fixture::pngStill};
        std::vector<fs::path> out;
        for (int i = 0; i < 100; ++i) {
            fs::path source = fx.path(kinds[i % 4]);
            fs::path copy = fx.scratch("bench" + std::to_string(i) + source.extension().string());
            fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
            out.push_back(copy);
        }
        return out;
    }();
    return files;
}

// Every iteration reads all 100 files afresh, as a first import does.
void BM_ProbeHundredFiles(benchmark::State& state) {
    const auto& files = hundredFiles();
    for (auto _ : state) {
        media::Asset::purgeCache();
        for (const auto& f : files)
            benchmark::DoNotOptimize(MediaProbe::makeItem(f, std::nullopt));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(files.size()));
}
BENCHMARK(BM_ProbeHundredFiles)->Unit(benchmark::kMillisecond);

// A 20000×20000 PNG of about a megabyte: judged from its header.
void BM_ProbeHugeStill(benchmark::State& state) {
    static const fs::path huge = [] {
        const fs::path p = MediaFixtures::shared().scratch("huge-20000.png");
        testsupport::writeBlankPng(p, 20000, 20000);
        return p;
    }();
    for (auto _ : state) {
        try {
            benchmark::DoNotOptimize(MediaProbe::makeItem(huge, std::nullopt));
        } catch (const MediaError&) {
        }
    }
}
BENCHMARK(BM_ProbeHugeStill)->Unit(benchmark::kMillisecond);

// The import of the largest stills whose readers would hold them whole at their depth: a 250 MP
// 16-bit grey PNG, a 125 MP 16-bit RGBA PNG, a 250 MP 8-bit RGB TIFF in strips. peak_MB is the
// process's peak resident memory over the import, from a peak reset just before it (the files are
// written before that, a row at a time).
void BM_ImportDeepStill(benchmark::State& state) {
    const fs::path p = MediaFixtures::shared().scratch("deep-" + std::to_string(state.range(0)));
    switch (state.range(0)) {
    case 0:
        testsupport::writeBlankPng(p, 15811, 15811, {}, 16, 1);
        break;
    case 1:
        testsupport::writeBlankPng(p, 12500, 10000, {}, 16, 4);
        break;
    default:
        testsupport::writeTiff(p, 15811, 15811, {.bits = 8, .rowsPerStrip = 16},
                               [](int x, int y) -> std::array<double, 4> {
                                   return {x / 15811.0, y / 15811.0, 0.4, 1};
                               });
    }
    for (auto _ : state) {
        std::ofstream("/proc/self/clear_refs") << "5";
        benchmark::DoNotOptimize(MediaProbe::makeItem(p, std::nullopt));
        state.counters["peak_MB"] = testsupport::peakResidentMegabytes();
    }
    fs::remove(p);
}
BENCHMARK(BM_ImportDeepStill)->DenseRange(0, 2)->Iterations(1)->Unit(benchmark::kMillisecond);

// A 250 MP 16-bit grey PNG stored interlaced (Adam7), whose passes each reach across the whole picture:
// imported (argument 0), and read for sequences whose longer side is the argument. peak_MB as above.
void BM_ReadInterlacedDeepStill(benchmark::State& state) {
    static const fs::path p = [] {
        const fs::path out = MediaFixtures::shared().scratch("deep-interlaced.png");
        testsupport::writeDeepPng(out, 15811, 15811, true, true, [](int x, int y) -> std::array<double, 4> {
            return {(x + y) % 7 / 7.0, 0, 0, 1};
        });
        return out;
    }();
    for (auto _ : state) {
        std::ofstream("/proc/self/clear_refs") << "5";
        if (state.range(0) == 0)
            benchmark::DoNotOptimize(MediaProbe::makeItem(p, std::nullopt));
        else
            benchmark::DoNotOptimize(stills::load(p, int(state.range(0))));
        state.counters["peak_MB"] = testsupport::peakResidentMegabytes();
    }
}
BENCHMARK(BM_ReadInterlacedDeepStill)
    ->Arg(0)
    ->Arg(3840)
    ->Arg(8192)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_LoadAssetUncached(benchmark::State& state) {
    fs::path file = MediaFixtures::shared().path(Fixture::h264MovieWithSound);
    for (auto _ : state)
        benchmark::DoNotOptimize(media::Asset::load(file));
}
BENCHMARK(BM_LoadAssetUncached)->Unit(benchmark::kMicrosecond);

// A minute of Matroska movie with a second sound track that holds only its first few packets, as a
// short commentary or a sparse track has: the starts are found without reading the whole file for it
// (on the 8-core machine of this writing, 0.4 ms; 5.5 ms when the whole file was read).
void BM_LoadMatroskaWithASparseTrack(benchmark::State& state) {
    static const fs::path sparse = [] {
        const fs::path whole = MediaFixtures::shared().scratch("minute.mkv");
        testsupport::writeMovie(whole, {.container = "matroska",
                                        .frames = 24 * 60,
                                        .audio = testsupport::AudioCodec::pcm16,
                                        .audioSeconds = 60});
        const fs::path out = MediaFixtures::shared().scratch("minute-sparse.mkv");
        AVFormatContext* in = nullptr;
        AVFormatContext* mux = nullptr;
        if (avformat_open_input(&in, whole.c_str(), nullptr, nullptr) < 0 ||
            avformat_find_stream_info(in, nullptr) < 0 ||
            avformat_alloc_output_context2(&mux, nullptr, "matroska", out.c_str()) < 0)
            throw std::runtime_error("cannot remux");
        int sound = -1;
        for (unsigned i = 0; i < in->nb_streams; ++i) {
            avcodec_parameters_copy(avformat_new_stream(mux, nullptr)->codecpar, in->streams[i]->codecpar);
            if (in->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) sound = int(i);
        }
        avcodec_parameters_copy(avformat_new_stream(mux, nullptr)->codecpar, in->streams[sound]->codecpar);
        if (avio_open(&mux->pb, out.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(mux, nullptr) < 0)
            throw std::runtime_error("cannot remux");
        AVPacket* pkt = av_packet_alloc();
        int copied = 0;
        while (av_read_frame(in, pkt) >= 0) {
            const int from = pkt->stream_index;
            if (from == sound && copied < 5) {
                AVPacket* again = av_packet_clone(pkt);
                again->stream_index = int(in->nb_streams);
                av_packet_rescale_ts(again, in->streams[from]->time_base,
                                     mux->streams[again->stream_index]->time_base);
                av_interleaved_write_frame(mux, again);
                av_packet_free(&again);
                ++copied;
            }
            av_packet_rescale_ts(pkt, in->streams[from]->time_base, mux->streams[from]->time_base);
            av_interleaved_write_frame(mux, pkt);
        }
        av_write_trailer(mux);
        av_packet_free(&pkt);
        avio_closep(&mux->pb);
        avformat_free_context(mux);
        avformat_close_input(&in);
        return out;
    }();
    for (auto _ : state)
        benchmark::DoNotOptimize(media::Asset::load(sparse));
}
BENCHMARK(BM_LoadMatroskaWithASparseTrack)->Unit(benchmark::kMillisecond);

// What each segment of a composition build pays for the asset of a file opened before.
void BM_OpenAssetFromCache(benchmark::State& state) {
    fs::path file = MediaFixtures::shared().path(Fixture::h264MovieWithSound);
    media::Asset::open(file);
    for (auto _ : state)
        benchmark::DoNotOptimize(media::Asset::open(file));
}
BENCHMARK(BM_OpenAssetFromCache)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenAssetFromCache)->Threads(4)->Unit(benchmark::kMicrosecond);

// The per-frame question of every reader on a long edit list of mixed timescales.
void BM_CompositionLookup(benchmark::State& state) {
    auto source = std::make_shared<media::AssetTrack>();
    source->timeRange = media::TimeRange(media::Time::zero(), media::Time(3600 * 12288, 12288));
    media::Composition composition;
    media::CompositionTrack& track = *composition.addTrack(media::MediaType::video);
    for (int i = 0; i < state.range(0); ++i)
        track.insertTimeRange(media::TimeRange(media::Time(i * 12288, 12288), media::Time(12288, 12288)),
                              source, media::Time::seconds(i * 1.5));
    double end = track.timeRange().end().toSeconds();
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> at(0, end);
    for (auto _ : state)
        benchmark::DoNotOptimize(track.sourcePosition(media::Time::seconds(at(rng))));
}
BENCHMARK(BM_CompositionLookup)->Arg(10)->Arg(1000);

// A timing plate under a long sequence: one-second pieces laid end to end, up to the builder's limit.
void BM_CompositionTilePlate(benchmark::State& state) {
    auto plate = std::make_shared<media::AssetTrack>();
    plate->timeRange = media::TimeRange(media::Time::zero(), media::Time(30, 30));
    for (auto _ : state) {
        media::Composition composition;
        media::CompositionTrack& track = *composition.addTrack(media::MediaType::video);
        media::Time at;
        for (int i = 0; i < state.range(0); ++i) {
            track.insertTimeRange(plate->timeRange, plate, at);
            at += media::Time(1, 1);
        }
        benchmark::DoNotOptimize(track.timeRange());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CompositionTilePlate)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace
