#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>
#include <stop_token>
#include <string>
#include <thread>

#include "Media/PremiereXML.hpp"
#include "Media/PremiereXMLInternal.hpp"

using namespace osterveil;

namespace {

// A document around one sequence; clips name the file "f1" unless they say otherwise.
struct Doc {
    std::string rate = "<rate><timebase>25</timebase></rate>";
    std::string size = "<width>1920</width><height>1080</height>";
    std::string video, audio;
    std::string root = R"(xmeml version="4")";
    std::string files = R"(<file id="f1"><name>a</name><pathurl>file:///m/a.mov</pathurl><duration>5000</duration>)"
                        R"(<media><video/><audio/></media></file>)";
    std::string str() const {
        return "<" + root + "><sequence id=\"s1\"><name>Seq</name>" + rate +
               "<media><video><format><samplecharacteristics>" + size + "</samplecharacteristics></format>" + video +
               "</video><audio>" + audio + "</audio></media></sequence><bin>" + files + "</bin></xmeml>";
    }
};

std::string track(const std::string& items) { return "<track>" + items + "</track>"; }

// Empty numbers leave the element out.
std::string clip(const std::string& id, const std::string& start, const std::string& end, const std::string& in,
                 const std::string& out, const std::string& extra = "", const std::string& file = "<file id=\"f1\"/>") {
    const auto el = [](const char* n, const std::string& v) {
        return v.empty() ? std::string() : "<" + std::string(n) + ">" + v + "</" + n + ">";
    };
    return "<clipitem id=\"" + id + "\"><name>" + id + "</name>" + el("start", start) + el("end", end) + el("in", in) +
           el("out", out) + file + extra + "</clipitem>";
}

std::string transition(const std::string& start, const std::string& end, const std::string& alignment,
                       const std::string& name = "Cross Dissolve", const std::string& extra = "") {
    return "<transitionitem><start>" + start + "</start><end>" + end + "</end><alignment>" + alignment +
           "</alignment>" + extra + "<effect><name>" + name + "</name></effect></transitionitem>";
}

std::string effect(const std::string& name, const std::string& id, const std::string& params = "") {
    return "<filter><effect><name>" + name + "</name><effectid>" + id + "</effectid>" + params + "</effect></filter>";
}

std::string param(const std::string& id, const std::string& value, const std::string& keyframes = "") {
    return "<parameter><parameterid>" + id + "</parameterid><name>" + id + "</name><value>" + value + "</value>" +
           keyframes + "</parameter>";
}

std::string key(const std::string& when, const std::string& value) {
    return "<keyframe><when>" + when + "</when><value>" + value + "</value></keyframe>";
}

void expectTransition(const ClipTransition& t, TransitionKind kind, double duration,
                      TransitionCurve curve = TransitionCurve::linear) {
    EXPECT_EQ(t.kind, kind);
    EXPECT_NEAR(t.duration, duration, 1e-9);
    EXPECT_EQ(t.curve, curve);
}

const Track& trackNamed(const PremiereXMLResult& r, const std::string& name) {
    for (const Track& t : r.project.sequence.tracks)
        if (t.name == name) return t;
    throw std::runtime_error("no track " + name);
}

std::vector<TimelineClip> clipsOn(const PremiereXMLResult& r, const std::string& name) {
    return trackNamed(r, name).sortedClips();
}

TimelineClip only(const PremiereXMLResult& r, const std::string& name = "V1") {
    auto clips = clipsOn(r, name);
    if (clips.size() != 1) throw std::runtime_error(name + " holds " + std::to_string(clips.size()) + " clips");
    return clips.front();
}

PremiereXMLResult videoClip(const std::string& extra, const std::string& rate = "") {
    Doc d;
    d.video = track(clip("c", "100", "200", "1000", "1100", rate + extra));
    return PremiereXML::parse(d.str());
}

PremiereXMLError errorOf(const std::string& xml) {
    try {
        PremiereXML::parse(xml);
    } catch (const PremiereXMLError& e) {
        return e;
    }
    throw std::runtime_error("parsed");
}

} // namespace

TEST(PremiereXMLDocument, RefusesWhatIsNoSequence) {
    const auto notASequence = PremiereXMLError::notASequence();
    EXPECT_EQ(errorOf(""), notASequence);
    EXPECT_EQ(errorOf("<sequence><media/></sequence>"), notASequence); // the root is not its own descendant
    EXPECT_EQ(errorOf("<xmeml><project/></xmeml>"), notASequence);
    EXPECT_EQ(errorOf("<xmeml><sequence><name>x</name></sequence></xmeml>"), notASequence);
    EXPECT_NE(notASequence.errorDescription().find("File > Export > Final Cut Pro XML."), std::string::npos);

    const PremiereXMLError broken = errorOf("<xmeml><sequence><media></sequence></xmeml>");
    EXPECT_EQ(broken.kind(), PremiereXMLError::Kind::malformed);
    EXPECT_NE(broken.errorDescription().find("at byte"), std::string::npos);
}

