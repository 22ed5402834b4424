// The project file: strict typed reading and writing of every record over nlohmann-json.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <pthread.h>
#include <sched.h>

#include "Project.hpp"

namespace osterveil {

namespace {

using json = nlohmann::json;

// Where a value sits in the document, rendered only when something fails.
struct Path {
    const Path* parent = nullptr;
    const char* key = nullptr; // member name, or null for an array index
    std::size_t index = 0;

    Path operator/(const char* k) const { return Path{this, k, 0}; }
    Path operator[](std::size_t i) const { return Path{this, nullptr, i}; }

    std::string str() const {
        std::string text = render();
        return text.empty() ? "the top level" : text;
    }

private:
    std::string render() const {
        if (!parent) return key ? key : "";
        std::string head = parent->render();
        if (key) return head.empty() ? std::string(key) : head + "." + key;
        return head + "[" + std::to_string(index) + "]";
    }
};

[[noreturn]] void fail(const Path& at, const std::string& what) { throw DecodingError(at.str() + ": " + what); }

// ---------------------------------------------------------------------------------------------
// Reading

const json& required(const json& obj, const char* key, const Path& at) {
    auto it = obj.find(key);
    if (it == obj.end()) fail(at, std::string("missing required key \"") + key + "\"");
    if (it->is_null()) fail(at / key, "required value is null");
    return *it;
}

const json* optionalMember(const json& obj, const char* key) {
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return nullptr;
    return &*it;
}

const json& object(const json& j, const Path& at) {
    if (!j.is_object()) fail(at, "expected an object");
    return j;
}

double toDouble(const json& j, const Path& at) {
    switch (j.type()) {
    case json::value_t::number_float: return j.get<double>();
    case json::value_t::number_integer: return static_cast<double>(j.get<std::int64_t>());
    case json::value_t::number_unsigned: return static_cast<double>(j.get<std::uint64_t>());
    default: fail(at, "expected a number");
    }
}

std::int64_t toInt64(const json& j, const Path& at) {
    switch (j.type()) {
    case json::value_t::number_integer: return j.get<std::int64_t>();
    case json::value_t::number_unsigned: {
        auto v = j.get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            fail(at, "integer out of range");
        return static_cast<std::int64_t>(v);
    }
    case json::value_t::number_float: {
        // A whole number written with a fraction part or exponent ("24.0", "1e3") is still whole.
        const double d = j.get<double>();
        if (!(d >= -0x1p63 && d < 0x1p63)) fail(at, "integer out of range");
        if (std::trunc(d) != d) fail(at, "expected a whole number");
        return static_cast<std::int64_t>(d);
    }
    default: fail(at, "expected an integer");
    }
}

std::int32_t toInt32(const json& j, const Path& at) {
    const std::int64_t v = toInt64(j, at);
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
        fail(at, "integer out of the 32-bit range");
    return static_cast<std::int32_t>(v);
}

bool toBool(const json& j, const Path& at) {
    if (!j.is_boolean()) fail(at, "expected true or false");
    return j.get<bool>();
}

std::string toString(const json& j, const Path& at) {
    if (!j.is_string()) fail(at, "expected a string");
    return j.get<std::string>();
}

Uuid toUuid(const json& j, const Path& at) {
    if (!j.is_string()) fail(at, "expected a UUID string");
    auto u = Uuid::parse(j.get_ref<const std::string&>());
    if (!u) fail(at, "not a UUID");
    return *u;
}

Bytes toBytes(const json& j, const Path& at) {
    if (!j.is_string()) fail(at, "expected a Base64 string");
    auto b = base64Decode(j.get_ref<const std::string&>());
    if (!b) fail(at, "not Base64");
    return std::move(*b);
}

template <class E> E toEnum(const json& j, const Path& at) {
    if (!j.is_string()) fail(at, "expected a string");
    auto e = enumFromName<E>(j.get_ref<const std::string&>());
    if (!e) fail(at, "unknown value \"" + j.get<std::string>() + "\"");
    return *e;
}

template <class Fn> auto eachElement(const json& j, const Path& at, Fn fn) {
    if (!j.is_array()) fail(at, "expected an array");
    using T = decltype(fn(j, at));
    std::vector<T> out;
    out.reserve(j.size());
    for (std::size_t i = 0; i < j.size(); ++i) out.push_back(fn(j[i], at[i]));
    return out;
}

// Field readers: `r.num("start")` reads a required key of the object at `at`.
struct Obj {
    const json& j;
    const Path& at;

    Obj(const json& value, const Path& path) : j(object(value, path)), at(path) {}

    const json& req(const char* k) const { return required(j, k, at); }
    double num(const char* k) const { return toDouble(req(k), at / k); }
    std::int64_t int64(const char* k) const { return toInt64(req(k), at / k); }
    std::int32_t int32(const char* k) const { return toInt32(req(k), at / k); }
    bool flag(const char* k) const { return toBool(req(k), at / k); }
    std::string str(const char* k) const { return toString(req(k), at / k); }
    Uuid uuid(const char* k) const { return toUuid(req(k), at / k); }
    template <class E> E enumeration(const char* k) const { return toEnum<E>(req(k), at / k); }
    template <class Fn> auto list(const char* k, Fn fn) const { return eachElement(req(k), at / k, fn); }

