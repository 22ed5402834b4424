#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "Model/Project.hpp"

using namespace osterveil;
using json = nlohmann::json;

namespace {

Uuid id(int n) {
    std::array<std::uint8_t, 16> b{};
    b[15] = static_cast<std::uint8_t>(n);
    b[0] = 0xAB;
    return Uuid(b);
}

// A project with every optional key present and every list non-empty.
Project fullProject() {
    Project p;
    p.name = "Full";
    MediaItem m;
    m.id = id(1);
    m.name = "clip.mov";
    m.kind = MediaKind::video;
    m.path = "/media/clip.mov";
    m.relativePath = "clip.mov";
    m.bookmark = Bytes{0, 1, 2, 250, 255};
    m.duration = 12.5;
    m.width = 1920;
    m.height = 1080;
    m.nominalFrameRate = 23.976;
    m.codec = "ProRes 422";
    m.hasVideo = m.hasAudio = true;
    m.transform = StoredTransform{0, 1, -1, 0, 1080, 0};
    p.media.push_back(m);

    Sequence s = Sequence::makeNew();
    s.inPoint = 1.25;
    s.outPoint = 9.5;
    s.previewScale = 0.25;
    s.frameRate = FrameRate{30000, 1001};
    s.markers.push_back(SequenceMarker{id(2), 3.0, "Beat", 0.5});

    TimelineClip c;
    c.id = id(3);
    c.mediaID = m.id;
    c.name = "clip";
    c.start = 0.1;
    c.inPoint = 2.0 / 3.0;
    c.duration = 4;
    c.linkGroup = id(4);
    c.opacity.keyframes = {{0, 0, Interpolation::linear}, {1, 1, Interpolation::hold}};
    c.volumeDB.value = -6;
    c.grade.exposure.value = 0.3;
    c.grade.lumetri.lutPath = "/luts/look.cube";
    c.grade.lumetri.lutBookmark = Bytes{9, 8, 7};
    c.grade.lumetri.curves.red.points.push_back({0.5, 0.6});
    c.grade.lumetri.hsl.enabled = true;
    c.incoming = ClipTransition{TransitionKind::crossDissolve, 1.0, TransitionCurve::equalPower};
    c.outgoing = ClipTransition{TransitionKind::exponentialFade, 0.25, TransitionCurve::exponential};
    c.isEnabled = false;
    c.motion = ClipMotion{1.5, -10, 20, -30};
    c.timeRemap = TimeRemap{1, false, true, {{0, 0}, {2, 4}}, 0, 2};
    s.tracks.mut(0).clips.push_back(c);

    TimelineClip t;
    t.id = id(5);
    t.name = "Title";
    t.title = TitleStyle{};
    t.title->alignment = TitleAlignment::left;
    t.title->vertical = TitleVertical::bottom;
    t.start = 5;
    t.duration = 5;
    s.tracks.mut(1).clips.push_back(t);

    TimelineClip n;
    n.id = id(6);
    n.name = "Nest";
    n.nestID = id(7);
    n.duration = 3;
    s.tracks.mut(2).clips.push_back(n);
    auto& a1 = s.tracks.mut(3);
    a1.isSolo = true;
    a1.isTargeted = false;
    a1.isMuted = a1.isHidden = a1.isLocked = true;

    p.sequence = s;
    Sequence inner = Sequence::makeNew();
    inner.name = "Inner";
    p.nests.push_back(NestedSequence{id(7), "Nest 01", inner});
    return p;
}

std::string minimalFile() {
    return R"({"fileVersion": 1, "name": "P", "media": [],
      "sequence": {"id": "6ba7b810-9dad-11d1-80b4-00c04fd430c8", "name": "S", "width": 1280, "height": 720,
        "frameRate": {"numerator": 25, "denominator": 1},
        "tracks": [{"id": "6BA7B811-9DAD-11D1-80B4-00C04FD430C8", "role": "video", "name": "V1",
          "isMuted": false, "isHidden": false, "isLocked": false,
          "clips": [{"id": "6BA7B812-9DAD-11D1-80B4-00C04FD430C8", "name": "c", "start": 0, "inPoint": 0,
            "duration": 2, "opacity": {"value": 1, "keyframes": []}, "volumeDB": {"value": 0, "keyframes": []},
            "grade": {"exposure": {"value": 0, "keyframes": []}, "contrast": {"value": 1, "keyframes": []},
              "saturation": {"value": 1, "keyframes": []}, "temperature": {"value": 0, "keyframes": []},
              "tint": {"value": 0, "keyframes": []}, "liftR": {"value": 0, "keyframes": []},
              "liftG": {"value": 0, "keyframes": []}, "liftB": {"value": 0, "keyframes": []},
              "gammaR": {"value": 1, "keyframes": []}, "gammaG": {"value": 1, "keyframes": []},
              "gammaB": {"value": 1, "keyframes": []}, "gainR": {"value": 1, "keyframes": []},
              "gainG": {"value": 1, "keyframes": []}, "gainB": {"value": 1, "keyframes": []}},
            "incoming": {"kind": "none", "duration": 0.5}, "outgoing": {"kind": "fade", "duration": 1}}]}]}})";
}

