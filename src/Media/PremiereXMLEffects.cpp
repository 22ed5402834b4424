#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <unordered_set>

#include "PremiereXML.hpp"
#include "PremiereXMLInternal.hpp"

namespace osterveil::premiere_xml {

namespace {

struct RawKeyframe {
    double when = 0;
    double value = 0;
};

std::vector<RawKeyframe> rawKeyframes(Element parameter) {
    std::vector<RawKeyframe> keys;
    for (Element k = parameter.child("keyframe"); k; k = k.next_sibling("keyframe")) {
        const auto when = number(k, "when");
        const auto value = number(k, "value");
        if (when && value) keys.push_back({*when, *value});
    }
    return keys;
}

// Clip times of one parameter's keyframes. Premiere counts them in source frames, within the item's
// in…out; other writers count sequence frames. One curve is never split between the two readings:
// its keyframes beyond the window are the same curve running on into the clip's handles.
std::vector<double> keyframeTimes(const std::vector<RawKeyframe>& keys, const KeyframeClock& clock) {
    const double lo = std::min(clock.windowIn, clock.windowOut) - 0.5;
    const double hi = std::max(clock.windowIn, clock.windowOut) + 0.5;
    const bool inSource = std::any_of(keys.begin(), keys.end(), [&](const RawKeyframe& k) {
        return k.when >= lo && k.when <= hi;
    });
    std::vector<double> times;
    times.reserve(keys.size());
    for (const RawKeyframe& k : keys) {
        if (inSource) {
            times.push_back((k.when - clock.sourceAtClipStart) / clock.mediaFps);
        } else {
            const double frames = k.when >= clock.clipStartFrames - 0.5 ? k.when - clock.clipStartFrames : k.when;
            times.push_back(std::max(0.0, frames / clock.sequenceFps));
        }
    }
    return times;
}

template <class Convert>
std::optional<ScalarParam> keyframedScalar(Element parameter, const KeyframeClock& clock, Convert convert) {
    const std::vector<RawKeyframe> keys = rawKeyframes(parameter);
    if (!keys.empty()) {
        const std::vector<double> times = keyframeTimes(keys, clock);
        std::vector<ScalarKeyframe> out;
        out.reserve(keys.size());
        for (std::size_t i = 0; i < keys.size(); ++i)
            out.push_back({times[i], convert(keys[i].value), Interpolation::linear});
        ScalarParam p;
        p.value = out.front().value;
        p.keyframes = std::move(out);
        return p;
    }
    if (auto v = number(parameter, "value")) return ScalarParam{convert(*v)};
    return std::nullopt;
}

double signedScale(double v) { return std::clamp(std::fabs(v) > 1.5 ? v / 100 : v, -1.0, 1.0); }
double unitScale(double v, double threshold) { return std::clamp(std::fabs(v) > threshold ? v / 100 : v, 0.0, 1.0); }
double gainScale(double v) { return v > 0.2 && v <= 3 ? v : std::max(0.0, v / 100 + 1); }

void setPlain(ScalarParam& p, double v) {
    p.value = v;
    p.keyframes.clear();
}

} // namespace

std::vector<Element> effects(Element clipitem) {
    std::vector<Element> out;
    for (Element filter = clipitem.child("filter"); filter; filter = filter.next_sibling("filter"))
        for (Element effect = filter.child("effect"); effect; effect = effect.next_sibling("effect"))
            out.push_back(effect);
    return out;
}

bool isColorEffect(std::string_view name, std::string_view id) {
    const std::string n = lowered(name);
    const std::string i = lowered(id);
    return contains(n, "lumetri") || contains(i, "lumetri") || contains(n, "fast color") || contains(i, "fast color") ||
           (contains(n, "brightness") && contains(n, "contrast")) || (contains(i, "brightness") && contains(i, "contrast"));
}

bool isMotion(std::string_view name, std::string_view id) {
    const std::string n = lowered(name);
    const std::string i = lowered(id);
    return n == "basic motion" || i == "basic" || i == "basic motion";
}

bool isAudioLevel(std::string_view name, std::string_view id) {
    const std::string n = lowered(name);
    const std::string i = lowered(id);
    return n == "audio levels" || n == "audio level" || i == "audiolevels" || i == "audio levels";
}

Element parameter(std::initializer_list<std::string_view> names, Element effect) {
    std::vector<std::string> wanted;
    for (std::string_view n : names) wanted.push_back(lowered(n));
    const auto isWanted = [&](const std::string& s) { return std::find(wanted.begin(), wanted.end(), s) != wanted.end(); };
    for (Element p = effect.child("parameter"); p; p = p.next_sibling("parameter")) {
        if (isWanted(lowered(text(p, "parameterid").value_or(""))) || isWanted(lowered(text(p, "name").value_or(""))))
            return p;
    }
    return Element();
}

TimeRemap parseTimeRemap(Element effect, const XMLRate& rate, double inFrame, double outFrame) {
    const double fps = rate.fps();
    TimeRemap r;
    r.speed = number(parameter({"speed"}, effect), "value").value_or(100) / 100;
    r.reversed = xmlBool(text(parameter({"reverse"}, effect), "value"), false);
    r.frameBlending = xmlBool(text(parameter({"frameblending", "frame blending"}, effect), "value"), false);
    if (const Element graph = parameter({"graphdict"}, effect)) {
        std::vector<TimeRemapKeyframe> keys;
        std::unordered_set<long long> frames;
        for (const RawKeyframe& k : rawKeyframes(graph)) {
            // Within the readable range every value has a whole frame that fits.
            if (!frames.insert(std::llround(k.when)).second) continue;
            keys.push_back({k.when / fps, k.value / fps});
        }
        std::stable_sort(keys.begin(), keys.end(),
                         [](const TimeRemapKeyframe& a, const TimeRemapKeyframe& b) { return a.when < b.when; });
        r.keyframes = std::move(keys);
    }
    r.windowStart = inFrame / fps;
    r.windowEnd = std::max(inFrame, outFrame) / fps;
    return r;
}

std::optional<std::string> lutPath(Element parameter) {
    const std::optional<std::string> value = text(parameter, "value");
    if (!value || value->empty()) return std::nullopt;
    const std::string lower = lowered(*value);
    const bool isURL = lower.starts_with("file:");
    if (!(contains(lower, ".cube") || isURL || contains(*value, "/") || contains(*value, "\\"))) return std::nullopt;
    if (isURL) return PremiereXML::filePath(*value);
    return *value;
}

bool applyColorValue(std::string_view key, double v, ColorGrade& grade) {
    const auto is = [&](std::initializer_list<std::string_view> keys) {
        return std::find(keys.begin(), keys.end(), key) != keys.end();
    };
    LumetriPanel& l = grade.lumetri;
    if (is({"temperature", "temp", "whitebalancetemperature"})) setPlain(grade.temperature, signedScale(v));
    else if (is({"tint", "whitebalancetint"})) setPlain(grade.tint, signedScale(v));
    else if (is({"exposure"})) setPlain(grade.exposure, std::fabs(v) > 8 ? v / 50 : v);
    else if (is({"contrast"})) setPlain(grade.contrast, gainScale(v));
    else if (is({"highlights", "highlight"})) l.highlights = signedScale(v);
    else if (is({"shadows", "shadow"})) l.shadows = signedScale(v);
    else if (is({"whites", "white"})) l.whites = signedScale(v);
    else if (is({"blacks", "black"})) l.blacks = signedScale(v);
    else if (is({"saturation", "satur"})) setPlain(grade.saturation, gainScale(v));
    else if (is({"vibrance"})) l.vibrance = signedScale(v);
    else if (is({"brightness"})) setPlain(grade.exposure, std::fabs(v) > 5 ? v / 50 : v);
    else if (is({"fadedfilm", "fade"})) l.fadedFilm = unitScale(v, 1);
    else if (is({"sharpen", "sharpness"})) l.sharpen = unitScale(v, 1);
    else if (is({"intensity", "lutintensity", "lookintensity"})) l.lutIntensity = unitScale(v, 1.5);
    else return false;
    return true;
}

std::vector<std::string> absorbColor(Element effect, ColorGrade& grade) {
    std::string label = text(effect, "name").value_or("");
    if (label.empty()) label = text(effect, "effectid").value_or("");
    if (label.empty()) label = "Color";
    const std::string nothing = label + " (no values in the XML)";
    if (!effect.child("parameter")) return {nothing};

    std::vector<std::string> unmapped;
    bool applied = false;
    std::optional<double> balanceAngle, balanceMagnitude;
    for (Element p = effect.child("parameter"); p; p = p.next_sibling("parameter")) {
        std::string pLabel = text(p, "name").value_or("");
        if (pLabel.empty()) pLabel = text(p, "parameterid").value_or("");
        if (pLabel.empty()) pLabel = "parameter";
        std::string key;
        for (char c : lowered(pLabel))
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '&') key.push_back(c);

        if (auto lut = lutPath(p)) {
            grade.lumetri.lutPath = *lut;
            applied = true;
            continue;
        }
        const std::optional<double> v = number(p, "value");
        if (!v) {
            unmapped.push_back(label + ": " + pLabel);
            continue;
        }
        if (key == "balanceangle") {
            balanceAngle = *v;
            applied = true;
        } else if (key == "balancemagnitude") {
            balanceMagnitude = *v;
            applied = true;
        } else if (applyColorValue(key, *v, grade))
            applied = true;
        else
            unmapped.push_back(label + ": " + pLabel);
    }
    if (balanceAngle && balanceMagnitude) {
        const double m = *balanceMagnitude / 100;
        const double a = *balanceAngle * std::numbers::pi / 180;
        setPlain(grade.temperature, std::clamp(m * std::cos(a), -1.0, 1.0));
        setPlain(grade.tint, std::clamp(m * std::sin(a), -1.0, 1.0));
    }
    if (!applied) return {nothing};
    return unmapped;
}