TEST(PremiereXMLDocument, SequenceRateAndFrameSize) {
    Doc d;
    d.rate = "";
    d.size = "<rate><timebase>30</timebase><ntsc>TRUE </ntsc></rate><width>8</width><height>4</height>";
    d.video = track(clip("c", "0", "10", "0", "10",
                         effect("Basic Motion", "basic", "<parameter><parameterid>center</parameterid>"
                                                         "<value><horiz>0.5</horiz><vert>0</vert></value></parameter>")));
    auto r = PremiereXML::parse(d.str());
    EXPECT_EQ(r.project.sequence.frameRate, (FrameRate{30000, 1001}));
    EXPECT_EQ(r.project.sequence.width, 16);
    EXPECT_EQ(r.project.sequence.height, 16);
    EXPECT_DOUBLE_EQ(only(r).motion.positionX, 4); // motion sees the file's own 8×4

    d.size = "<rate><timebase>25</timebase><ntsc>TRUE</ntsc></rate><width>99999</width><height>1080</height>";
    r = PremiereXML::parse(d.str());
    EXPECT_EQ(r.project.sequence.frameRate, (FrameRate{25, 1}));
    EXPECT_EQ(r.project.sequence.width, 16384);
    EXPECT_EQ(r.notes.back(), "The frame size 99999×1080 was limited to 16384×1080.");

    // Timebase 0 occurs in real files: one frame per second, never a division by zero.
    d.rate = "<rate><timebase>0</timebase></rate>";
    d.video = track(clip("c", "3", "5", "2", "4", "<rate><timebase>0</timebase></rate>"));
    r = PremiereXML::parse(d.str());
    EXPECT_EQ(r.project.sequence.frameRate, (FrameRate{24000, 1001}));
    EXPECT_DOUBLE_EQ(only(r).start, 3);
    EXPECT_DOUBLE_EQ(only(r).inPoint, 2);
}

TEST(PremiereXMLDocument, FilesMergeByIdAndSortById) {
    Doc d;
    d.files = R"(<file id="file-2"><name>two</name><pathurl>file://localhost/Volumes/My%20Disk/a.mov</pathurl>)"
              R"(<rate><timebase>50</timebase></rate><duration>100</duration></file>)"
              R"(<file id="file-2"/><file id="file-2"><media><video><samplecharacteristics><width>640</width>)"
              R"(</samplecharacteristics></video></media></file>)"
              R"(<file id="file-10"><pathurl>/a/b/Clip 01.mxf</pathurl><media><audio/></media></file>)"
              R"(<file id="file-3"/><file id="file-4"><pathurl>file:///s/Still.PNG</pathurl></file><file><name>x</name></file>)";
    const auto r = PremiereXML::parse(d.str());
    ASSERT_EQ(r.project.media.size(), 4u);
    const MediaItem& ten = r.project.media[0];
    const MediaItem& two = r.project.media[1];
    const MediaItem& three = r.project.media[2];
    const MediaItem& still = r.project.media[3];
    EXPECT_EQ(ten.name, "Clip 01");
    EXPECT_EQ(ten.codec, "MXF");
    EXPECT_EQ(ten.kind, MediaKind::audio);
    EXPECT_EQ(two.path, "/Volumes/My Disk/a.mov");
    EXPECT_EQ(two.width, 640);
    EXPECT_TRUE(two.hasVideo);
    EXPECT_DOUBLE_EQ(two.duration, 2.0);
    EXPECT_DOUBLE_EQ(two.nominalFrameRate, 50);
    EXPECT_EQ(three.name, "file-3");
    EXPECT_EQ(three.codec, "Offline");
    EXPECT_DOUBLE_EQ(three.nominalFrameRate, 25); // the sequence's rate stands in
    EXPECT_EQ(still.kind, MediaKind::image);
    EXPECT_TRUE(still.hasVideo);
}

TEST(PremiereXMLDocument, FilePaths) {
    EXPECT_EQ(PremiereXML::filePath(" file://localhost/Volumes/My%20Disk/a.mov\n"), "/Volumes/My Disk/a.mov");
    EXPECT_EQ(PremiereXML::filePath("FILE://LOCALHOST/x.wav"), "/x.wav");
    EXPECT_EQ(PremiereXML::filePath("file:///tmp/%ZZ.mov"), "/tmp/%ZZ.mov");
    EXPECT_EQ(PremiereXML::filePath("file:///tmp/%FF.mov"), "/tmp/%FF.mov"); // would not be UTF-8
    EXPECT_EQ(PremiereXML::filePath("file:///tmp/a%00b"), "/tmp/a%00b");
    EXPECT_EQ(PremiereXML::filePath("http://h/a%20b"), "http://h/a b");
}

