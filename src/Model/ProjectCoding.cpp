// The project file: strict typed reading and writing of every record over nlohmann-json.

#include <cmath>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

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

Project Project::decode(std::string_view data) {
    json doc;
    try {
        doc = json::parse(data.begin(), data.end());
    } catch (const json::exception& e) {
        throw DecodingError(std::string("not a JSON text: ") + e.what());
    }
    if (!doc.is_object()) throw DecodingError("the top level is not an object");
    Project p = readProject(doc);
    if (p.fileVersion > 1) throw ProjectError::newerFile(p.fileVersion);
    if (p.fileVersion < 1) throw ProjectError::corrupt();
    return p;
}

std::string Project::encode() const {
    const json doc = Writer{}.project(*this);
    try {
        std::string out = doc.dump(2);
        out.push_back('\n');
        return out;
    } catch (const json::exception&) {
        // Names and paths are written as UTF-8; a byte sequence that is not UTF-8 has no JSON form.
        throw EncodingError("The project holds text that is not valid UTF-8.");
    }
}

} // namespace osterveil