ClipMotion motionParameters(Element effect, FrameSize frameSize) {
    ClipMotion m;
    m.scale = number(parameter({"scale"}, effect), "value").value_or(100) / 100;
    m.rotation = number(parameter({"rotation"}, effect), "value").value_or(0);
    const Element value = parameter({"center"}, effect).child("value");
    if (!value) return m;
    const double x = number(value, "horiz").value_or(0);
    const double y = number(value, "vert").value_or(0);
    const double w = static_cast<double>(frameSize.width);
    const double h = static_cast<double>(frameSize.height);
    if (!(w > 0 && h > 0)) {
        m.positionX = x;
        m.positionY = y;
    } else if (std::fabs(x) > 2 || std::fabs(y) > 2) {
        // A pixel position from the top-left corner, as some other writers store it.
        m.positionX = x - w / 2;
        m.positionY = h / 2 - y;
    } else {
        // Premiere: offsets from the frame's centre in frame widths and heights, vert growing downwards.
        m.positionX = x * w;
        m.positionY = -y * h;
    }
    return m;
}

std::optional<ScalarParam> scalar(Element parameter, bool percent, const KeyframeClock& clock) {
    return keyframedScalar(parameter, clock,
                           [percent](double v) { return percent ? std::clamp(v / 100, 0.0, 1.0) : v; });
}