TEST(PremiereXMLDocument, NotesTracksAndDefaults) {
    Doc d;
    d.root = R"(xmeml version="6")";
    d.audio = track(clip("a", "0", "10", "0", "10", "<sequence><media/></sequence>"));
    auto r = PremiereXML::parse(d.str());
    ASSERT_GE(r.notes.size(), 3u);
    EXPECT_EQ(r.notes[0], "XML version 6 was read as Final Cut Pro XML.");
    EXPECT_EQ(r.notes[1], "Only the first sequence was imported.");
    EXPECT_EQ(r.notes[2], "a was skipped. Nested sequences are not imported.");
    ASSERT_EQ(r.project.sequence.tracks.size(), 2u);
    EXPECT_EQ(r.project.sequence.tracks[0].name, "V1");
    EXPECT_EQ(r.project.sequence.tracks[1].name, "A1");
    EXPECT_EQ(r.project.sequence.name, "Seq");
    EXPECT_EQ(r.project.name, "Untitled");

    d = Doc{};
    d.video = "<track><enabled>no</enabled></track><track><enabled>FALSE</enabled><locked>TRUE</locked></track>";
    d.audio = "<track><enabled> 0 </enabled></track>";
    r = PremiereXML::parse(d.str());
    EXPECT_TRUE(trackNamed(r, "V1").isHidden);
    EXPECT_FALSE(trackNamed(r, "V1").isLocked);
    EXPECT_TRUE(trackNamed(r, "V2").isLocked);
    EXPECT_TRUE(trackNamed(r, "A1").isMuted);
    EXPECT_FALSE(trackNamed(r, "A1").isHidden);
}

TEST(PremiereXMLDocument, EncodingsAndEntities) {
    Doc d;
    d.video = track(clip("caf\xC3\xA9", "0", "10", "0", "10"));
    const std::string utf8 = d.str();
    std::string le = "\xFF\xFE", be;
    // é is U+00E9; everything else is ASCII.
    const std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE xmeml>\n" + utf8;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char16_t u = c;
        if (c == 0xC3) u = static_cast<char16_t>(0xC0 | (static_cast<unsigned char>(text[++i]) & 0x3F));
        le += static_cast<char>(u & 0xFF);
        le += static_cast<char>(u >> 8);
        be += static_cast<char>(u >> 8);
        be += static_cast<char>(u & 0xFF);
    }
    for (const std::string& bytes : {"\xEF\xBB\xBF" + text, le, be})
        EXPECT_EQ(only(PremiereXML::parse(bytes)).name, "caf\xC3\xA9");

    // Latin-1 when declared; stray bytes elsewhere still leave text a project file can hold.
    std::string latin = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" + utf8;
    latin.replace(latin.find("caf\xC3\xA9</name>"), 5, "caf\xE9");
    EXPECT_EQ(only(PremiereXML::parse(latin)).name, "caf\xC3\xA9");
    std::string stray = utf8;
    stray.replace(stray.find("caf\xC3\xA9</name>"), 5, "caf\xE9");
    const auto r = PremiereXML::parse(stray);
    EXPECT_EQ(only(r).name, "caf\xEF\xBF\xBD");
    EXPECT_NO_THROW(r.project.encode());

    // An external entity is never fetched.
    std::string hostile = "<!DOCTYPE xmeml [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>" + utf8;
    hostile.replace(hostile.find("caf\xC3\xA9</name>"), 5, "&x;");
    EXPECT_EQ(only(PremiereXML::parse(hostile)).name.find("root:"), std::string::npos);
}

TEST(PremiereXMLClips, LinkGroupsJoinOnlyImportedClips) {
    const auto links = [](std::initializer_list<const char*> ids) {
        std::string s;
        for (const char* id : ids) s += std::string("<link><linkclipref> ") + id + " </linkclipref></link>";
        return s;
    };
    Doc d;
    d.video = track(clip("v1", "0", "10", "0", "10", links({"v1", "a1"})) +
                    clip("v2", "10", "20", "0", "10", links({"v2"})) +
                    clip("v3", "20", "30", "0", "10", links({"gone"})) + clip("gone", "-1", "40", "0", "10") +
                    clip("v4", "40", "50", "0", "10", "<link><linkclipref/></link>") +
                    clip("v5", "50", "60", "0", "10", "<link><linkclipref/></link>"));
    d.audio = track(clip("a1", "0", "10", "0", "10", links({"v1", "a1"}))) +
              track(clip("a2", "0", "10", "0", "10", links({"a1"})));
    const auto r = PremiereXML::parse(d.str());
    const auto v = clipsOn(r, "V1");
    ASSERT_EQ(v.size(), 5u);
    ASSERT_TRUE(v[0].linkGroup.has_value());
    EXPECT_EQ(only(r, "A1").linkGroup, v[0].linkGroup);
    EXPECT_EQ(only(r, "A2").linkGroup, v[0].linkGroup);
    for (std::size_t i = 1; i < v.size(); ++i) EXPECT_FALSE(v[i].linkGroup.has_value()) << v[i].name;
}

