// Importing a long Premiere timeline: 5,000 clip items, as picture and sound pairs with links,
// keyframed opacity and levels, and a cross dissolve (with Premiere's -1 clip edges) every tenth cut.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <stop_token>
#include <string>
#include <thread>

#include "Media/PremiereXML.hpp"

namespace {

std::string generatedSequence(int pairs) {
    const auto rate = "<rate><timebase>25</timebase><ntsc>FALSE</ntsc></rate>";
    const auto fileElement = [&](int i) {
        const std::string id = "file-" + std::to_string(i % 200);
        if (i >= 200) return "<file id=\"" + id + "\"/>";
        return "<file id=\"" + id + "\"><name>shot_" + std::to_string(i) +
               ".mov</name><pathurl>file://localhost/Volumes/Media/shot_" + std::to_string(i) + ".mov</pathurl>" +
               rate + "<duration>1000</duration><media><video><samplecharacteristics><width>1920</width>"
                      "<height>1080</height></samplecharacteristics></video><audio/></media></file>";
    };
    const auto item = [&](char kind, int i, int start, int end, int in, int out, const std::string& filter) {
        const std::string id = std::string("clipitem-") + kind + std::to_string(i);
        const std::string partner = std::string("clipitem-") + (kind == 'v' ? 'a' : 'v') + std::to_string(i);
        return "<clipitem id=\"" + id + "\"><name>shot_" + std::to_string(i) + ".mov</name><enabled>TRUE</enabled>" +
               rate + "<start>" + std::to_string(start) + "</start><end>" + std::to_string(end) + "</end><in>" +
               std::to_string(in) + "</in><out>" + std::to_string(out) + "</out>" + fileElement(i) +
               "<filter><effect><name>" + filter + "</name><parameter><parameterid>" +
               (kind == 'v' ? "opacity" : "level") + "</parameterid><value>1</value><keyframe><when>" +
               std::to_string(in) + "</when><value>0</value></keyframe><keyframe><when>" + std::to_string(in + 10) +
               "</when><value>" + (kind == 'v' ? "100" : "1") + "</value></keyframe></parameter></effect></filter>" +
               "<link><linkclipref>" + id + "</linkclipref></link><link><linkclipref>" + partner +
               "</linkclipref></link></clipitem>";
    };
    std::string video = "<track>", audio = "<track>";
    for (int i = 0; i < pairs; ++i) {
        const int start = i * 50, end = start + 50;
        const bool dissolveAfter = i % 10 == 9 && i + 1 < pairs;
        const bool dissolveBefore = i % 10 == 0 && i > 0;
        video += item('v', i, dissolveBefore ? -1 : start, dissolveAfter ? -1 : end, 100, 150 + (dissolveAfter ? 5 : 0),
                      "Opacity");
        if (dissolveAfter)
            video += "<transitionitem><start>" + std::to_string(end - 5) + "</start><end>" + std::to_string(end + 5) +
                     "</end><alignment>center</alignment><effect><name>Cross Dissolve</name>"
                     "<effectid>Cross Dissolve</effectid></effect></transitionitem>";
        audio += item('a', i, start, end, 100, 150, "Audio Levels");
    }
    video += "</track>";
    audio += "</track>";
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE xmeml>\n<xmeml version=\"4\">"
                       "<sequence id=\"sequence-1\"><name>Long</name>") +
           rate + "<media><video><format><samplecharacteristics>" + rate +
           "<width>1920</width><height>1080</height></samplecharacteristics></format>" + video + "</video><audio>" +
           audio + "</audio></media></sequence></xmeml>";
}

void BM_ParsePremiereXML5000Clips(benchmark::State& state) {
    const std::string xml = generatedSequence(2500);
    std::size_t clips = 0;
    for (auto _ : state) {
        const auto result = osterveil::PremiereXML::parse(xml);
        clips = 0;
        for (const auto& t : result.project.sequence.tracks) clips += t.clips.size();
        benchmark::DoNotOptimize(clips);
    }
    if (clips != 5000) state.SkipWithError("the generated file did not import as 5,000 clips");
    state.counters["clips"] = static_cast<double>(clips);
    state.counters["MB"] = static_cast<double>(xml.size()) / 1e6;
}
BENCHMARK(BM_ParsePremiereXML5000Clips)->Unit(benchmark::kMillisecond);

// What a closed window's import cannot cut short: the XML parse, one call, up to the importer's first
// stop point, for 5,000, 50,000 and 500,000 clip items (3 MB to 300 MB; the import takes files to
// 512 MB).
void BM_PremiereXMLParseBeforeItsFirstStopPoint(benchmark::State& state) {
    const std::string xml = generatedSequence(static_cast<int>(state.range(0)) / 2);
    std::stop_source closed;
    closed.request_stop();
    for (auto _ : state) {
        try {
            osterveil::PremiereXML::parse(xml, closed.get_token());
            state.SkipWithError("the import did not stop");
        } catch (const osterveil::PremiereXMLError& error) {
            if (error.kind() != osterveil::PremiereXMLError::Kind::stopped)
                state.SkipWithError("not an import");
        }
    }
    state.counters["MB"] = static_cast<double>(xml.size()) / 1e6;
}
// From a stop asked for part way through an import to its end, for 50,000 and 500,000 clip items (30 and
// 300 MB): the second argument is when, in tenths of the whole import's time.
void BM_PremiereXMLImportStoppedPartWay(benchmark::State& state) {
    struct Sized {
        std::string xml;
        double whole = 0;
    };
    static std::map<std::int64_t, Sized> sizes;
    Sized& sized = sizes[state.range(0)];
    if (sized.xml.empty()) {
        sized.xml = generatedSequence(static_cast<int>(state.range(0)) / 2);
        const auto start = std::chrono::steady_clock::now();
        osterveil::PremiereXML::parse(sized.xml);
        sized.whole = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const auto at = std::chrono::duration<double>(sized.whole * double(state.range(1)) / 10);
    for (auto _ : state) {
        std::stop_source closing;
        std::chrono::steady_clock::time_point asked, ended;
        std::jthread import([&] {
            try {
                osterveil::PremiereXML::parse(sized.xml, closing.get_token());
            } catch (const osterveil::PremiereXMLError&) {
            }
            ended = std::chrono::steady_clock::now();
        });
        std::this_thread::sleep_for(at);
        asked = std::chrono::steady_clock::now();
        closing.request_stop();
        import.join();
        state.SetIterationTime(std::max(0.0, std::chrono::duration<double>(ended - asked).count()));
    }
    state.counters["whole_s"] = sized.whole;
}
BENCHMARK(BM_PremiereXMLImportStoppedPartWay)
    ->ArgsProduct({{50000, 500000}, {1, 3, 5, 7, 9}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

BENCHMARK(BM_PremiereXMLParseBeforeItsFirstStopPoint)
    ->Arg(5000)
    ->Arg(50000)
    ->Arg(500000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

} // namespace