// Decodes a file after `edit` changed its DOM.
Project decodeEdited(const std::function<void(json&)>& edit) {
    json doc = json::parse(minimalFile());
    edit(doc);
    return Project::decode(doc.dump());
}

json& firstClip(json& doc) { return doc["sequence"]["tracks"][0]["clips"][0]; }

} // namespace

TEST(ProjectFile, RoundTripsWithEveryOptionalPresentAndAbsent) {
    const Project full = fullProject();
    EXPECT_EQ(Project::decode(full.encode()), full);

    Project bare = full;
    bare.media.mut(0).relativePath.reset();
    bare.media.mut(0).bookmark.reset();
    bare.sequence.inPoint.reset();
    bare.sequence.outPoint.reset();
    bare.sequence.updateClip(id(3), [](TimelineClip& c) {
        c.mediaID.reset();
        c.linkGroup.reset();
        c.grade.lumetri.lutBookmark.reset();
    });
    bare.sequence.updateClip(id(5), [](TimelineClip& c) { c.title.reset(); });
    bare.sequence.updateClip(id(6), [](TimelineClip& c) { c.nestID.reset(); });
    const std::string text = bare.encode();
    EXPECT_EQ(Project::decode(text), bare);
    // Absent optionals are left out, never written as null.
    EXPECT_EQ(text.find("null"), std::string::npos);
    for (const char* key : {"relativePath", "bookmark", "inPoint\": 1", "outPoint", "mediaID", "linkGroup",
                            "lutBookmark", "\"title\"", "nestID"})
        EXPECT_EQ(text.find(key), std::string::npos) << key;

    Project empty;
    empty.sequence.frameRate = FrameRate{24, 1};
    EXPECT_EQ(Project::decode(empty.encode()), empty);
}

TEST(ProjectFile, WritesSortedPrettyJsonWithUpperCaseIdsAndBase64) {
    const std::string text = fullProject().encode();
    EXPECT_NE(text.find("\n  \"fileVersion\": 1,\n  \"media\""), std::string::npos);
    EXPECT_NE(text.find("\"AB000000-0000-0000-0000-000000000001\""), std::string::npos);
    EXPECT_NE(text.find("\"bookmark\": \"AAEC+v8=\""), std::string::npos);
    EXPECT_NE(text.find("\"kind\": \"crossDissolve\""), std::string::npos);
    // Keys sorted at every level: "a" comes before "b" inside the transform.
    EXPECT_LT(text.find("\"a\": 0"), text.find("\"b\": 1"));
}

TEST(ProjectFile, MinimalFileTakesDefaultsAndWritesThemBack) {
    const Project p = Project::decode(minimalFile());
    EXPECT_TRUE(p.nests.empty());
    EXPECT_EQ(p.sequence.previewScale, 0.5);
    EXPECT_TRUE(p.sequence.markers.empty());
    EXPECT_FALSE(p.sequence.inPoint.has_value());
    const Track& t = p.sequence.tracks[0];
    EXPECT_FALSE(t.isSolo);
    EXPECT_TRUE(t.isTargeted);
    const TimelineClip& c = t.clips[0];
    EXPECT_TRUE(c.isEnabled);
    EXPECT_EQ(c.motion, ClipMotion{});
    EXPECT_EQ(c.timeRemap, TimeRemap::identity);
    EXPECT_EQ(c.grade.lumetri, LumetriPanel{});
    EXPECT_EQ(c.incoming.curve, TransitionCurve::linear);
    EXPECT_EQ(c.outgoing.kind, TransitionKind::fade);
    EXPECT_EQ(p.sequence.id.toString(), "6BA7B810-9DAD-11D1-80B4-00C04FD430C8");

    // Re-encoding adds exactly the defaulted keys.
    const json before = json::parse(minimalFile());
    const json after = json::parse(p.encode());
    const json diff = json::diff(before, after);
    std::set<std::string> added;
    for (const auto& op : diff) {
        if (op["path"] == "/sequence/id") { // read in lower case, written in upper case
            EXPECT_EQ(op["value"], "6BA7B810-9DAD-11D1-80B4-00C04FD430C8");
            continue;
        }
        ASSERT_EQ(op["op"], "add") << op.dump();
        added.insert(op["path"].get<std::string>());
    }
    const std::string clip = "/sequence/tracks/0/clips/0/";
    EXPECT_EQ(added, (std::set<std::string>{"/nests", "/sequence/previewScale", "/sequence/markers",
                                            "/sequence/tracks/0/isSolo", "/sequence/tracks/0/isTargeted",
                                            clip + "isEnabled", clip + "motion", clip + "timeRemap",
                                            clip + "grade/lumetri", clip + "incoming/curve",
                                            clip + "outgoing/curve"}));
}