TEST(PremiereXMLClips, TimingFromFramesAndRates) {
    Doc d;
    d.video = track(clip("a", "0", "-1", "10", "70") + clip("b", "100", "", "-5", "25") +
                    clip("dropped", "-1", "120", "0", "10") + clip("nothing", "300", "200", "50", "50") +
                    clip("nofile", "0", "1", "0", "1", "", "") + clip("noid", "0", "1", "0", "1", "", "<file/>") +
                    "<generatoritem><name>Title</name></generatoritem>");
    auto r = PremiereXML::parse(d.str());
    auto v = clipsOn(r, "V1");
    ASSERT_EQ(v.size(), 2u);
    EXPECT_DOUBLE_EQ(v[0].duration, 60.0 / 25);
    EXPECT_DOUBLE_EQ(v[0].inPoint, 10.0 / 25);
    EXPECT_DOUBLE_EQ(v[1].inPoint, 0);
    EXPECT_DOUBLE_EQ(v[1].duration, 1.0);
    EXPECT_EQ(r.notes, (std::vector<std::string>{"nofile was skipped because it has no media file.",
                                                 "Skipped 3 clip items whose media file or timing could not be read.",
                                                 "Skipped 1 generator item (titles, mattes and other generated media)."}));

    // Times inside a clip item count in its own rate, or else in the sequence's (not the file's).
    d = Doc{};
    d.rate = "<rate><timebase>30</timebase><ntsc>TRUE</ntsc></rate>";
    d.files = R"(<file id="f1"><rate><timebase>24</timebase></rate></file>)";
    d.video = track(clip("own", "3000", "3100", "48", "", "<rate><timebase>24</timebase></rate>")) +
              track(clip("inherited", "3000", "", "48", "78"));
    r = PremiereXML::parse(d.str());
    EXPECT_NEAR(only(r, "V1").start, 100.1, 1e-9);
    EXPECT_DOUBLE_EQ(only(r, "V1").inPoint, 2);
    EXPECT_NEAR(only(r, "V2").inPoint, 48 * 1001.0 / 30000, 1e-12);
    EXPECT_NEAR(only(r, "V2").duration, 30 * 1001.0 / 30000, 1e-12);
}

// A clip item whose own rate makes its in…out disagree with its timeline span, while the sequence's
// rate makes them agree, counts its source in the sequence's rate.
TEST(PremiereXMLClips, MixedRateClipItemsReadInTheRateTheirSpanFits) {
    const std::string ntsc30 = "<rate><timebase>30</timebase><ntsc>TRUE</ntsc></rate>";
    Doc d;
    d.video =
        track(clip("mixed", "100", "200", "1000", "1100", ntsc30)) +
        track(clip("own", "0", "100", "30", "80", "<rate><timebase>15</timebase></rate>")) +
        track(clip("speed", "0", "100", "1000", "1100", ntsc30 + effect("Time Remapping", "timeremap")));
    auto r = PremiereXML::parse(d.str());
    const TimelineClip mixed = only(r, "V1");
    EXPECT_DOUBLE_EQ(mixed.inPoint, 40);
    EXPECT_DOUBLE_EQ(mixed.duration, 4);
    EXPECT_DOUBLE_EQ(only(r, "V2").inPoint, 2);
    EXPECT_NEAR(only(r, "V3").inPoint, 1000 * 1001.0 / 30000, 1e-9);
    EXPECT_EQ(r.notes,
              (std::vector<std::string>{"Read 1 clip item at the sequence's frame rate, as the rate the "
                                        "file gives it does not fit its in and out points."}));

    d.audio = track(clip("mixedSound", "100", "200", "1000", "1100", ntsc30));
    r = PremiereXML::parse(d.str());
    EXPECT_DOUBLE_EQ(only(r, "A1").inPoint, 40);
    EXPECT_EQ(r.notes,
              (std::vector<std::string>{"Read 2 clip items at the sequence's frame rate, as the rate the "
                                        "file gives them does not fit their in and out points."}));
}

// Sound keeps no speed change; a reversed one would otherwise vanish without a word.
TEST(PremiereXMLClips, ReversedSoundPlaysForwardWithANote) {
    const std::string reversed =
        effect("Time Remapping", "timeremap", param("speed", "100") + param("reverse", "TRUE"));
    Doc d;
    d.video = track(clip("picture", "0", "10", "0", "10", reversed));
    d.audio = track(
        clip("voice", "0", "10", "0", "10", reversed) +
        clip("music", "10", "20", "0", "10", effect("Time Remapping", "timeremap", param("speed", "50"))));
    const auto r = PremiereXML::parse(d.str());
    EXPECT_TRUE(only(r, "V1").timeRemap.reversed);
    for (const TimelineClip& c : clipsOn(r, "A1"))
        EXPECT_EQ(c.timeRemap, TimeRemap::identity);
    EXPECT_EQ(r.notes, (std::vector<std::string>{"voice plays forward: sound clips keep no speed change."}));
}

TEST(PremiereXMLClips, DisabledClipsAreImportedAndCounted) {
    Doc d;
    d.video = track(clip("off", "0", "10", "0", "10", "<enabled>FALSE</enabled>") +
                    clip("offAndDropped", "-1", "10", "0", "10", "<enabled>FALSE</enabled>"));
    const auto r = PremiereXML::parse(d.str());
    EXPECT_FALSE(only(r).isEnabled);
    EXPECT_EQ(r.disabledClipCount, 1);
}

