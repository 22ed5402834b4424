// Premiere's own exports, from ../shared/testdata/xmeml (see its README for where each comes from).

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "Media/PremiereXML.hpp"

using namespace osterveil;

namespace {

std::filesystem::path xmemlDir() { return std::filesystem::path(OSTERVEIL_TESTDATA) / "xmeml"; }

#define SKIP_WITHOUT_XMEML()                                                                                  \
    if (!std::filesystem::is_directory(xmemlDir()))                                                           \
    GTEST_SKIP() << "shared test data not found at " << xmemlDir()

const char* const exampleFile = "otio-fcp-adapter__premiere_example.xml";
const char* const enableFile = "otio-fcp-adapter__premiere_enable_property.xml";
const char* const fadeFile = "xmeml-lib__fade_inn_og_ut.xml";
const char* const cs6File = "xmeml-lib__premiere_cs6_lydtest.xml";

std::string readFile(const std::string& name) {
    std::ifstream in(xmemlDir() / name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Placed {
    std::string name;
    long long start = 0; // frames of the sequence
    long long duration = 0;
    bool operator==(const Placed&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Placed& p) {
    return os << p.name << " @" << p.start << " +" << p.duration;
}

const Track& trackNamed(const PremiereXMLResult& r, const std::string& name) {
    for (const Track& t : r.project.sequence.tracks)
        if (t.name == name) return t;
    throw std::runtime_error("no track " + name);
}

std::vector<Placed> layout(const PremiereXMLResult& r, const std::string& track) {
    const double fps = r.project.sequence.frameRate.framesPerSecond();
    std::vector<Placed> out;
    for (const TimelineClip& c : trackNamed(r, track).sortedClips())
        out.push_back({c.name, std::llround(c.start * fps), std::llround(c.duration * fps)});
    return out;
}

// Every track's clips, for comparing two imports of one file.
std::string summary(const PremiereXMLResult& r) {
    std::ostringstream s;
    for (const Track& t : r.project.sequence.tracks)
        for (const Placed& p : layout(r, t.name)) s << t.name << " " << p << "\n";
    for (const std::string& n : r.notes) s << n << "\n";
    return s.str();
}

std::string utf16(const std::string& utf8, bool littleEndian, bool bom) {
    std::u16string units;
    if (bom) units.push_back(0xFEFF);
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = [&](std::size_t k) { return static_cast<unsigned char>(utf8[i + k]); };
        char32_t cp;
        std::size_t n;
        if (b(0) < 0x80) cp = b(0), n = 1;
        else if (b(0) < 0xE0) cp = (b(0) & 0x1F) << 6 | (b(1) & 0x3F), n = 2;
        else if (b(0) < 0xF0) cp = (b(0) & 0x0F) << 12 | (b(1) & 0x3F) << 6 | (b(2) & 0x3F), n = 3;
        else cp = (b(0) & 0x07) << 18 | (b(1) & 0x3F) << 12 | (b(2) & 0x3F) << 6 | (b(3) & 0x3F), n = 4;
        i += n;
        if (cp == 0xFEFF) continue;
        if (cp >= 0x10000) {
            units.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else
            units.push_back(static_cast<char16_t>(cp));
    }
    std::string out;
    for (char16_t u : units) {
        const char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
        out += littleEndian ? std::string{lo, hi} : std::string{hi, lo};
    }
    return out;
}

} // namespace

TEST(PremiereXMLRealFiles, ExampleMatchesTheReferenceLayout) {
    SKIP_WITHOUT_XMEML();
    const auto r = PremiereXML::parse(readFile(exampleFile));
    const Sequence& s = r.project.sequence;
    EXPECT_EQ(s.name, "sc01_sh010_layerA");
    EXPECT_EQ(s.frameRate, (FrameRate{30, 1}));
    EXPECT_EQ(s.width, 1280);
    EXPECT_EQ(s.height, 720);
    EXPECT_EQ(r.project.media.size(), 7u);

    const std::string sh010 = "sc01_sh010_anim.mov", temp = "sc01_master_layerA_sh030_temp.mov";
    EXPECT_EQ(layout(r, "V1"), (std::vector<Placed>{{sh010, 536, 100}}));
    // The clip written with end -1 runs to its transition's end (frame 557).
    EXPECT_EQ(layout(r, "V2"), (std::vector<Placed>{
                                   {sh010, 13, 100}, {"sc01_sh020_anim.mov", 165, 157}, {"sc01_sh030_anim.mov", 322, 235}}));
    EXPECT_EQ(layout(r, "V3"), (std::vector<Placed>{{"test_title", 15, 941}}));
    // Both -1 edges meet at the dissolve's cut, frame 1164.
    EXPECT_EQ(layout(r, "V4"), (std::vector<Placed>{{temp, 956, 208}, {sh010, 1164, 82}}));
    // Eight per-channel tracks are four stereo tracks.
    EXPECT_EQ(layout(r, "A1"), (std::vector<Placed>{{sh010, 13, 100}, {sh010, 536, 100}}));
    EXPECT_EQ(layout(r, "A2"), (std::vector<Placed>{{"sc01_placeholder.wav", 335, 170}}));
    EXPECT_EQ(layout(r, "A3"), (std::vector<Placed>{{"track_08.wav", 153, 198}}));
    // The file overlaps these two by 13 frames; the later one keeps its place beside its picture and
    // the earlier one ends where it begins (a reader without overlaps shows it 221 long instead).
    EXPECT_EQ(layout(r, "A4"), (std::vector<Placed>{{temp, 956, 208}, {sh010, 1164, 94}}));
    EXPECT_EQ(s.tracks.size(), 8u);

    const auto v2 = trackNamed(r, "V2").sortedClips(), v4 = trackNamed(r, "V4").sortedClips();
    EXPECT_EQ(v2[2].outgoing.kind, TransitionKind::fade); // the "end-black" dissolve fades out
    EXPECT_NEAR(v2[2].outgoing.duration, 19.0 / 30, 1e-9);
    EXPECT_EQ(v4[0].outgoing.kind, TransitionKind::crossDissolve);
    EXPECT_EQ(v4[1].incoming.kind, TransitionKind::crossDissolve);
    EXPECT_NEAR(v4[1].incoming.duration, 25.0 / 30, 1e-9);
    EXPECT_NEAR(v4[1].inPoint, 18.0 / 30, 1e-9); // in 6 is at the dissolve's start, 12 frames before the cut

    const auto a1 = trackNamed(r, "A1").sortedClips(), a4 = trackNamed(r, "A4").sortedClips();
    ASSERT_TRUE(v4[0].linkGroup && v4[1].linkGroup && v2[0].linkGroup);
    EXPECT_EQ(a4[0].linkGroup, v4[0].linkGroup);
    EXPECT_EQ(a4[1].linkGroup, v4[1].linkGroup);
    EXPECT_EQ(a1[0].linkGroup, v2[0].linkGroup);
    EXPECT_NE(v4[0].linkGroup, v4[1].linkGroup);
    EXPECT_FALSE(v2[1].linkGroup.has_value());

    const std::string nest = "sc01_sh010_anim was skipped. Nested sequences are not imported.";
    EXPECT_EQ(std::count(r.notes.begin(), r.notes.end(), nest), 2); // on V2 and on A2
    EXPECT_EQ(r.disabledClipCount, 0);
    EXPECT_TRUE(r.skippedEffects.empty());
}

TEST(PremiereXMLRealFiles, FadeInAndOutBecomesVolumeKeyframes) {
    SKIP_WITHOUT_XMEML();
    const auto r = PremiereXML::parse(readFile(fadeFile)); // starts with a byte-order mark
    EXPECT_EQ(r.project.sequence.frameRate, (FrameRate{25, 1}));
    const auto a1 = trackNamed(r, "A1").sortedClips();
    ASSERT_EQ(a1.size(), 1u);
    const ScalarParam& v = a1[0].volumeDB;
    ASSERT_EQ(v.keyframes.size(), 3u);
    EXPECT_DOUBLE_EQ(v.keyframes[0].time, 0);
    EXPECT_DOUBLE_EQ(v.keyframes[1].time, 1498.0 / 25);
    EXPECT_DOUBLE_EQ(v.keyframes[2].time, 2989.0 / 25);
    EXPECT_DOUBLE_EQ(v.evaluated(0), -60);
    EXPECT_NEAR(v.evaluated(1498.0 / 25), 20 * std::log10(0.99763), 1e-9);
    EXPECT_LT(v.evaluated(10), v.evaluated(50));
    EXPECT_GT(v.evaluated(70), v.evaluated(110));
    EXPECT_DOUBLE_EQ(v.evaluated(a1[0].duration), -60);
    EXPECT_DOUBLE_EQ(a1[0].duration, 120);
}

TEST(PremiereXMLRealFiles, DisabledClipsAndTracks) {
    SKIP_WITHOUT_XMEML();
    const auto r = PremiereXML::parse(readFile(enableFile));
    const auto v1 = trackNamed(r, "V1").sortedClips();
    ASSERT_EQ(v1.size(), 4u);
    EXPECT_EQ((std::vector<bool>{v1[0].isEnabled, v1[1].isEnabled, v1[2].isEnabled, v1[3].isEnabled}),
              (std::vector<bool>{true, false, true, false}));
    EXPECT_EQ(v1[1].name, "video_track_1_disabled_1");
    EXPECT_FALSE(trackNamed(r, "V1").isHidden);
    EXPECT_TRUE(trackNamed(r, "V3").isHidden);
    EXPECT_FALSE(trackNamed(r, "V3").sortedClips().at(0).isEnabled);
    const auto a1 = trackNamed(r, "A1").sortedClips();
    ASSERT_EQ(a1.size(), 4u);
    EXPECT_FALSE(a1[2].isEnabled);
    EXPECT_FALSE(trackNamed(r, "A1").isMuted);
    EXPECT_EQ(r.disabledClipCount, 4); // the second channel's copy is not counted twice
    EXPECT_EQ(r.project.sequence.tracks.size(), 6u);
}

TEST(PremiereXMLRealFiles, PremiereCS6ProjectWrapper) {
    SKIP_WITHOUT_XMEML();
    const auto r = PremiereXML::parse(readFile(cs6File));
    EXPECT_EQ(r.project.sequence.name, "Sequence 01");
    EXPECT_EQ(r.project.sequence.frameRate, (FrameRate{50, 1}));
    EXPECT_EQ(layout(r, "A1"), (std::vector<Placed>{{"Nokas.2010.NORWEGIAN.DVDSCR.XviD-NOKAS.avi", 0, 6556}}));
    EXPECT_EQ(layout(r, "A2"), (std::vector<Placed>{{"Nokas.2010.NORWEGIAN.DVDSCR.XviD-NOKAS.avi", 2911, 12810}}));
    const TimelineClip a1 = trackNamed(r, "A1").sortedClips().at(0);
    // The items carry no rate: in/out count at the sequence's 50 fps (out - in equals end - start).
    EXPECT_DOUBLE_EQ(a1.inPoint, 50779.0 / 50);
    ASSERT_EQ(a1.volumeDB.keyframes.size(), 8u);
    EXPECT_DOUBLE_EQ(a1.volumeDB.keyframes[0].time, (52125.0 - 50779) / 50);
    EXPECT_DOUBLE_EQ(a1.volumeDB.keyframes[1].value, -60);
    EXPECT_NEAR(a1.volumeDB.keyframes[2].value, 6.0, 0.001);
    EXPECT_EQ(r.skippedEffects, (std::vector<std::string>{"Audio Pan"}));
}

TEST(PremiereXMLRealFiles, UTF16ReadsLikeUTF8) {
    SKIP_WITHOUT_XMEML();
    for (const char* name : {exampleFile, enableFile, fadeFile, cs6File}) {
        const std::string bytes = readFile(name);
        const std::string expected = summary(PremiereXML::parse(bytes));
        EXPECT_EQ(summary(PremiereXML::parse(utf16(bytes, true, true))), expected) << name;
        EXPECT_EQ(summary(PremiereXML::parse(utf16(bytes, false, false))), expected) << name;
    }
}

// Truncated and randomly damaged copies of every file either fail with the importer's error or give a
// project that can be saved, with finite times; nothing else may happen.
TEST(PremiereXMLRealFiles, DamagedCopiesFailCleanly) {
    SKIP_WITHOUT_XMEML();
    const std::vector<std::string> tokens{"-1", "0", "1e308", "nan", "99999999999999999999", "<sequence>",
                                          "</clipitem>", "&#xD800;", "\xFF\xFE", "<start>-1</start>", "<!DOCTYPE a>"};
    std::mt19937 rng(20240515);
    int refused = 0, imported = 0;
    for (const char* name : {exampleFile, enableFile, fadeFile, cs6File}) {
        const std::string original = readFile(name);
        for (int round = 0; round < 120; ++round) {
            std::string bytes = original;
            const auto at = [&] { return std::uniform_int_distribution<std::size_t>(0, bytes.size())(rng); };
            switch (round % 5) {
            case 0: bytes.resize(at()); break;
            case 1:
                for (int k = 0; k < 8; ++k)
                    if (!bytes.empty()) bytes[at() % bytes.size()] = static_cast<char>(rng());
                break;
            case 2: {
                const std::size_t a = at();
                bytes.erase(a, std::uniform_int_distribution<std::size_t>(1, 400)(rng));
                break;
            }
            case 3:
                for (int k = 0; k < 4; ++k) bytes.insert(at(), tokens[rng() % tokens.size()]);
                break;
            default: {
                // Rewrite numbers in place, keeping the markup well-formed.
                for (std::size_t p = bytes.find(">", at()); p != std::string::npos && p + 1 < bytes.size();
                     p = bytes.find(">", p + 200 + rng() % 2000))
                    if (std::isdigit(static_cast<unsigned char>(bytes[p + 1])))
                        bytes.insert(p + 1, tokens[rng() % 5]);
            }
            }
            try {
                const auto r = PremiereXML::parse(bytes);
                ++imported;
                EXPECT_NO_THROW(r.project.encode()) << name << " round " << round;
                for (const Track& t : r.project.sequence.tracks)
                    for (const TimelineClip& c : t.clips) {
                        EXPECT_TRUE(std::isfinite(c.start) && std::isfinite(c.inPoint) && std::isfinite(c.duration));
                        EXPECT_GT(c.duration, 0);
                    }
            } catch (const PremiereXMLError&) {
                ++refused;
            }
        }
    }
    // Both outcomes occur, so the test exercises the importer beyond its first check.
    EXPECT_GT(refused, 0);
    EXPECT_GT(imported, 0);
}