    template <class Fn> auto opt(const char* k, Fn fn) const -> std::optional<decltype(fn(j, at))> {
        const json* v = optionalMember(j, k);
        if (!v) return std::nullopt;
        return fn(*v, at / k);
    }
};

FrameRate readFrameRate(const json& j, const Path& at) {
    Obj o(j, at);
    return FrameRate{o.int32("numerator"), o.int32("denominator")};
}

ScalarKeyframe readScalarKeyframe(const json& j, const Path& at) {
    Obj o(j, at);
    return ScalarKeyframe{o.num("time"), o.num("value"), o.enumeration<Interpolation>("interpolation")};
}

ScalarParam readScalar(const json& j, const Path& at) {
    Obj o(j, at);
    return ScalarParam{o.num("value"), o.list("keyframes", readScalarKeyframe)};
}

CurvePoint readCurvePoint(const json& j, const Path& at) {
    Obj o(j, at);
    return CurvePoint{o.num("x"), o.num("y")};
}

ChannelCurve readCurve(const json& j, const Path& at) {
    Obj o(j, at);
    return ChannelCurve{o.list("points", readCurvePoint)};
}

ColorWheel readWheel(const json& j, const Path& at) {
    Obj o(j, at);
    return ColorWheel{o.num("x"), o.num("y")};
}

LumetriPanel readLumetri(const json& j, const Path& at) {
    Obj o(j, at);
    LumetriPanel p;
    p.bypass = o.flag("bypass");
    p.highlights = o.num("highlights");
    p.shadows = o.num("shadows");
    p.whites = o.num("whites");
    p.blacks = o.num("blacks");
    p.vibrance = o.num("vibrance");
    p.lutPath = o.str("lutPath");
    p.lutBookmark = o.opt("lutBookmark", toBytes);
    p.lutIntensity = o.num("lutIntensity");
    p.fadedFilm = o.num("fadedFilm");
    p.sharpen = o.num("sharpen");
    {
        const Path cp = at / "curves";
        Obj c(o.req("curves"), cp);
        p.curves = CurveSet{readCurve(c.req("master"), cp / "master"), readCurve(c.req("red"), cp / "red"),
                            readCurve(c.req("green"), cp / "green"), readCurve(c.req("blue"), cp / "blue")};
    }
    p.shadowWheel = readWheel(o.req("shadowWheel"), at / "shadowWheel");
    p.midtoneWheel = readWheel(o.req("midtoneWheel"), at / "midtoneWheel");
    p.highlightWheel = readWheel(o.req("highlightWheel"), at / "highlightWheel");
    {
        const Path hp = at / "hsl";
        Obj h(o.req("hsl"), hp);
        p.hsl = HSLSecondary{h.flag("enabled"), h.num("hue"),        h.num("range"),
                             h.num("hueShift"), h.num("saturation"), h.num("luminance")};
    }
    p.vignette = o.num("vignette");
    p.vignetteRadius = o.num("vignetteRadius");
    p.vignetteFeather = o.num("vignetteFeather");
    return p;
}

ColorGrade readGrade(const json& j, const Path& at) {
    Obj o(j, at);
    auto s = [&](const char* k) { return readScalar(o.req(k), at / k); };
    ColorGrade g;
    g.exposure = s("exposure");
    g.contrast = s("contrast");
    g.saturation = s("saturation");
    g.temperature = s("temperature");
    g.tint = s("tint");
    g.liftR = s("liftR");
    g.liftG = s("liftG");
    g.liftB = s("liftB");
    g.gammaR = s("gammaR");
    g.gammaG = s("gammaG");
    g.gammaB = s("gammaB");
    g.gainR = s("gainR");
    g.gainG = s("gainG");
    g.gainB = s("gainB");
    if (auto l = o.opt("lumetri", readLumetri)) g.lumetri = std::move(*l);
    return g;
}

ClipTransition readTransition(const json& j, const Path& at) {
    Obj o(j, at);
    ClipTransition t;
    t.kind = o.enumeration<TransitionKind>("kind");
    t.duration = o.num("duration");
    t.curve = o.opt("curve", toEnum<TransitionCurve>).value_or(TransitionCurve::linear);
    return t;
}

TitleStyle readTitle(const json& j, const Path& at) {
    Obj o(j, at);
    return TitleStyle{o.str("text"),     o.str("fontName"),
                      o.num("fontSize"), o.str("colorHex"),
                      o.enumeration<TitleAlignment>("alignment"), o.enumeration<TitleVertical>("vertical")};
}

ClipMotion readMotion(const json& j, const Path& at) {
    Obj o(j, at);
    return ClipMotion{o.num("scale"), o.num("rotation"), o.num("positionX"), o.num("positionY")};
}

TimeRemapKeyframe readRemapKeyframe(const json& j, const Path& at) {
    Obj o(j, at);
    return TimeRemapKeyframe{o.num("when"), o.num("source")};
}

TimeRemap readRemap(const json& j, const Path& at) {
    Obj o(j, at);
    return TimeRemap{o.num("speed"),
                     o.flag("reversed"),
                     o.flag("frameBlending"),
                     o.list("keyframes", readRemapKeyframe),
                     o.num("windowStart"),
                     o.num("windowEnd")};
}

TimelineClip readClip(const json& j, const Path& at) {
    Obj o(j, at);
    TimelineClip c;
    c.id = o.uuid("id");
    c.mediaID = o.opt("mediaID", toUuid);
    c.name = o.str("name");
    c.start = o.num("start");
    c.inPoint = o.num("inPoint");
    c.duration = o.num("duration");
    c.linkGroup = o.opt("linkGroup", toUuid);
    c.opacity = readScalar(o.req("opacity"), at / "opacity");
    c.volumeDB = readScalar(o.req("volumeDB"), at / "volumeDB");
    c.grade = readGrade(o.req("grade"), at / "grade");
    c.incoming = readTransition(o.req("incoming"), at / "incoming");
    c.outgoing = readTransition(o.req("outgoing"), at / "outgoing");
    c.title = o.opt("title", readTitle);
    c.isEnabled = o.opt("isEnabled", toBool).value_or(true);
    if (auto m = o.opt("motion", readMotion)) c.motion = *m;
    if (auto r = o.opt("timeRemap", readRemap)) c.timeRemap = std::move(*r);
    c.nestID = o.opt("nestID", toUuid);
    return c;
}

Track readTrack(const json& j, const Path& at) {
    Obj o(j, at);
    Track t;
    t.id = o.uuid("id");
    t.role = o.enumeration<TrackRole>("role");
    t.name = o.str("name");
    t.clips = o.list("clips", readClip);
    t.isMuted = o.flag("isMuted");
    t.isHidden = o.flag("isHidden");
    t.isLocked = o.flag("isLocked");
    t.isSolo = o.opt("isSolo", toBool).value_or(false);
    t.isTargeted = o.opt("isTargeted", toBool).value_or(true);
    return t;
}

SequenceMarker readMarker(const json& j, const Path& at) {
    Obj o(j, at);
    return SequenceMarker{o.uuid("id"), o.num("time"), o.str("name"), o.num("duration")};
}

Sequence readSequence(const json& j, const Path& at) {
    Obj o(j, at);
    Sequence s;
    s.id = o.uuid("id");
    s.name = o.str("name");
    s.width = o.int64("width");
    s.height = o.int64("height");
    s.frameRate = readFrameRate(o.req("frameRate"), at / "frameRate");
    // A rate without a positive numerator and denominator has no frame grid: every time computed
    // from it would be NaN or infinite, so such a file is damaged, not merely unusual.
    if (!s.frameRate.isValid()) fail(at / "frameRate", "frame rate must be positive");
    s.tracks = o.list("tracks", readTrack);
    s.inPoint = o.opt("inPoint", toDouble);
    s.outPoint = o.opt("outPoint", toDouble);
    s.previewScale = o.opt("previewScale", toDouble).value_or(0.5);
    if (auto m = o.opt("markers", [](const json& v, const Path& p) { return eachElement(v, p, readMarker); }))
        s.markers = *m;
    return s;
}

StoredTransform readTransform(const json& j, const Path& at) {
    Obj o(j, at);
    return StoredTransform{o.num("a"), o.num("b"), o.num("c"), o.num("d"), o.num("tx"), o.num("ty")};
}

MediaItem readMedia(const json& j, const Path& at) {
    Obj o(j, at);
    MediaItem m;
    m.id = o.uuid("id");
    m.name = o.str("name");
    m.kind = o.enumeration<MediaKind>("kind");
    m.path = o.str("path");
    m.relativePath = o.opt("relativePath", toString);
    m.bookmark = o.opt("bookmark", toBytes);
    m.duration = o.num("duration");
    m.width = o.int64("width");
    m.height = o.int64("height");
    m.nominalFrameRate = o.num("nominalFrameRate");
    m.codec = o.str("codec");
    m.hasVideo = o.flag("hasVideo");
    m.hasAudio = o.flag("hasAudio");
    m.transform = readTransform(o.req("transform"), at / "transform");
    return m;
}

NestedSequence readNest(const json& j, const Path& at) {
    Obj o(j, at);
    return NestedSequence{o.uuid("id"), o.str("name"), readSequence(o.req("sequence"), at / "sequence")};
}

Project readProject(const json& j) {
    const Path at;
    Obj o(j, at);
    Project p;
    p.fileVersion = o.int64("fileVersion");
    p.name = o.str("name");
    p.media = o.list("media", readMedia);
    p.sequence = readSequence(o.req("sequence"), at / "sequence");
    if (auto n = o.opt("nests", [](const json& v, const Path& q) { return eachElement(v, q, readNest); }))
        p.nests = *n;
    return p;
}

// ---------------------------------------------------------------------------------------------
// Writing

struct Writer {
    json num(double v, const Path& at) const {
        if (!std::isfinite(v))
            throw EncodingError("The project holds a number that is not finite, at " + at.str() + ".");
        return v;
    }