TEST(ProjectFile, NullOptionalsReadAsAbsent) {
    const Project p = decodeEdited([](json& d) {
        d["sequence"]["inPoint"] = nullptr;
        d["nests"] = nullptr;
        d["sequence"]["tracks"][0]["isTargeted"] = nullptr;
        firstClip(d)["mediaID"] = nullptr;
        firstClip(d)["grade"]["lumetri"] = nullptr;
    });
    EXPECT_FALSE(p.sequence.inPoint.has_value());
    EXPECT_TRUE(p.sequence.tracks[0].isTargeted);
    EXPECT_FALSE(p.sequence.tracks[0].clips[0].mediaID.has_value());
    EXPECT_EQ(p.encode().find("inPoint\": null"), std::string::npos);
    // A required key that is null is an error, not a default.
    EXPECT_THROW(decodeEdited([](json& d) { firstClip(d)["name"] = nullptr; }), DecodingError);
}

TEST(ProjectFile, VersionIsCheckedOnlyAfterAFullDecode) {
    try {
        decodeEdited([](json& d) { d["fileVersion"] = 2; });
        FAIL() << "newer file accepted";
    } catch (const ProjectError& e) {
        EXPECT_EQ(e.kind(), ProjectError::Kind::newerFile);
        EXPECT_EQ(e.fileVersion(), 2);
        EXPECT_EQ(e.errorDescription(), "This project was saved by a newer Osterveil (file version 2).");
    }
    for (int v : {0, -3}) {
        try {
            decodeEdited([v](json& d) { d["fileVersion"] = v; });
            FAIL() << "version " << v << " accepted";
        } catch (const ProjectError& e) {
            EXPECT_EQ(e.kind(), ProjectError::Kind::corrupt);
            EXPECT_EQ(e.errorDescription(), "This file is not an Osterveil project.");
        }
    }
    EXPECT_THROW(decodeEdited([](json& d) { d.erase("fileVersion"); }), DecodingError);
    // A newer file that no longer decodes reports the decoding failure.
    EXPECT_THROW(decodeEdited([](json& d) {
                     d["fileVersion"] = 7;
                     d["sequence"].erase("width");
                 }),
                 DecodingError);
}