TEST(PremiereXMLClips, EffectsFollowTheTrackRole) {
    const std::string all = effect("", "TIMEREMAP", param("speed", "50")) + effect("Opacity", "", param("opacity", "50")) +
                            effect("Audio Levels", "audiolevels", param("level", "0.5")) +
                            effect("Lumetri Color", "", param("Exposure", "1") + param("Glow", "3")) +
                            effect("Cross Dissolve", "") + effect("Sparkle", "") + effect("", "sparkleid") +
                            effect("Sparkle", "other");
    Doc d;
    d.video = track(clip("v", "0", "10", "0", "10", all));
    d.audio = track(clip("a", "0", "10", "0", "10", all));
    const auto r = PremiereXML::parse(d.str());
    const TimelineClip v = only(r, "V1"), a = only(r, "A1");
    EXPECT_DOUBLE_EQ(v.timeRemap.speed, 0.5);
    EXPECT_DOUBLE_EQ(v.opacity.value, 0.5);
    EXPECT_DOUBLE_EQ(v.volumeDB.value, 0);
    EXPECT_DOUBLE_EQ(v.grade.exposure.value, 1);
    EXPECT_EQ(a.timeRemap, TimeRemap::identity);
    EXPECT_DOUBLE_EQ(a.opacity.value, 1);
    EXPECT_EQ(a.grade, ColorGrade::identity);
    EXPECT_NEAR(a.volumeDB.value, -6.0206, 1e-4);
    EXPECT_EQ(r.skippedEffects, (std::vector<std::string>{"Lumetri Color: Glow", "Sparkle", "sparkleid"}));
}

TEST(PremiereXMLTransitions, Classification) {
    using namespace premiere_xml;
    using K = TransitionKind;
    using C = TransitionCurve;
    const auto kind = [](const char* n, const char* i) { return audioTransition(n, i); };
    EXPECT_EQ(kind("Cross Fade (+3dB)", ""), std::pair(K::constantPower, C::equalPower));
    EXPECT_EQ(kind("x", "PAC 0dB"), std::pair(K::constantGain, C::linear));
    EXPECT_EQ(kind("Exponential Fade", ""), std::pair(K::exponentialFade, C::exponential));
    EXPECT_EQ(kind("cross fade and cross dissolve", ""), std::pair(K::constantPower, C::equalPower));
    EXPECT_EQ(kind("Cross Dissolve", ""), std::nullopt);
    EXPECT_TRUE(isCrossDissolve("", "DISSOLVE"));
    EXPECT_FALSE(isCrossDissolve("", "my dissolve"));
    EXPECT_TRUE(isCrossDissolve("A Cross Dissolve!", ""));
    EXPECT_FALSE(isCrossDissolve("Dip to Black", "Cross Dissolve"));

    pugi::xml_document doc;
    doc.load_string("<t><transitionitem><effect><name>Dip to White</name></effect></transitionitem>"
                    "<transitionitem><name></name></transitionitem><transitionitem/></t>");
    SkippedSet skipped;
    std::vector<ParsedTransition> parsed;
    for (auto item : doc.child("t").children()) parsed.push_back(parseTransition(item, XMLRate{25, false}, skipped));
    EXPECT_EQ(parsed[0].kind, K::none);
    EXPECT_EQ(parsed[1].name, "");
    EXPECT_EQ(parsed[2].name, "Transition");
    EXPECT_EQ(skipped, (SkippedSet{"Dip to White", "Transition"}));
}

TEST(PremiereXMLTransitions, AttachToClipEdges) {
    Doc d;
    // 25 fps: a centred dissolve, edge fades, a too-short one, and a later one overriding an edge.
    d.video = track(clip("A", "0", "100", "0", "100") + transition("88", "113", "center") + clip("B", "100", "200", "0", "100") +
                    transition("190", "199", "end-black", "Exponential Fade")) +
              track(transition("0", "10", "start-black") + clip("C", "0", "50", "0", "50") +
                    transition("60", "70", "center") + clip("D", "65", "120", "0", "55") +
                    transition("100", "110", "start end") + transition("100", "112", "end")) +
              track(clip("E", "0", "50", "0", "50") + transition("49.8", "50", "center") +
                    transition("0", "0.3", "start") + "<transitionitem><effect><name>Cross Dissolve</name></effect></transitionitem>");
    const auto r = PremiereXML::parse(d.str());
    const auto v1 = clipsOn(r, "V1"), v2 = clipsOn(r, "V2");
    expectTransition(v1[0].outgoing, TransitionKind::crossDissolve, 1.0);
    expectTransition(v1[1].incoming, TransitionKind::crossDissolve, 1.0);
    // Ending within two frames of the clip's end; the kind written is always a fade.
    expectTransition(v1[1].outgoing, TransitionKind::fade, 0.36, TransitionCurve::exponential);
    expectTransition(v2[0].incoming, TransitionKind::fade, 0.4);
    // Only the incoming side of a centred transition over a gap exists.
    EXPECT_EQ(v2[0].outgoing, ClipTransition{});
    EXPECT_EQ(v2[1].incoming.kind, TransitionKind::crossDissolve);
    // Runs through the transition's end; the later transition wins.
    expectTransition(v2[1].outgoing, TransitionKind::fade, 0.48);
    // A fifth of a frame is ignored, three tenths attached.
    const TimelineClip e = only(r, "V3");
    EXPECT_EQ(e.outgoing, ClipTransition{});
    EXPECT_NEAR(e.incoming.duration, 0.012, 1e-12);
}