    json frameRate(const FrameRate& r) const { return {{"numerator", r.numerator}, {"denominator", r.denominator}}; }

    json scalar(const ScalarParam& s, const Path& at) const {
        json keys = json::array();
        const Path kp = at / "keyframes";
        for (std::size_t i = 0; i < s.keyframes.size(); ++i) {
            const auto& k = s.keyframes[i];
            keys.push_back({{"time", num(k.time, kp[i] / "time")},
                            {"value", num(k.value, kp[i] / "value")},
                            {"interpolation", enumName(k.interpolation)}});
        }
        return {{"value", num(s.value, at / "value")}, {"keyframes", std::move(keys)}};
    }

    json curve(const ChannelCurve& c, const Path& at) const {
        json pts = json::array();
        const Path pp = at / "points";
        for (std::size_t i = 0; i < c.points.size(); ++i)
            pts.push_back({{"x", num(c.points[i].x, pp[i] / "x")}, {"y", num(c.points[i].y, pp[i] / "y")}});
        return {{"points", std::move(pts)}};
    }

    json wheel(const ColorWheel& w, const Path& at) const {
        return {{"x", num(w.x, at / "x")}, {"y", num(w.y, at / "y")}};
    }

    json lumetri(const LumetriPanel& p, const Path& at) const {
        const Path cp = at / "curves";
        const Path hp = at / "hsl";
        json j = {
            {"bypass", p.bypass},
            {"highlights", num(p.highlights, at / "highlights")},
            {"shadows", num(p.shadows, at / "shadows")},
            {"whites", num(p.whites, at / "whites")},
            {"blacks", num(p.blacks, at / "blacks")},
            {"vibrance", num(p.vibrance, at / "vibrance")},
            {"lutPath", p.lutPath},
            {"lutIntensity", num(p.lutIntensity, at / "lutIntensity")},
            {"fadedFilm", num(p.fadedFilm, at / "fadedFilm")},
            {"sharpen", num(p.sharpen, at / "sharpen")},
            {"curves",
             {{"master", curve(p.curves.master, cp / "master")},
              {"red", curve(p.curves.red, cp / "red")},
              {"green", curve(p.curves.green, cp / "green")},
              {"blue", curve(p.curves.blue, cp / "blue")}}},
            {"shadowWheel", wheel(p.shadowWheel, at / "shadowWheel")},
            {"midtoneWheel", wheel(p.midtoneWheel, at / "midtoneWheel")},
            {"highlightWheel", wheel(p.highlightWheel, at / "highlightWheel")},
            {"hsl",
             {{"enabled", p.hsl.enabled},
              {"hue", num(p.hsl.hue, hp / "hue")},
              {"range", num(p.hsl.range, hp / "range")},
              {"hueShift", num(p.hsl.hueShift, hp / "hueShift")},
              {"saturation", num(p.hsl.saturation, hp / "saturation")},
              {"luminance", num(p.hsl.luminance, hp / "luminance")}}},
            {"vignette", num(p.vignette, at / "vignette")},
            {"vignetteRadius", num(p.vignetteRadius, at / "vignetteRadius")},
            {"vignetteFeather", num(p.vignetteFeather, at / "vignetteFeather")},
        };
        if (p.lutBookmark) j["lutBookmark"] = base64Encode(*p.lutBookmark);
        return j;
    }