TEST(ProjectFile, RejectsWrongTypesAndValues) {
    const std::vector<std::pair<const char*, std::function<void(json&)>>> cases = {
        {"role", [](json& d) { d["sequence"]["tracks"][0]["role"] = "Video"; }},
        {"kind", [](json& d) {
             d["media"] = json::array({json::parse(R"({"id":"6BA7B813-9DAD-11D1-80B4-00C04FD430C8","name":"m",
                 "kind":"movie","path":"/m","duration":1,"width":1,"height":1,"nominalFrameRate":24,"codec":"x",
                 "hasVideo":true,"hasAudio":false,"transform":{"a":1,"b":0,"c":0,"d":1,"tx":0,"ty":0}})")});
         }},
        {"curve", [](json& d) { firstClip(d)["incoming"]["curve"] = "sCurve"; }},
        {"uuid", [](json& d) { firstClip(d)["id"] = "6BA7B812-9DAD-11D1-80B4-00C04FD430C"; }},
        {"braced uuid", [](json& d) { firstClip(d)["id"] = "{6BA7B812-9DAD-11D1-80B4-00C04FD430C8}"; }},
        {"fractional width", [](json& d) { d["sequence"]["width"] = 1920.5; }},
        {"width as string", [](json& d) { d["sequence"]["width"] = "1920"; }},
        {"numerator beyond 32 bits", [](json& d) { d["sequence"]["frameRate"]["numerator"] = 4294967296LL; }},
        {"huge width", [](json& d) { d["sequence"]["width"] = 1e300; }},
        {"bool as number", [](json& d) { d["sequence"]["tracks"][0]["isMuted"] = 0; }},
        {"number as bool", [](json& d) { firstClip(d)["start"] = false; }},
        {"missing tint", [](json& d) { firstClip(d)["grade"].erase("tint"); }},
        {"clips not an array", [](json& d) { d["sequence"]["tracks"][0]["clips"] = json::object(); }},
        {"bad base64", [](json& d) {
             d["media"] = json::array({json::parse(R"({"id":"6BA7B813-9DAD-11D1-80B4-00C04FD430C8","name":"m",
                 "kind":"video","path":"/m","bookmark":"AA=A","duration":1,"width":1,"height":1,
                 "nominalFrameRate":24,"codec":"x","hasVideo":true,"hasAudio":false,
                 "transform":{"a":1,"b":0,"c":0,"d":1,"tx":0,"ty":0}})")});
         }},
        {"panel without vignetteFeather", [](json& d) {
             json panel = json::parse(Project::decode(minimalFile()).encode())["sequence"]["tracks"][0]["clips"][0]
                                                                          ["grade"]["lumetri"];
             panel.erase("vignetteFeather");
             firstClip(d)["grade"]["lumetri"] = panel;
         }},
        {"top level array", [](json& d) { d = json::array({d}); }},
    };
    for (const auto& [name, edit] : cases) EXPECT_THROW(decodeEdited(edit), DecodingError) << name;

    EXPECT_THROW(Project::decode(""), DecodingError);
    EXPECT_THROW(Project::decode("{\"fileVersion\": 1,"), DecodingError);
    EXPECT_THROW(Project::decode(minimalFile() + " {}"), DecodingError);
    EXPECT_THROW(Project::decode("{\"fileVersion\": NaN}"), DecodingError);
}

TEST(ProjectFile, RejectsFrameRatesWithoutAFrameGrid) {
    for (auto [num, den] : {std::pair{0, 1}, {24, 0}, {0, 0}, {-24, 1}, {24, -1}}) {
        EXPECT_THROW(decodeEdited([&](json& d) {
                         d["sequence"]["frameRate"] = {{"numerator", num}, {"denominator", den}};
                     }),
                     DecodingError)
            << num << "/" << den;
    }
}

TEST(ProjectFile, AcceptsWholeNumbersInAnyFormAndIgnoresUnknownKeys) {
    const Project p = decodeEdited([](json& d) {
        d["sequence"]["width"] = 1280.0;
        d["sequence"]["markers"] = json::array();
        d["whatever"] = {{"deep", json::array({1, 2, {{"x", nullptr}}})}};
        firstClip(d)["futureField"] = "kept nowhere";
        firstClip(d)["grade"]["exposure"]["extra"] = 1;
    });
    EXPECT_EQ(p.sequence.width, 1280);
    EXPECT_EQ(p.encode().find("futureField"), std::string::npos);

    // Key order and whitespace do not matter.
    json doc = json::parse(minimalFile());
    EXPECT_EQ(Project::decode(doc.dump()), Project::decode(minimalFile()));
    EXPECT_EQ(Project::decode(doc.dump(8)), Project::decode(minimalFile()));
}

TEST(ProjectFile, NonFiniteNumbersCannotBeSaved) {
    const double bad[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
    for (double v : bad) {
        Project p = fullProject();
        p.sequence.updateClip(id(3), [v](TimelineClip& c) { c.grade.lumetri.hsl.hueShift = v; });
        EXPECT_THROW(p.encode(), EncodingError);
        Project q = fullProject();
        q.sequence.markers.mut(0).time = v;
        EXPECT_THROW(q.encode(), EncodingError);
        Project r = fullProject();
        r.sequence.outPoint = v;
        EXPECT_THROW(r.encode(), EncodingError);
    }
}

TEST(ProjectFile, TextThatIsNotUtf8FailsToSaveInsteadOfBeingMangled) {
    Project p = fullProject();
    p.media.mut(0).path = "/media/caf\xE9.mov";
    EXPECT_THROW(p.encode(), EncodingError);
}

TEST(ProjectFile, KeepsExactDoublesAndFileVersion) {
    Project p = fullProject();
    p.sequence.updateClip(id(3), [](TimelineClip& c) {
        c.start = 0.1 + 0.2;
        c.duration = 1e-300;
        c.inPoint = -0.0;
    });
    const Project back = Project::decode(p.encode());
    const TimelineClip c = *back.sequence.clip(id(3));
    EXPECT_EQ(c.start, 0.1 + 0.2);
    EXPECT_EQ(c.duration, 1e-300);
    EXPECT_EQ(back.fileVersion, 1);
}

// Clips and media items are written and read each on its own, on several threads; the file is the
// one the whole document would make, byte for byte, and reads back equal.
TEST(ProjectFile, ElementWiseWritingIsTheWholeDocumentsPrettyPrint) {
    Project p = fullProject();
    // Texts that look like the writer's own markers, and names in other scripts.
    p.name = R"(Cut "clips": "#0" and "media": "#media")";
    for (int i = 0; i < 300; ++i) {
        TimelineClip c = p.sequence.tracks[0].clips[0];
        c.id = id(100 + i % 100);
        c.name = i % 2 ? "\"clips\": \"#1\"" : "Ünïcödé 片段 " + std::to_string(i);
        c.start = 10 + i;
        p.sequence.tracks.mut(static_cast<std::size_t>(i % 3)).clips.push_back(c);
        MediaItem m = p.media[0];
        m.name = "\"media\": \"#media\"";
        p.media.push_back(m);
    }
    Sequence inner = p.sequence;
    inner.name = "Inner 2";
    p.nests.push_back(NestedSequence{id(8), "Nest 02", inner});
    p.nests.push_back(NestedSequence{id(9), "Empty", Sequence{}});

    const std::string text = p.encode();
    EXPECT_EQ(text, json::parse(text).dump(2) + "\n");
    EXPECT_EQ(Project::decode(text), p);
    // A document read as one tree (another writer's spacing) is the same project.
    EXPECT_EQ(Project::decode(json::parse(text).dump()), p);

    double reported = 0;
    std::mutex lock;
    Project::decode(text, [&](double fraction) {
        std::lock_guard guard(lock);
        reported = std::max(reported, fraction);
    });
    EXPECT_DOUBLE_EQ(reported, 1.0);
}

// Files read and written on several threads at once, one read failing far into its clips: each gets
// its own whole result, and the failure stays its own.
TEST(ProjectFile, ReadsAndWritesAtOnceEachGetTheirOwnResult) {
    Project p = fullProject();
    for (int i = 0; i < 3000; ++i) {
        TimelineClip c = p.sequence.tracks[0].clips[0];
        c.id = id(i % 250);
        c.name = "Shot " + std::to_string(i);
        c.start = 10 + i;
        p.sequence.tracks.mut(static_cast<std::size_t>(i % 3)).clips.push_back(c);
    }
    const std::string text = p.encode();
    std::string broken = text;
    const std::string name = "\"Shot 2500\"";
    broken.replace(broken.find(name), name.size(), "2500");

    std::atomic<int> whole = 0, refused = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                if (t == 0) {
                    try {
                        Project::decode(broken);
                    } catch (const DecodingError&) {
                        ++refused;
                    }
                } else if (t == 1) {
                    whole += p.encode() == text;
                } else {
                    whole += Project::decode(text) == p;
                }
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(refused, 3);
    EXPECT_EQ(whole, 9);
}

// Texts the scan does not take apart are read as one document, with that document's rules: the last
// of two equal keys counts, and a key written with escapes is the same key.
TEST(ProjectFile, DuplicateAndEscapedKeysReadAsTheWholeDocumentReadsThem) {
    const Project sample = Project::decode(minimalFile());
    std::string doubled = minimalFile();
    const std::string clipsKey = "\"clips\": [";
    doubled.insert(doubled.find(clipsKey), "\"clips\": [], ");
    EXPECT_EQ(Project::decode(doubled), sample);

    std::string emptiedLast = minimalFile();
    emptiedLast.insert(emptiedLast.rfind("]}]}}") + 1, ", \"clips\": []");
    EXPECT_TRUE(Project::decode(emptiedLast).sequence.tracks[0].clips.empty());

    std::string escaped = minimalFile();
    escaped.replace(escaped.find(clipsKey), clipsKey.size(), "\"cl\\u0069ps\": [");
    EXPECT_EQ(Project::decode(escaped), sample);
}