TEST(PremiereXMLTransitions, EdgeIndexAgreesWithAScan) {
    using namespace premiere_xml;
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::vector<ParsedClip> clips(rng() % 12);
        for (ParsedClip& c : clips) {
            c.start = (rng() % 40) * 0.04;
            c.duration = (1 + rng() % 20) * 0.04;
        }
        const ClipEdgeIndex index(clips);
        const double f = 0.04, tol = 0.08;
        for (int q = 0; q < 20; ++q) {
            const double t = (rng() % 45) * 0.04 - 0.1, u = t + (rng() % 10) * 0.04;
            std::optional<std::size_t> ending, starting, latest, earliest;
            for (std::size_t i = 0; i < clips.size(); ++i) {
                const double s = clips[i].start, e = clips[i].end();
                if ((e >= t - tol && e <= t + tol) || (s < t && e >= t - f))
                    if (!ending || e > clips[*ending].end()) ending = i;
                if (std::fabs(s - t) <= tol)
                    if (!starting || std::fabs(s - t) < std::fabs(clips[*starting].start - t)) starting = i;
                if (e > t && e <= u && (!latest || e > clips[*latest].end())) latest = i;
                if (s >= t && s < u && (!earliest || s < clips[*earliest].start)) earliest = i;
            }
            EXPECT_EQ(index.endingNear(t, f), ending);
            EXPECT_EQ(index.startingNear(t, f), starting);
            EXPECT_EQ(index.latestEndIn(t, u), latest);
            EXPECT_EQ(index.earliestStartIn(t, u), earliest);
        }
    }
}

TEST(PremiereXMLEdges, MinusOneEdgesComeFromTheAdjacentTransition) {
    const std::string ticks = "<cutPointTicks>40642560000</cutPointTicks>"; // 4 frames at 25 fps
    Doc d;
    d.video = track(clip("A", "0", "-1", "0", "60") + transition("50", "60", "center") + clip("B", "-1", "100", "5", "55")) +
              track(clip("A", "0", "-1", "0", "60") + transition("50", "60", "center", "Cross Dissolve", ticks) +
                    clip("B", "-1", "100", "5", "55")) +
              track(clip("C", "0", "-1", "0", "60") + transition("50", "60", "end-black")) +
              track(clip("D", "-1", "100", "0", "10") + clip("E", "100", "-1", "0", "10"));
    const auto r = PremiereXML::parse(d.str());
    for (const auto& [name, cut] : {std::pair{"V1", 55.0}, std::pair{"V2", 54.0}}) {
        const auto v = clipsOn(r, name);
        ASSERT_EQ(v.size(), 2u) << name;
        EXPECT_DOUBLE_EQ(v[0].duration, cut / 25);
        EXPECT_DOUBLE_EQ(v[1].start, cut / 25);
        EXPECT_DOUBLE_EQ(v[1].duration, (100 - cut) / 25);
        EXPECT_DOUBLE_EQ(v[1].inPoint, (5 + cut - 50) / 25); // the source under the transition's first half
        EXPECT_EQ(v[0].outgoing.kind, TransitionKind::crossDissolve);
        EXPECT_EQ(v[1].incoming.kind, TransitionKind::crossDissolve);
    }
    EXPECT_DOUBLE_EQ(only(r, "V3").duration, 60.0 / 25);
    EXPECT_EQ(only(r, "V3").outgoing.kind, TransitionKind::fade);
    // Without a neighbouring transition a -1 head cannot be placed, while a -1 tail falls back to out - in.
    EXPECT_EQ(only(r, "V4").name, "E");
    EXPECT_DOUBLE_EQ(only(r, "V4").duration, 10.0 / 25);
}

TEST(PremiereXMLEffects, SpeedChange) {
    const auto remap = [](const std::string& params) {
        return only(videoClip(effect("Time Remapping", "x", params))).timeRemap;
    };
    TimeRemap r = remap(param("speed", "50") + param("reverse", "TRUE") + param("frameblending", "yes"));
    EXPECT_DOUBLE_EQ(r.speed, 0.5);
    EXPECT_TRUE(r.reversed);
    EXPECT_TRUE(r.frameBlending);
    EXPECT_DOUBLE_EQ(r.windowStart, 40);
    EXPECT_DOUBLE_EQ(r.windowEnd, 44);
    r = remap(param("graphdict", "", key("50", "75") + key("12.4", "10") + key("12.49", "99") + key("1e400", "1")));
    EXPECT_DOUBLE_EQ(r.speed, 1);
    ASSERT_EQ(r.keyframes.size(), 2u);
    EXPECT_DOUBLE_EQ(r.keyframes[0].when, 12.4 / 25);
    EXPECT_DOUBLE_EQ(r.keyframes[0].source, 10.0 / 25);
    EXPECT_DOUBLE_EQ(r.keyframes[1].when, 2);
}