    json grade(const ColorGrade& g, const Path& at) const {
        return {
            {"exposure", scalar(g.exposure, at / "exposure")},
            {"contrast", scalar(g.contrast, at / "contrast")},
            {"saturation", scalar(g.saturation, at / "saturation")},
            {"temperature", scalar(g.temperature, at / "temperature")},
            {"tint", scalar(g.tint, at / "tint")},
            {"liftR", scalar(g.liftR, at / "liftR")},
            {"liftG", scalar(g.liftG, at / "liftG")},
            {"liftB", scalar(g.liftB, at / "liftB")},
            {"gammaR", scalar(g.gammaR, at / "gammaR")},
            {"gammaG", scalar(g.gammaG, at / "gammaG")},
            {"gammaB", scalar(g.gammaB, at / "gammaB")},
            {"gainR", scalar(g.gainR, at / "gainR")},
            {"gainG", scalar(g.gainG, at / "gainG")},
            {"gainB", scalar(g.gainB, at / "gainB")},
            {"lumetri", lumetri(g.lumetri, at / "lumetri")},
        };
    }

    json transition(const ClipTransition& t, const Path& at) const {
        return {{"kind", enumName(t.kind)}, {"duration", num(t.duration, at / "duration")}, {"curve", enumName(t.curve)}};
    }

    json title(const TitleStyle& t, const Path& at) const {
        return {{"text", t.text},
                {"fontName", t.fontName},
                {"fontSize", num(t.fontSize, at / "fontSize")},
                {"colorHex", t.colorHex},
                {"alignment", enumName(t.alignment)},
                {"vertical", enumName(t.vertical)}};
    }

    json remap(const TimeRemap& r, const Path& at) const {
        json keys = json::array();
        const Path kp = at / "keyframes";
        for (std::size_t i = 0; i < r.keyframes.size(); ++i)
            keys.push_back({{"when", num(r.keyframes[i].when, kp[i] / "when")},
                            {"source", num(r.keyframes[i].source, kp[i] / "source")}});
        return {{"speed", num(r.speed, at / "speed")},
                {"reversed", r.reversed},
                {"frameBlending", r.frameBlending},
                {"keyframes", std::move(keys)},
                {"windowStart", num(r.windowStart, at / "windowStart")},
                {"windowEnd", num(r.windowEnd, at / "windowEnd")}};
    }

    json clip(const TimelineClip& c, const Path& at) const {
        json j = {
            {"id", c.id.toString()},
            {"name", c.name},
            {"start", num(c.start, at / "start")},
            {"inPoint", num(c.inPoint, at / "inPoint")},
            {"duration", num(c.duration, at / "duration")},
            {"opacity", scalar(c.opacity, at / "opacity")},
            {"volumeDB", scalar(c.volumeDB, at / "volumeDB")},
            {"grade", grade(c.grade, at / "grade")},
            {"incoming", transition(c.incoming, at / "incoming")},
            {"outgoing", transition(c.outgoing, at / "outgoing")},
            {"isEnabled", c.isEnabled},
            {"motion",
             {{"scale", num(c.motion.scale, at / "motion" / "scale")},
              {"rotation", num(c.motion.rotation, at / "motion" / "rotation")},
              {"positionX", num(c.motion.positionX, at / "motion" / "positionX")},
              {"positionY", num(c.motion.positionY, at / "motion" / "positionY")}}},
            {"timeRemap", remap(c.timeRemap, at / "timeRemap")},
        };
        if (c.mediaID) j["mediaID"] = c.mediaID->toString();
        if (c.linkGroup) j["linkGroup"] = c.linkGroup->toString();
        if (c.title) j["title"] = title(*c.title, at / "title");
        if (c.nestID) j["nestID"] = c.nestID->toString();
        return j;
    }

    json track(const Track& t, const Path& at) const {
        json clips = json::array();
        const Path cp = at / "clips";
        for (std::size_t i = 0; i < t.clips.size(); ++i) clips.push_back(clip(t.clips[i], cp[i]));
        return {{"id", t.id.toString()},       {"role", enumName(t.role)},   {"name", t.name},
                {"clips", std::move(clips)},   {"isMuted", t.isMuted},       {"isHidden", t.isHidden},
                {"isLocked", t.isLocked},      {"isSolo", t.isSolo},         {"isTargeted", t.isTargeted}};
    }

