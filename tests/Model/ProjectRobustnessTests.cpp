// Damaged and hostile project files: the reader may refuse them only with its own two errors,
// never crash or leak another exception, and whatever it accepts must save and read back as itself.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <typeinfo>
#include <vector>

#include <nlohmann/json.hpp>

#include "Model/Project.hpp"

using namespace osterveil;
using json = nlohmann::json;

namespace {

ScalarParam animated(double from, double to) {
    return ScalarParam{from, {{0, from, Interpolation::linear}, {1.5, to, Interpolation::hold}}};
}

// Small, but every record and optional key of the file is present at least once.
Project sampleProject() {
    const MediaItem video{Uuid::make(), "a.mov", MediaKind::video, "/footage/a.mov", "footage/a.mov",
                          Bytes{0, 1, 2, 0x7F, 0x80, 0xFF}, 12.5, 1920, 1080, 23.976, "H.264", true, true,
                          StoredTransform{0, 1, -1, 0, 1080, 0}};
    const MediaItem audio{.id = Uuid::make(), .name = "b.wav", .kind = MediaKind::audio, .path = "/footage/b.wav",
                          .duration = 30, .hasAudio = true};

    ColorGrade graded;
    graded.exposure = animated(0, 0.7);
    graded.lumetri.lutPath = "/luts/warm.cube";
    graded.lumetri.lutBookmark = Bytes{9, 8, 7};
    graded.lumetri.curves.master.points = {{0, 0}, {0.5, 0.6}, {1, 1}};
    graded.lumetri.hsl.enabled = true;
    const Uuid link = Uuid::make();
    const TimelineClip picture{.id = Uuid::make(), .mediaID = video.id, .name = "a.mov", .inPoint = 1.25,
                               .duration = 8, .linkGroup = link, .opacity = animated(1, 0.25), .grade = graded,
                               .incoming = {TransitionKind::crossDissolve, 1, TransitionCurve::equalPower},
                               .motion = {1.2, 15, -40, 22},
                               .timeRemap = {1, false, true, {{0, 1.25}, {8, 5}}, 0, 8}};
    const TimelineClip sound{.id = Uuid::make(), .mediaID = audio.id, .name = "b.wav", .duration = 8,
                             .linkGroup = link, .volumeDB = animated(0, -6), .isEnabled = false};
    const TimelineClip title{.id = Uuid::make(), .name = "Opening", .start = 8, .duration = 3,
                             .title = TitleStyle{"Opening", "Helvetica Neue", 72, "#FFFFFF", TitleAlignment::left,
                                                 TitleVertical::bottom}};
    TimelineClip inner = sound;
    inner.id = Uuid::make();
    inner.linkGroup.reset();
    const NestedSequence nest{Uuid::make(), "Nest 1",
                              Sequence{.id = Uuid::make(), .name = "Nest 1",
                                       .tracks = {Track{Uuid::make(), TrackRole::audio, "A1", {inner}}}}};
    const TimelineClip nestClip{.id = Uuid::make(), .name = "Nest 1", .start = 11, .duration = 4,
                                .nestID = nest.id};

    Project p;
    p.name = "Robust";
    p.media = {video, audio};
    p.nests = {nest};
    p.sequence = Sequence{
        .id = Uuid::make(), .name = "Main", .frameRate = {30000, 1001},
        .tracks = {Track{Uuid::make(), TrackRole::video, "V1", {picture, title, nestClip}},
                   Track{.id = Uuid::make(), .role = TrackRole::audio, .name = "A1", .clips = {sound}, .isSolo = true}},
        .inPoint = 1.5, .outPoint = 9.25, .previewScale = 0.25,
        .markers = {SequenceMarker{Uuid::make(), 2, "Beat", 0.5}}};
    return p;
}

::testing::AssertionResult readsSafely(std::string_view bytes, int* accepted = nullptr) {
    Project p;
    try {
        p = Project::decode(bytes);
    } catch (const DecodingError&) {
        return ::testing::AssertionSuccess();
    } catch (const ProjectError&) {
        return ::testing::AssertionSuccess();
    } catch (const std::exception& e) {
        return ::testing::AssertionFailure() << "leaked " << typeid(e).name() << ": " << e.what();
    }
    try {
        if (Project::decode(p.encode()) != p) return ::testing::AssertionFailure() << "does not read back equal";
        if (accepted) ++*accepted;
    } catch (const std::exception& e) {
        return ::testing::AssertionFailure() << "accepted, but then fails to save and reopen: " << e.what();
    }
    return ::testing::AssertionSuccess();
}

// End of the JSON value that starts at `i`: a string, a bracketed value, or a bare token.
std::size_t valueEnd(const std::string& s, std::size_t i) {
    int depth = 0;
    bool inString = false;
    for (std::size_t j = i; j < s.size(); ++j) {
        const char c = s[j];
        if (inString) {
            if (c == '\\') ++j;
            else if (c == '"') {
                inString = false;
                if (depth == 0) return j + 1;
            }
        } else if (c == '"') inString = true;
        else if (c == '[' || c == '{') ++depth;
        else if (c == ']' || c == '}') {
            if (depth == 0) return j;
            if (--depth == 0) return j + 1;
        } else if (depth == 0 && c == ',') return j;
    }
    return s.size();
}

std::string mutated(std::string s, std::mt19937& rng) {
    static const std::vector<std::string> values{"\"x\"", "true", "null", "[]", "{}", "0", "-1", "1.5", "1e400",
                                                 "\"\"", "9223372036854775808", "-0", "[[]]", "{\"a\":1}"};
    static const std::string syntax = "{}[]:,\"\\-+.0123456789eEtrufalsn \n";
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    const std::size_t edits = 1 + pick(3);
    for (std::size_t e = 0; e < edits && !s.empty(); ++e) {
        const std::size_t at = pick(s.size());
        switch (pick(10)) {
        case 0: s[at] = static_cast<char>(s[at] ^ (1 << pick(8))); break;
        case 1: s[at] = static_cast<char>(pick(256)); break;
        case 2: s[at] = syntax[pick(syntax.size())]; break;
        case 3: s.insert(at, 1, syntax[pick(syntax.size())]); break;
        case 4: s.erase(at, 1); break;
        case 5: s.erase(at, 1 + pick(64)); break;
        case 6: s.insert(pick(s.size()), s.substr(at, 1 + pick(64))); break;
        default: {
            // Swap a member value or array element for one of another type or out of range.
            std::size_t v = s.find_first_of(":[,", at);
            if (v == std::string::npos) break;
            ++v;
            s.replace(v, valueEnd(s, v) - v, values[pick(values.size())]);
        }
        }
    }
    return s;
}

json* firstMember(json& j, const std::string& key) {
    if (j.is_object()) {
        for (auto& [k, v] : j.items()) {
            if (k == key) return &v;
            if (json* found = firstMember(v, key)) return found;
        }
    } else if (j.is_array()) {
        for (auto& v : j)
            if (json* found = firstMember(v, key)) return found;
    }
    return nullptr;
}

// Whitespace gives the reader no states that the tokens do not, and the sweeps below cost the
// square of the length, so they run over the file without its indentation.
std::string compactFile(const Project& p) { return json::parse(p.encode()).dump(); }

} // namespace