TEST(PremiereXMLEffects, ColourGrade) {
    auto r = videoClip(effect("Lumetri Color", "", param("Temperature", "20") + param("Tint", "-0.3") +
                                                       param("Exposure", "100") + param("Contrast", "0") +
                                                       param("Saturation", "150") + param("Highlights", "-250") +
                                                       param("Look", "/luts/My Look.cube") + param("Mystery", "1")) +
                       effect("Fast Color Corrector", "", param("balanceangle", "90") + param("balancemagnitude", "50") +
                                                              param("temperature", "1") + param("Contrast", "1.2")) +
                       effect("Brightness & Contrast", "", param("x", "1")) + effect("", "Lumetri") +
                       effect("Lumetri", "", param("Input LUT", "file://localhost/l/A%20B.cube")));
    const ColorGrade g = only(r).grade;
    EXPECT_NEAR(g.temperature.value, 0, 1e-12);
    EXPECT_NEAR(g.tint.value, 0.5, 1e-12);
    EXPECT_DOUBLE_EQ(g.exposure.value, 2);
    EXPECT_DOUBLE_EQ(g.contrast.value, 1.2);
    EXPECT_DOUBLE_EQ(g.saturation.value, 2.5);
    EXPECT_DOUBLE_EQ(g.lumetri.highlights, -1);
    EXPECT_EQ(g.lumetri.lutPath, "/l/A B.cube");
    EXPECT_EQ(r.skippedEffects, (std::vector<std::string>{"Brightness & Contrast (no values in the XML)",
                                                          "Lumetri (no values in the XML)",
                                                          "Lumetri Color: Mystery"}));
    r = videoClip(effect("", "", param("x", "y")) + effect("Lumetri", "", param("Tint", "-0.3")) +
                  "<filter><effect><name>Fast Color</name><parameter><name>Gain</name></parameter></effect></filter>");
    EXPECT_DOUBLE_EQ(only(r).grade.tint.value, -0.3);
    EXPECT_EQ(r.skippedEffects, (std::vector<std::string>{"Fast Color (no values in the XML)"}));
}

TEST(PremiereXMLEffects, MotionReadsPremiereCentresAsFractions) {
    const auto expectMotion = [](const std::string& h, const std::string& v, const std::string& scale, ClipMotion want) {
        const ClipMotion m = only(videoClip(effect("Basic Motion", "basic",
                                                   param("scale", scale) + param("rotation", "-30") +
                                                       "<parameter><parameterid>center</parameterid><value><horiz>" +
                                                       h + "</horiz><vert>" + v + "</vert></value></parameter>")))
                                 .motion;
        EXPECT_DOUBLE_EQ(m.scale, want.scale);
        EXPECT_DOUBLE_EQ(m.rotation, -30);
        EXPECT_NEAR(m.positionX, want.positionX, 1e-9) << h << ", " << v;
        EXPECT_NEAR(m.positionY, want.positionY, 1e-9) << h << ", " << v;
    };
    // Pixel positions from the top-left corner, as other writers store them.
    expectMotion("960", "540", "100", {1, 0, 0, 0});
    expectMotion("1200", "300", "150", {1.5, 0, 240, 240});
    // Premiere's fractions of the frame from its centre; vert grows downwards.
    expectMotion("0.1", "-0.2", "100", {1, 0, 192, 216});
    expectMotion("-0.5", "0.25", "100", {1, 0, -960, -270});
}