    json sequence(const Sequence& s, const Path& at) const {
        json tracks = json::array();
        const Path tp = at / "tracks";
        for (std::size_t i = 0; i < s.tracks.size(); ++i) tracks.push_back(track(s.tracks[i], tp[i]));
        json markers = json::array();
        const Path mp = at / "markers";
        for (std::size_t i = 0; i < s.markers.size(); ++i) {
            const auto& m = s.markers[i];
            markers.push_back({{"id", m.id.toString()},
                               {"time", num(m.time, mp[i] / "time")},
                               {"name", m.name},
                               {"duration", num(m.duration, mp[i] / "duration")}});
        }
        json j = {{"id", s.id.toString()},
                  {"name", s.name},
                  {"width", s.width},
                  {"height", s.height},
                  {"frameRate", frameRate(s.frameRate)},
                  {"tracks", std::move(tracks)},
                  {"previewScale", num(s.previewScale, at / "previewScale")},
                  {"markers", std::move(markers)}};
        if (s.inPoint) j["inPoint"] = num(*s.inPoint, at / "inPoint");
        if (s.outPoint) j["outPoint"] = num(*s.outPoint, at / "outPoint");
        return j;
    }

    json media(const MediaItem& m, const Path& at) const {
        const Path tp = at / "transform";
        json j = {{"id", m.id.toString()},
                  {"name", m.name},
                  {"kind", enumName(m.kind)},
                  {"path", m.path},
                  {"duration", num(m.duration, at / "duration")},
                  {"width", m.width},
                  {"height", m.height},
                  {"nominalFrameRate", num(m.nominalFrameRate, at / "nominalFrameRate")},
                  {"codec", m.codec},
                  {"hasVideo", m.hasVideo},
                  {"hasAudio", m.hasAudio},
                  {"transform",
                   {{"a", num(m.transform.a, tp / "a")},
                    {"b", num(m.transform.b, tp / "b")},
                    {"c", num(m.transform.c, tp / "c")},
                    {"d", num(m.transform.d, tp / "d")},
                    {"tx", num(m.transform.tx, tp / "tx")},
                    {"ty", num(m.transform.ty, tp / "ty")}}}};
        if (m.relativePath) j["relativePath"] = *m.relativePath;
        if (m.bookmark) j["bookmark"] = base64Encode(*m.bookmark);
        return j;
    }

    json project(const Project& p) const {
        const Path at;
        json media_ = json::array();
        const Path mp = at / "media";
        for (std::size_t i = 0; i < p.media.size(); ++i) media_.push_back(media(p.media[i], mp[i]));
        json nests = json::array();
        const Path np = at / "nests";
        for (std::size_t i = 0; i < p.nests.size(); ++i) {
            const auto& n = p.nests[i];
            nests.push_back({{"id", n.id.toString()},
                             {"name", n.name},
                             {"sequence", sequence(n.sequence, np[i] / "sequence")}});
        }
        return {{"fileVersion", p.fileVersion},
                {"name", p.name},
                {"media", std::move(media_)},
                {"sequence", sequence(p.sequence, at / "sequence")},
                {"nests", std::move(nests)}};
    }
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Whole files, element by element
//
// A long project is mostly its clips (and, after a large import, its media items): tens of
// thousands of small objects in a few arrays. Reading the file as one JSON document holds the
// text, a document tree several times its size and the project at once, and reads on one core.
// Instead the text is scanned once for where each element of those arrays lies, the rest (the
// skeleton) is read as before, and the elements are read on their own, on every core. Writing
// does the reverse: each element is written on its own, and the skeleton with the element texts
// spliced in where its arrays stand. Both give exactly what reading or writing the whole
// document would; a text the scan does not understand is read as a whole document.

namespace {

struct Span {
    std::size_t begin = 0, end = 0;
};

// Where each clip of a track comes from: `sequence` is -1 for the project's own sequence, else
// the index of its nest.
struct TrackElements {
    long sequence = -1;
    std::size_t track = 0;
    Span array; // the array's interior, between its brackets
    std::vector<Span> elements;
};

struct Layout {
    Span mediaArray;
    bool hasMedia = false;
    std::vector<Span> media;
    std::vector<TrackElements> tracks;
};

constexpr std::size_t npos = std::string_view::npos;

class Scanner {
public:
    explicit Scanner(std::string_view text) : s_(text) {}

    std::optional<Layout> scan() {
        Layout layout;
        std::size_t i = ws(0);
        bool sawMedia = false, sawSequence = false, sawNests = false;
        const bool ok = object(i, [&](std::string_view key, std::size_t& at) {
            if (key == "media") {
                if (std::exchange(sawMedia, true)) return false;
                layout.hasMedia = true;
                return array(at, layout.mediaArray, &layout.media);
            }
            if (key == "sequence") {
                if (std::exchange(sawSequence, true)) return false;
                return sequence(at, -1, layout);
            }
            if (key == "nests") {
                if (std::exchange(sawNests, true)) return false;
                long index = 0;
                Span interior;
                return elements(at, interior, [&](std::size_t& e) {
                    bool sawNestSequence = false;
                    const bool read = object(e, [&](std::string_view k, std::size_t& v) {
                        if (k != "sequence") return skip(v);
                        if (std::exchange(sawNestSequence, true)) return false;
                        return sequence(v, index, layout);
                    });
                    ++index;
                    return read;
                });
            }
            return skip(at);
        });
        if (!ok) return std::nullopt;
        return layout;
    }

private:
    std::size_t ws(std::size_t i) const {
        while (i < s_.size() && (s_[i] == ' ' || s_[i] == '\n' || s_[i] == '\r' || s_[i] == '\t')) ++i;
        return i;
    }

    // The index after the string starting at `i`; npos when there is none.
    std::size_t string(std::size_t i) const {
        if (i >= s_.size() || s_[i] != '"') return npos;
        for (++i; i < s_.size(); ++i) {
            if (s_[i] == '\\') ++i;
            else if (s_[i] == '"') return i + 1;
        }
        return npos;
    }