std::optional<ScalarParam> audioLevel(Element parameter, const KeyframeClock& clock) {
    return keyframedScalar(parameter, clock, [](double v) { return v <= 0.000001 ? -60.0 : 20 * std::log10(v); });
}

bool isTimeRemap(std::string_view name, std::string_view id) {
    return lowered(id) == "timeremap" || contains(lowered(name), "time remap");
}

void applyEffects(Element clipitem, const EffectContext& context, ParsedClip& clip, SkippedSet& skipped) {
    for (const Element effect : effects(clipitem)) {
        const std::string name = text(effect, "name").value_or("");
        const std::string id = text(effect, "effectid").value_or("");
        const std::string n = lowered(name);
        const std::string i = lowered(id);
        if (isCrossDissolve(name, id)) continue;
        if (isTimeRemap(name, id)) {
            clip.timeRemap = parseTimeRemap(effect, context.mediaRate, context.inFrame, context.outFrame);
        } else if (isColorEffect(name, id)) {
            for (std::string& s : absorbColor(effect, clip.grade)) skipped.insert(std::move(s));
        } else if (isMotion(name, id)) {
            clip.motion = motionParameters(effect, context.frameSize);
        } else if (n == "opacity" || i == "opacity") {
            if (const Element p = parameter({"opacity"}, effect))
                clip.opacity = scalar(p, true, context.clock).value_or(ScalarParam{1});
        } else if (isAudioLevel(name, id)) {
            if (const Element p = parameter({"level", "gain"}, effect))
                clip.volumeDB = audioLevel(p, context.clock).value_or(ScalarParam{0});
        } else if (!name.empty()) {
            skipped.insert(name);
        } else if (!id.empty()) {
            skipped.insert(id);
        }
    }
}

} // namespace osterveil::premiere_xml
