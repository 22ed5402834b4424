#include <algorithm>
#include <cmath>
#include <cstring>

#include "PremiereXML.hpp"
#include "PremiereXMLInternal.hpp"

namespace osterveil::premiere_xml {

namespace {

// A clip item's timing in frames once Premiere's -1 edges are resolved.
struct ClipTiming {
    double startFrame = 0;   // sequence frames
    double duration = 0;     // seconds
    double sourceIn = 0;     // media frames shown at the clip's first frame
    double windowIn = 0;     // the item's own `in` and `out`, media frames
    double windowOut = 0;
};

// Premiere writes -1 for a clip edge that lies inside a transition. The clip then really starts or ends
// at the transition's cut, and its `in`/`out` describe the whole span the transition overlaps.
std::optional<ClipTiming> timing(Element item, const XMLRate& sequenceRate, const XMLRate& mediaRate,
                                 const ParsedTransition* before, const ParsedTransition* after) {
    const double seqFps = sequenceRate.fps();
    const double mediaFps = mediaRate.fps();
    const std::optional<double> endRead = number(item, "end");
    const std::optional<double> outRead = number(item, "out");

    ClipTiming t;
    t.startFrame = number(item, "start").value_or(0);
    t.windowIn = std::max(0.0, number(item, "in").value_or(0));
    t.sourceIn = t.windowIn;
    if (t.startFrame < 0) {
        if (!before || !before->cutFrame || *before->cutFrame < 0) return std::nullopt;
        t.startFrame = *before->cutFrame;
        // The source from the transition's start up to the cut plays under the outgoing clip.
        t.sourceIn += (t.startFrame - before->startFrame) * mediaFps / seqFps;
    }

    if (endRead && *endRead < 0 && after && after->cutFrame && *after->cutFrame > t.startFrame)
        t.duration = (*after->cutFrame - t.startFrame) / seqFps;
    else if (endRead && *endRead > t.startFrame)
        t.duration = (*endRead - t.startFrame) / seqFps;
    else if (outRead && *outRead > t.sourceIn)
        // Source frames count at the media's rate, whatever the sequence's is.
        t.duration = (*outRead - t.sourceIn) / mediaFps;
    else
        return std::nullopt;

    t.windowOut = outRead && *outRead > t.windowIn ? *outRead : t.sourceIn + t.duration * mediaFps;
    return t;
}

bool hasSpeedEffect(Element item) {
    const std::vector<Element> all = effects(item);
    return std::any_of(all.begin(), all.end(), [](Element e) {
        return isTimeRemap(text(e, "name").value_or(""), text(e, "effectid").value_or(""));
    });
}

// Premiere writes some clip items with a rate of their own (a 29.97 clip in a 25 fps sequence, say)
// whose in and out still count the sequence's frames: out − in equals the timeline span, which at the
// item's rate would play more or less source than in…out holds. Without a speed change the source
// range must agree with in…out, so such an item is read at the sequence's rate.
bool countsSequenceFrames(Element item, const ClipTiming& t, const XMLRate& sequenceRate,
                          const XMLRate& ownRate) {
    const std::optional<double> out = number(item, "out");
    if (!out || *out <= t.windowIn) return false;
    const double span = *out - t.windowIn;
    const double seqFps = sequenceRate.fps();
    const bool fitsSequence = std::abs(span - t.duration * seqFps) < 0.5;
    const bool fitsOwn = std::abs(span / ownRate.fps() - t.duration) < 0.5 / seqFps;
    return fitsSequence && !fitsOwn && !hasSpeedEffect(item);
}

std::optional<ParsedClip> parseClipItem(Element item, TrackRole role, const XMLRate& sequenceRate,
                                        FrameSize frameSize, const FileTable& files, const ParsedTransition* before,
                                        const ParsedTransition* after, ImportState& state) {
    if (item.child("sequence")) {
        state.notes.push_back(text(item, "name").value_or("Nested sequence") +
                              " was skipped. Nested sequences are not imported.");
        return std::nullopt;
    }
    const Element file = item.child("file");
    if (!file) {
        state.notes.push_back(text(item, "name").value_or("Generator") +
                              " was skipped because it has no media file.");
        return std::nullopt;
    }
    const pugi::xml_attribute fileID = file.attribute("id");
    const auto record = fileID ? files.find(validUTF8(fileID.value())) : files.end();
    if (record == files.end()) {
        ++state.unreadableClips;
        return std::nullopt;
    }

    // Times inside a clip item count in its own rate; without one they inherit the sequence's, as every
    // element of this format does (the source file's rate describes the file, not the item).
    XMLRate mediaRate = rate(item).value_or(sequenceRate);
    std::optional<ClipTiming> t = timing(item, sequenceRate, mediaRate, before, after);
    if (!t) {
        ++state.unreadableClips;
        return std::nullopt;
    }
    if (countsSequenceFrames(item, *t, sequenceRate, mediaRate)) {
        mediaRate = sequenceRate;
        t = timing(item, sequenceRate, mediaRate, before, after);
        if (!t) {
            ++state.unreadableClips;
            return std::nullopt;
        }
        ++state.sequenceRateClips;
    }

    ParsedClip clip;
    clip.fileID = record->first;
    clip.enabled = xmlBool(text(item, "enabled"), true);
    const pugi::xml_attribute id = item.attribute("id");
    clip.xmlID = id ? validUTF8(id.value()) : Uuid::make().toString();
    state.links.add(clip.xmlID);
    for (Element link = item.child("link"); link; link = link.next_sibling("link")) {
        const std::optional<std::string> ref = text(link, "linkclipref");
        // An empty reference names no clip; uniting on it would link every item that carries one.
        if (ref && !ref->empty()) state.links.unite(clip.xmlID, *ref);
    }

    const double mediaFps = mediaRate.fps();
    const double seqFps = sequenceRate.fps();
    EffectContext context;
    context.mediaRate = mediaRate;
    context.inFrame = t->sourceIn;
    context.outFrame = t->windowOut;
    context.frameSize = frameSize;
    context.clock = KeyframeClock{t->startFrame, seqFps, t->windowIn, t->windowOut, t->sourceIn, mediaFps};
    applyEffects(item, context, clip, state.skipped);

    if (auto name = text(item, "name")) clip.name = std::move(*name);
    else clip.name = record->second.name.empty() ? "Clip" : record->second.name;
    clip.start = t->startFrame / seqFps;
    clip.duration = t->duration;
    clip.inPoint = t->sourceIn / mediaFps;

    if (role == TrackRole::audio) {
        if (clip.timeRemap.reversed)
            state.notes.push_back(clip.name + " plays forward: sound clips keep no speed change.");
        clip.motion = ClipMotion{};
        clip.opacity = ScalarParam{1};
        clip.grade = ColorGrade::identity;
        clip.timeRemap = TimeRemap::identity;
    }
    return clip;
}

} // namespace

TrackParse clips(Element track, TrackRole role, const XMLRate& sequenceRate, FrameSize frameSize,
                 const FileTable& files, ImportState& state) {
    struct Item {
        Element element;
        std::optional<std::size_t> transition;
    };
    std::vector<Item> items;
    std::vector<ParsedTransition> transitions;
    for (const Element child : elementChildren(track)) {
        if (std::strcmp(child.name(), "transitionitem") == 0) {
            transitions.push_back(parseTransition(child, sequenceRate, state.skipped));
            items.push_back({child, transitions.size() - 1});
        } else if (std::strcmp(child.name(), "clipitem") == 0)
            items.push_back({child, std::nullopt});
        else if (std::strcmp(child.name(), "generatoritem") == 0)
            ++state.generatorItems;
    }

    TrackParse out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (state.stop.stop_requested()) throw PremiereXMLError::stopped();
        if (items[i].transition) continue;
        const ParsedTransition* before =
            i > 0 && items[i - 1].transition ? &transitions[*items[i - 1].transition] : nullptr;
        const ParsedTransition* after =
            i + 1 < items.size() && items[i + 1].transition ? &transitions[*items[i + 1].transition] : nullptr;
        if (auto clip = parseClipItem(items[i].element, role, sequenceRate, frameSize, files, before, after, state))
            out.clips.push_back(std::move(*clip));
    }
    applyDissolves(out.clips, transitions, sequenceRate);
    out.enabled = xmlBool(text(track, "enabled"), true);
    out.locked = xmlBool(text(track, "locked"), false);
    return out;
}