    // Moves `i` past one value of any kind, without reading it; nesting is counted, not recursed.
    bool skip(std::size_t& i) const {
        i = ws(i);
        if (i >= s_.size()) return false;
        if (s_[i] == '"') {
            i = string(i);
            return i != npos;
        }
        if (s_[i] != '{' && s_[i] != '[') {
            while (i < s_.size() && !std::strchr(",]} \n\r\t", s_[i])) ++i;
            return true;
        }
        std::size_t depth = 0;
        while (i < s_.size()) {
            const char c = s_[i];
            if (c == '"') {
                i = string(i);
                if (i == npos) return false;
                continue;
            }
            if (c == '{' || c == '[') ++depth;
            else if (c == '}' || c == ']') {
                if (--depth == 0) {
                    ++i;
                    return true;
                }
            }
            ++i;
        }
        return false;
    }

    // An object at `i`: `member(key, at)` moves `at` past each member's value. Keys written with
    // escapes are not compared here; such a text is read as a whole document.
    template <class Member> bool object(std::size_t& i, Member member) const {
        i = ws(i);
        if (i >= s_.size() || s_[i] != '{') return false;
        i = ws(i + 1);
        if (i < s_.size() && s_[i] == '}') {
            ++i;
            return true;
        }
        for (;;) {
            const std::size_t end = string(i);
            if (end == npos) return false;
            const std::string_view key = s_.substr(i + 1, end - i - 2);
            if (key.find('\\') != npos) return false;
            i = ws(end);
            if (i >= s_.size() || s_[i] != ':') return false;
            ++i;
            if (!member(key, i)) return false;
            i = ws(i);
            if (i >= s_.size()) return false;
            if (s_[i] == '}') {
                ++i;
                return true;
            }
            if (s_[i] != ',') return false;
            i = ws(i + 1);
        }
    }

    // An array at `i`, each element handed to `element(at)`, which moves `at` past it.
    template <class Element> bool elements(std::size_t& i, Span& interior, Element element) const {
        i = ws(i);
        if (i >= s_.size() || s_[i] != '[') return false;
        interior.begin = ++i;
        i = ws(i);
        if (i < s_.size() && s_[i] == ']') {
            interior.end = i++;
            return true;
        }
        for (;;) {
            i = ws(i);
            if (!element(i)) return false;
            i = ws(i);
            if (i >= s_.size()) return false;
            if (s_[i] == ']') {
                interior.end = i++;
                return true;
            }
            if (s_[i] != ',') return false;
            ++i;
        }
    }

    bool array(std::size_t& i, Span& interior, std::vector<Span>* spans) const {
        return elements(i, interior, [&](std::size_t& e) {
            const std::size_t begin = e;
            if (!skip(e)) return false;
            if (spans) spans->push_back({begin, e});
            return true;
        });
    }

    bool sequence(std::size_t& i, long index, Layout& layout) const {
        bool sawTracks = false;
        return object(i, [&](std::string_view key, std::size_t& at) {
            if (key != "tracks") return skip(at);
            if (std::exchange(sawTracks, true)) return false;
            std::size_t track = 0;
            Span interior;
            return elements(at, interior, [&](std::size_t& e) {
                TrackElements found{index, track++, {}, {}};
                bool sawClips = false;
                const bool read = object(e, [&](std::string_view k, std::size_t& v) {
                    if (k != "clips") return skip(v);
                    if (std::exchange(sawClips, true)) return false;
                    return array(v, found.array, &found.elements);
                });
                if (read && sawClips) layout.tracks.push_back(std::move(found));
                return read;
            });
        });
    }

    std::string_view s_;
};

// The threads that help `forEachInParallel`, made at its first use and kept for the process's life.
// Starting a crowd of new threads for every save would put them ahead of the window's thread on a
// busy machine, whose scheduler runs a new thread before one that wakes: tens of milliseconds of a
// window that does not answer.
class Helpers {
  public:
    static Helpers& shared() {
        // Never destroyed: a process may end while they work. As many as the machine's processors, also
        // where the process may run on fewer: the scheduler shares a processor out thread by thread, and
        // a coder held to two processors beside eight busy threads would take a fifth of them with two
        // threads, half with eight. Those the processors cannot run at once wait their turn.
        static Helpers* helpers = new Helpers(std::max(1u, std::thread::hardware_concurrency()) - 1);
        return *helpers;
    }

    // Bulk work: the kernel runs the thread in long turns, and never lets its waking cut into another
    // thread's turn (the window's). Its share of the processors is the usual one.
    static void workInBulk() {
        const sched_param none{};
        pthread_setschedparam(pthread_self(), SCHED_BATCH, &none);
    }

    std::size_t size() const { return size_; }

    void post(std::function<void()> task) {
        {
            const std::lock_guard guard(lock_);
            tasks_.push_back(std::move(task));
        }
        wake_.notify_one();
    }

  private:
    explicit Helpers(std::size_t size) : size_(size) {
        for (std::size_t i = 0; i < size; ++i)
            std::thread([this] {
                workInBulk();
                for (;;) {
                    std::function<void()> task;
                    {
                        std::unique_lock guard(lock_);
                        wake_.wait(guard, [this] { return !tasks_.empty(); });
                        task = std::move(tasks_.front());
                        tasks_.pop_front();
                    }
                    task();
                }
            }).detach();
    }