TEST(PremiereXMLEffects, KeyframeTimes) {
    const auto opacity = [](const std::string& keys, const std::string& rate = "",
                            const std::string& out = "1100") {
        Doc d;
        d.video = track(clip("c", "100", "200", "1000", out,
                             rate + effect("Opacity", "opacity", param("opacity", "100", keys))));
        return only(PremiereXML::parse(d.str())).opacity;
    };
    // Sequence frames (outside the item's in…out of 1000…1100) count from the clip's start at frame 100.
    ScalarParam p = opacity(key("100", "0") + key("150", "250") + key("40", "50"));
    ASSERT_EQ(p.keyframes.size(), 3u);
    EXPECT_DOUBLE_EQ(p.keyframes[0].time, 0);
    EXPECT_DOUBLE_EQ(p.keyframes[1].time, 2);
    EXPECT_DOUBLE_EQ(p.keyframes[1].value, 1);
    EXPECT_DOUBLE_EQ(p.keyframes[2].time, 1.6);
    // Premiere's source frames, at the item's own rate (4 s of 50 fps source), including keys in the
    // handles past `out`.
    p = opacity(key("1025", "0") + key("1075", "100") + key("1250", "50"),
                "<rate><timebase>50</timebase></rate>", "1200");
    ASSERT_EQ(p.keyframes.size(), 3u);
    EXPECT_DOUBLE_EQ(p.keyframes[0].time, 0.5);
    EXPECT_DOUBLE_EQ(p.keyframes[1].time, 1.5);
    EXPECT_DOUBLE_EQ(p.keyframes[2].time, 5);
    EXPECT_DOUBLE_EQ(p.value, 0);

    Doc d;
    for (const char* v : {"1", "0.5", "0", "nan", "inf"})
        d.audio += track(clip("a", "0", "10", "0", "10", effect("Audio Levels", "", param("level", v))));
    const auto r = PremiereXML::parse(d.str());
    EXPECT_DOUBLE_EQ(only(r, "A1").volumeDB.value, 0);
    EXPECT_NEAR(only(r, "A2").volumeDB.value, -6.0206, 1e-4);
    EXPECT_DOUBLE_EQ(only(r, "A3").volumeDB.value, -60);
    EXPECT_DOUBLE_EQ(only(r, "A4").volumeDB.value, 0);
    EXPECT_DOUBLE_EQ(only(r, "A5").volumeDB.value, 0);
}

TEST(PremiereXMLUntrusted, DeepNestingLongChainsAndHugeNumbers) {
    Doc d;
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    deep += "x";
    for (int i = 0; i < 100000; ++i) deep += "</a>";
    std::string chain;
    for (int i = 0; i < 3000; ++i)
        chain += clip("c" + std::to_string(i), std::to_string(i * 10), std::to_string(i * 10 + 10), "0", "10",
                      "<link><linkclipref>c" + std::to_string(i + 1) + "</linkclipref></link>");
    d.video = "<track><enabled>" + deep + "</enabled>" + chain + "</track>" +
              track(clip("huge", "1e300", "1e301", "0", "10") + clip("big", "1e11", "", "0", "1e12"));
    // Unreadable numbers count as missing: "huge" falls back to start 0 and out - in.
    const auto r = PremiereXML::parse(d.str());
    const auto v1 = clipsOn(r, "V1");
    ASSERT_EQ(v1.size(), 3000u);
    EXPECT_TRUE(v1.front().linkGroup.has_value());
    EXPECT_EQ(v1.front().linkGroup, v1.back().linkGroup);
    const auto v2 = clipsOn(r, "V2");
    ASSERT_EQ(v2.size(), 2u);
    EXPECT_DOUBLE_EQ(v2[0].start, 0);
    EXPECT_DOUBLE_EQ(v2[0].duration, 0.4);
    EXPECT_DOUBLE_EQ(v2[1].duration, 4e10);
    EXPECT_NO_THROW(r.project.encode());

    std::string nested = "<xmeml><sequence><media><video><track>";
    for (int i = 0; i < 50000; ++i) nested += "<clipitem><sequence><media><video><track>";
    EXPECT_EQ(errorOf(nested).kind(), PremiereXMLError::Kind::malformed);
}

// Parses on several threads at once, one of them told to stop while it runs: that one ends with
// `stopped` or whole, the others are whole, and the same bytes parse whole again afterwards.
TEST(PremiereXMLUntrusted, AParseStoppedWhileOthersRunLeavesThemAndTheNextWhole) {
    const auto sequenceOf = [](int clips) {
        Doc d;
        std::string items;
        for (int i = 0; i < clips; ++i)
            items +=
                clip("c" + std::to_string(i), std::to_string(i * 10), std::to_string(i * 10 + 10), "0", "10");
        d.video = track(items);
        return d.str();
    };
    const std::string big = sequenceOf(20000), small = sequenceOf(300);
    const auto clipCount = [](const PremiereXMLResult& r) { return clipsOn(r, "V1").size(); };

    std::atomic<bool> done = false;
    std::atomic<int> stopped = 0, wrong = 0;
    std::vector<std::jthread> others;
    for (int t = 0; t < 2; ++t)
        others.emplace_back([&] {
            while (!done)
                if (clipCount(PremiereXML::parse(small)) != 300u) ++wrong;
        });
    // The first is told before it starts; the others as they start, wherever that finds them.
    for (int round = 0; round < 10; ++round) {
        std::stop_source stop;
        if (round == 0) stop.request_stop();
        std::atomic<bool> started = false;
        std::jthread stopping([&] {
            started.wait(false);
            stop.request_stop();
        });
        try {
            started = true;
            started.notify_one();
            if (clipCount(PremiereXML::parse(big, stop.get_token())) != 20000u) ++wrong;
        } catch (const PremiereXMLError& error) {
            EXPECT_EQ(error.kind(), PremiereXMLError::Kind::stopped);
            ++stopped;
        }
    }
    done = true;
    others.clear();
    EXPECT_GT(stopped, 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(clipCount(PremiereXML::parse(big)), 20000u);
}