TEST(ProjectRobustness, EveryTruncationIsRefusedOrReadsCleanly) {
    const Project sample = sampleProject();
    const std::string text = compactFile(sample);
    ASSERT_EQ(Project::decode(text), sample);
    int failures = 0;
    for (std::size_t n = 0; n < text.size() && failures < 5; ++n) {
        const auto result = readsSafely(std::string_view(text).substr(0, n));
        if (!result) {
            ++failures;
            ADD_FAILURE() << "first " << n << " bytes: " << result.message();
        }
    }
}

TEST(ProjectRobustness, RandomMutationsAreRefusedOrReadCleanly) {
    const std::string text = compactFile(sampleProject());
    std::mt19937 rng(20240601);
    int failures = 0;
    int accepted = 0;
    for (int i = 0; i < 4000 && failures < 5; ++i) {
        const std::string variant = mutated(text, rng);
        const auto result = readsSafely(variant, &accepted);
        if (!result) {
            ++failures;
            ADD_FAILURE() << "variant " << i << ": " << result.message() << "\n" << variant;
        }
    }
    // Mutations that all die in the JSON parser would leave the record readers untried.
    EXPECT_GT(accepted, 50);
}

TEST(ProjectRobustness, DeeplyNestedUnknownValuesDoNotExhaustTheStack) {
    const Project sample = sampleProject();
    const std::string text = sample.encode();
    const std::size_t depth = 100000;
    const std::string arrays = std::string(depth, '[') + std::string(depth, ']');
    std::string objects; // {"k":{"k":…1…}}
    for (std::size_t i = 0; i < depth; ++i) objects += "{\"k\":";
    objects += "1" + std::string(depth, '}');

    for (const std::string& deep : {arrays, objects}) {
        const std::string doc = "{\"unknown\":" + deep + "," + text.substr(text.find('{') + 1);
        try {
            EXPECT_EQ(Project::decode(doc), sample);
        } catch (const DecodingError&) {
        }
    }
    EXPECT_THROW(Project::decode(arrays), DecodingError);
    EXPECT_THROW(Project::decode(std::string(depth, '[')), DecodingError);
}