    const std::size_t size_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
};

std::atomic<void (*)()> codingPause{nullptr};

// Runs `body(i)` for every i below `count`, on every core when there are enough to share; the first
// exception thrown is rethrown here once all have stopped. Safe from several threads at once: they
// share the helpers.
template <class Body> void forEachInParallel(std::size_t count, Body body) {
    Helpers& helpers = Helpers::shared();
    const std::size_t workers = std::min(helpers.size() + 1, count / 256 + 1);
    if (workers <= 1) {
        for (std::size_t i = 0; i < count; ++i)
            body(i);
        return;
    }
    // A helper that comes late finds nothing left and touches nothing but this: `body` is called only
    // for an index taken while some remain, and this thread returns once every index is finished.
    struct Shared {
        std::size_t count = 0;
        std::function<void(std::size_t)> body;
        std::atomic<std::size_t> next{0}, finished{0};
        std::atomic<bool> failed{false};
        std::exception_ptr failure;
        std::mutex lock;
        std::condition_variable allFinished;
    };
    const auto shared = std::make_shared<Shared>();
    shared->count = count;
    shared->body = [&body](std::size_t i) { body(i); };
    const auto work = [shared] {
        Shared& s = *shared;
        for (std::size_t i = s.next++; i < s.count; i = s.next++) {
            if (const auto pause = codingPause.load(std::memory_order_relaxed)) pause();
            if (!s.failed) {
                try {
                    s.body(i);
                } catch (...) {
                    const std::lock_guard guard(s.lock);
                    if (!s.failure) s.failure = std::current_exception();
                    s.failed = true;
                }
            }
            if (s.finished.fetch_add(1) + 1 == s.count) {
                const std::lock_guard guard(s.lock);
                s.allFinished.notify_all();
            }
        }
    };
    for (std::size_t w = 1; w < workers; ++w)
        helpers.post(work);
    work();
    std::unique_lock guard(shared->lock);
    shared->allFinished.wait(guard, [&] { return shared->finished == count; });
    if (shared->failure) std::rethrow_exception(shared->failure);
}

json parseElement(std::string_view text) {
    try {
        return json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
        throw DecodingError(std::string("not a JSON text: ") + e.what());
    }
}

Project checkedVersion(Project p) {
    if (p.fileVersion > 1) throw ProjectError::newerFile(p.fileVersion);
    if (p.fileVersion < 1) throw ProjectError::corrupt();
    return p;
}

Project decodeWhole(std::string_view data) {
    json doc;
    try {
        doc = json::parse(data.begin(), data.end());
    } catch (const json::exception& e) {
        throw DecodingError(std::string("not a JSON text: ") + e.what());
    }
    if (!doc.is_object()) throw DecodingError("the top level is not an object");
    return checkedVersion(readProject(doc));
}

Sequence& sequenceAt(Project& p, long index) {
    return index < 0 ? p.sequence : p.nests.mut(static_cast<std::size_t>(index)).sequence;
}

} // namespace

Project Project::decode(std::string_view data, const std::function<void(double)>& progress) {
    const std::optional<Layout> layout = Scanner(data).scan();
    if (!layout) return decodeWhole(data);

    // The skeleton: the text with the arrays' interiors left out.
    std::vector<Span> holes;
    if (layout->hasMedia) holes.push_back(layout->mediaArray);
    for (const TrackElements& t : layout->tracks) holes.push_back(t.array);
    std::sort(holes.begin(), holes.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
    std::string skeleton;
    std::size_t from = 0;
    for (const Span& hole : holes) {
        skeleton.append(data.substr(from, hole.begin - from));
        from = hole.end;
    }
    skeleton.append(data.substr(from));

    json doc;
    try {
        doc = json::parse(skeleton);
    } catch (const json::exception& e) {
        throw DecodingError(std::string("not a JSON text: ") + e.what());
    }
    skeleton = std::string();
    if (!doc.is_object()) throw DecodingError("the top level is not an object");
    Project p = readProject(doc);
    doc = json();

    // Every element, wherever it goes.
    struct Job {
        Span text;
        long sequence = 0; // -2 for a media item
        std::size_t track = 0, index = 0;
    };
    std::vector<Job> jobs;
    for (std::size_t i = 0; i < layout->media.size(); ++i) jobs.push_back({layout->media[i], -2, 0, i});
    std::vector<std::vector<TimelineClip>*> clipLists;
    std::vector<std::vector<TimelineClip>> clips(layout->tracks.size());
    for (std::size_t t = 0; t < layout->tracks.size(); ++t) {
        const TrackElements& found = layout->tracks[t];
        if (found.sequence >= static_cast<long>(p.nests.size()) ||
            found.track >= sequenceAt(p, found.sequence).tracks.size())
            return decodeWhole(data);
        clips[t].resize(found.elements.size());
        for (std::size_t i = 0; i < found.elements.size(); ++i) jobs.push_back({found.elements[i], found.sequence, t, i});
    }
    std::vector<MediaItem> media(layout->media.size());

    std::atomic<std::size_t> done{0};
    const std::size_t step = std::max<std::size_t>(1, jobs.size() / 100);
    forEachInParallel(jobs.size(), [&](std::size_t k) {
        const Job& job = jobs[k];
        const json element = parseElement(data.substr(job.text.begin, job.text.end - job.text.begin));
        const Path root;
        if (job.sequence == -2) {
            const Path list = root / "media";
            media[job.index] = readMedia(element, list[job.index]);
        } else {
            const Path sequence = job.sequence < 0 ? root / "sequence" : root / "nests";
            const Path nest = sequence[static_cast<std::size_t>(std::max(0L, job.sequence))];
            const Path in = job.sequence < 0 ? sequence : nest / "sequence";
            const Path tracks = in / "tracks";
            const Path track = tracks[layout->tracks[job.track].track];
            const Path list = track / "clips";
            clips[job.track][job.index] = readClip(element, list[job.index]);
        }
        if (progress && (done.fetch_add(1) + 1) % step == 0)
            progress(double(done.load()) / double(jobs.size()));
    });

    if (progress) progress(1.0);
    if (layout->hasMedia) p.media = media;
    for (std::size_t t = 0; t < layout->tracks.size(); ++t) {
        const TrackElements& found = layout->tracks[t];
        sequenceAt(p, found.sequence).tracks.mut(found.track).clips = clips[t];
    }
    return checkedVersion(std::move(p));
}

Project Project::decode(std::string_view data) {
    return decode(data, {});
}

namespace {

// The pretty-printed text of an element, as it reads `depth` spaces in.
void appendIndented(std::string& out, const std::string& text, std::size_t depth) {
    std::size_t from = 0;
    for (std::size_t nl = text.find('\n'); nl != npos; nl = text.find('\n', from)) {
        out.append(text, from, nl + 1 - from);
        out.append(depth, ' ');
        from = nl + 1;
    }
    out.append(text, from);
}

// An array of element texts as the pretty printer writes it at `depth`.
void appendArray(std::string& out, const std::vector<std::string>& texts, std::size_t depth) {
    if (texts.empty()) {
        out += "[]";
        return;
    }
    out += "[\n";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        out.append(depth + 2, ' ');
        appendIndented(out, texts[i], depth + 2);
        out += i + 1 < texts.size() ? ",\n" : "\n";
    }
    out.append(depth, ' ');
    out += ']';
}

std::string dumped(const json& j) {
    try {
        return j.dump(2);
    } catch (const json::exception&) {
        // Names and paths are written as UTF-8; a byte sequence that is not UTF-8 has no JSON form.
        throw EncodingError("The project holds text that is not valid UTF-8.");
    }
}

} // namespace

void setCodingPause(void (*pause)()) {
    codingPause.store(pause);
}

std::string Project::encode() const {
    const Writer writer;
    const Path root;
    // Every clip and media item on its own, on every core.
    struct Piece {
        long sequence = 0; // -2 for a media item
        std::size_t track = 0, index = 0;
    };
    std::vector<Piece> pieces;
    for (std::size_t i = 0; i < media.size(); ++i) pieces.push_back({-2, 0, i});
    const auto sequenceOf = [this](long index) -> const Sequence& {
        return index < 0 ? sequence : nests[static_cast<std::size_t>(index)].sequence;
    };
    std::vector<std::pair<long, std::size_t>> tracks; // (sequence, track) in slot order
    for (long n = -1; n < static_cast<long>(nests.size()); ++n)
        for (std::size_t t = 0; t < sequenceOf(n).tracks.size(); ++t) {
            for (std::size_t i = 0; i < sequenceOf(n).tracks[t].clips.size(); ++i)
                pieces.push_back({static_cast<long>(tracks.size()), t, i});
            tracks.emplace_back(n, t);
        }
    std::vector<std::string> mediaTexts(media.size());
    std::vector<std::vector<std::string>> clipTexts(tracks.size());
    for (std::size_t slot = 0; slot < tracks.size(); ++slot)
        clipTexts[slot].resize(sequenceOf(tracks[slot].first).tracks[tracks[slot].second].clips.size());
    forEachInParallel(pieces.size(), [&](std::size_t k) {
        const Piece& piece = pieces[k];
        if (piece.sequence == -2) {
            const Path list = root / "media";
            mediaTexts[piece.index] = dumped(writer.media(media[piece.index], list[piece.index]));
            return;
        }
        const auto [n, t] = tracks[static_cast<std::size_t>(piece.sequence)];
        const Path owner = n < 0 ? root / "sequence" : root / "nests";
        const Path nest = owner[static_cast<std::size_t>(std::max(0L, n))];
        const Path in = n < 0 ? owner : nest / "sequence";
        const Path trackList = in / "tracks";
        const Path track = trackList[t];
        const Path list = track / "clips";
        clipTexts[static_cast<std::size_t>(piece.sequence)][piece.index] =
            dumped(writer.clip(sequenceOf(n).tracks[t].clips[piece.index], list[piece.index]));
    });

    // The skeleton, each array standing as a marker string that no project text can be: a string
    // value never holds an unescaped quote, so `"clips": "#` is found only where a marker stands.
    Project bare = *this;
    bare.media = {};
    for (long n = -1; n < static_cast<long>(nests.size()); ++n) {
        Sequence& s = n < 0 ? bare.sequence : bare.nests.mut(static_cast<std::size_t>(n)).sequence;
        for (std::size_t t = 0; t < s.tracks.size(); ++t) s.tracks.mut(t).clips = {};
    }
    json doc = writer.project(bare);
    doc["media"] = "#media";
    std::size_t slot = 0;
    const auto mark = [&slot](json& sequenceJSON) {
        for (json& track : sequenceJSON["tracks"]) track["clips"] = "#" + std::to_string(slot++);
    };
    mark(doc["sequence"]);
    for (json& nest : doc["nests"]) mark(nest["sequence"]);
    const std::string skeleton = dumped(doc);

    std::size_t size = skeleton.size() + 1;
    for (const std::string& t : mediaTexts) size += t.size() + 64;
    for (const auto& list : clipTexts)
        for (const std::string& t : list) size += t.size() + t.size() / 8 + 64;
    std::string out;
    out.reserve(size);
    std::size_t from = 0;
    const std::string_view text(skeleton);
    for (;;) {
        const std::size_t clipsAt = text.find("\"clips\": \"#", from);
        const std::size_t mediaAt = text.find("\"media\": \"#media\"", from);
        const std::size_t at = std::min(clipsAt, mediaAt);
        if (at == npos) break;
        const std::size_t lineStart = text.rfind('\n', at) + 1;
        const std::size_t depth = at - lineStart;
        if (at == mediaAt) {
            out.append(text.substr(from, at - from));
            out += "\"media\": ";
            appendArray(out, mediaTexts, depth);
            from = at + std::string_view("\"media\": \"#media\"").size();
        } else {
            const std::size_t number = at + std::string_view("\"clips\": \"#").size();
            const std::size_t close = text.find('"', number);
            const std::size_t index = std::stoul(std::string(text.substr(number, close - number)));
            out.append(text.substr(from, at - from));
            out += "\"clips\": ";
            appendArray(out, clipTexts[index], depth);
            from = close + 1;
        }
    }
    out.append(text.substr(from));
    out.push_back('\n');
    return out;
}

} // namespace osterveil