TimelineClip makeClip(const ParsedClip& parsed, TrackRole role,
                      const std::unordered_map<std::string, Uuid>& mediaByFile,
                      const std::unordered_map<std::string, Uuid>& groups) {
    const auto transition = [](const ClipTransition& t) {
        return t.kind != TransitionKind::none && t.duration > 0.0001 ? t : ClipTransition{};
    };
    TimelineClip c;
    c.id = Uuid::make();
    if (parsed.fileID)
        if (auto it = mediaByFile.find(*parsed.fileID); it != mediaByFile.end()) c.mediaID = it->second;
    c.name = parsed.name;
    c.start = parsed.start;
    c.inPoint = parsed.inPoint;
    c.duration = parsed.duration;
    if (auto it = groups.find(parsed.xmlID); it != groups.end()) c.linkGroup = it->second;
    c.opacity = role == TrackRole::video ? parsed.opacity : ScalarParam{1};
    c.volumeDB = role == TrackRole::audio ? parsed.volumeDB : ScalarParam{0};
    c.grade = parsed.grade;
    c.motion = parsed.motion;
    c.timeRemap = parsed.timeRemap;
    c.incoming = transition(parsed.incomingTransition);
    c.outgoing = transition(parsed.outgoingTransition);
    c.isEnabled = parsed.enabled;
    return c;
}

} // namespace osterveil::premiere_xml