TEST(ProjectRobustness, ValuesOfTheWrongTypeAreDecodingErrors) {
    const json doc = json::parse(sampleProject().encode());
    auto expectRefused = [&](const std::string& key, const json& value) {
        json variant = doc;
        json* member = firstMember(variant, key);
        ASSERT_NE(member, nullptr) << key;
        *member = value;
        EXPECT_THROW(Project::decode(variant.dump()), DecodingError) << key << " = " << value.dump();
    };

    const std::vector<std::string> required{
        "fileVersion", "name", "media", "sequence", "id", "kind", "path", "duration", "width", "height",
        "nominalFrameRate", "codec", "hasVideo", "hasAudio", "transform", "ty", "frameRate", "numerator",
        "denominator", "tracks", "role", "clips", "isMuted", "isLocked", "start", "opacity", "volumeDB", "grade",
        "keyframes", "interpolation", "value", "incoming", "exposure", "bypass", "curves", "points", "x", "hsl",
        "text", "fontSize", "alignment", "vertical", "scale", "speed", "reversed", "when", "windowEnd", "time"};
    // Absent or null is fine for these, but a value present must have the right type.
    const std::vector<std::string> optional{"nests", "inPoint", "previewScale", "markers", "isSolo",
                                            "isTargeted", "mediaID", "linkGroup", "title", "nestID", "isEnabled",
                                            "motion", "timeRemap", "relativePath", "bookmark", "lutBookmark",
                                            "curve", "lumetri"};
    const std::vector<json> kinds{"x", 7, true, json::array(), json::object()};
    auto kindOf = [](const json& j) { return j.is_number() ? json::value_t::number_float : j.type(); };

    for (const auto* keys : {&required, &optional})
        for (const auto& key : *keys) {
            json copy = doc;
            const json* actual = firstMember(copy, key);
            ASSERT_NE(actual, nullptr) << key;
            for (const auto& wrong : kinds)
                if (kindOf(wrong) != kindOf(*actual)) expectRefused(key, wrong);
        }
    for (const auto& key : required) expectRefused(key, nullptr);

    // Texts with a fixed form, and whole numbers that must fit their field.
    for (const char* key : {"id", "mediaID", "role", "kind", "interpolation", "bookmark", "alignment", "curve"})
        expectRefused(key, "x");
    for (const char* key : {"fileVersion", "width", "height", "numerator", "denominator"})
        for (const json& bad : {json(2.5), json(1e19), json(-1e19)}) expectRefused(key, bad);
    expectRefused("numerator", 2147483648LL);
    expectRefused("denominator", -2147483649LL);
}
