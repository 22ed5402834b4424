#pragma once

// Declarations shared by the source files of the Final Cut Pro XML importer. Not part of the media API;
// tests include it to reach the lookups that are hard to isolate through a whole document.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <pugixml.hpp>

#include "Model/Project.hpp"

namespace osterveil::premiere_xml {

using Element = pugi::xml_node;
using SkippedSet = std::set<std::string>;

// ---- Text

// Numbers beyond this magnitude are treated as unreadable: no real timeline, size or level comes near
// it, and below it every sum and quotient the importer forms stays finite.
inline constexpr double maxMagnitude = 1e12;

std::string trimmed(std::string_view s);
std::string lowered(std::string_view s);
bool contains(std::string_view haystack, std::string_view needle);
bool isValidUTF8(std::string_view s);
// Invalid byte sequences become U+FFFD, so every name and path can be saved in a project file.
std::string validUTF8(std::string_view s);

// The concatenated text of all the element's descendants, in document order.
std::string stringValue(Element e);
// The first child named `name`: its string value trimmed (empty when it has none); absent without such
// a child.
std::optional<std::string> text(Element e, const char* name);
// Base-10 integer with an optional sign and nothing else; absent on anything else and on overflow.
std::optional<std::int64_t> integer(const std::optional<std::string>& s);
inline std::optional<std::int64_t> integer(Element e, const char* name) { return integer(text(e, name)); }
// A finite floating-point number over the whole text, at most `maxMagnitude` in size; else absent.
std::optional<double> number(const std::optional<std::string>& s);
inline std::optional<double> number(Element e, const char* name) { return number(text(e, name)); }
// "true"/"yes"/"1" and "false"/"no"/"0" in any case, trimmed; `fallback` otherwise.
bool xmlBool(const std::optional<std::string>& s, bool fallback);

std::vector<Element> elementChildren(Element e);
// Pre-order, depth first, the element itself excluded. Iterative: nesting depth is the file's to choose.
// A document of hundreds of megabytes takes a while: `stop` is looked at as the walk goes, and throws
// `PremiereXMLError::stopped` once it is.
std::vector<Element> descendants(Element e, const char* name, const std::stop_token& stop = {});

// ---- Rates and files

struct XMLRate {
    std::int64_t timebase = 24;
    bool ntsc = false;
    // 1 below a timebase of 2 (so never a zero divisor); NTSC only shifts 24, 30 and 60.
    double fps() const;
    bool operator==(const XMLRate&) const = default;
};

// The element's `rate`, else its `format`/`samplecharacteristics`/`rate`.
std::optional<XMLRate> rate(Element e);
// `media`/`video`/`format`/`samplecharacteristics` below the element; a null element when absent.
Element sampleCharacteristics(Element e);

struct FileRecord {
    std::string id;
    std::string name;
    std::optional<std::string> path;
    std::optional<double> durationFrames;
    std::optional<XMLRate> rate;
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool hasVideo = false;
    bool hasAudio = false;

    // "Offline" without a path, "Media" for a path without extension, else the upper-cased extension.
    std::string codecLabel() const;
};

// Keyed by file id, in code-point order of the ids.
using FileTable = std::map<std::string, FileRecord>;

// Every `file` element of the document, merged by id (a file is defined once and referenced later).
FileTable fileRecords(Element root, const XMLRate& fallbackRate, const std::stop_token& stop = {});
MediaItem mediaItem(const FileRecord& record, const XMLRate& sequenceRate);

// ---- Clips, links and transitions

struct ParsedTransition {
    double start = 0; // seconds on the sequence timeline
    double end = 0;
    TransitionKind kind = TransitionKind::none;
    TransitionCurve curve = TransitionCurve::linear;
    std::string alignment = "center";
    std::string name;
    // Where the picture changes from the outgoing to the incoming clip, in sequence frames; absent when
    // the item's start or end could not be read. A clip edge written as -1 lies here.
    std::optional<double> cutFrame;
    double startFrame = 0; // sequence frames
};

struct ParsedClip {
    std::string xmlID;
    std::string name;
    std::optional<std::string> fileID;
    double start = 0; // seconds on the timeline
    double duration = 0;
    double inPoint = 0; // seconds of source
    bool enabled = true;
    ScalarParam opacity{1};
    ScalarParam volumeDB{0};
    ClipMotion motion;
    ColorGrade grade;
    TimeRemap timeRemap;
    ClipTransition outgoingTransition;
    ClipTransition incomingTransition;

    double end() const { return start + duration; }
};

struct TrackParse {
    std::vector<ParsedClip> clips; // document order
    bool enabled = true;
    bool locked = false;
};

class UnionFind {
public:
    void add(const std::string& x);
    std::string find(const std::string& x);
    void unite(const std::string& x, const std::string& y);
    // Root to members; path compression keeps this linear however the unions were chained. Throws
    // `PremiereXMLError::stopped` once `stop` is.
    std::unordered_map<std::string, std::vector<std::string>> groups(const std::stop_token& stop = {});

private:
    std::unordered_map<std::string, std::string> parent_;
};

// One shared id for every group of two or more linked clip items.
std::unordered_map<std::string, Uuid> linkGroups(UnionFind& links, const std::stop_token& stop = {});

// The state of one import that the per-track parses add to.
struct ImportState {
    SkippedSet skipped;
    UnionFind links;
    std::vector<std::string> notes;
    int unreadableClips = 0; // clip items dropped because their file or timing could not be used
    int generatorItems = 0;  // titles, mattes and other generated media, which have no file to import
    int sequenceRateClips = 0; // clip items read at the sequence's rate because their own did not fit them
    std::stop_token stop;      // looked at for every clip item
};

struct FrameSize {
    std::int64_t width = 1920;
    std::int64_t height = 1080;
};

TrackParse clips(Element track, TrackRole role, const XMLRate& sequenceRate, FrameSize frameSize,
                 const FileTable& files, ImportState& state);
TimelineClip makeClip(const ParsedClip& parsed, TrackRole role,
                      const std::unordered_map<std::string, Uuid>& mediaByFile,
                      const std::unordered_map<std::string, Uuid>& groups);

ParsedTransition parseTransition(Element item, const XMLRate& rate, SkippedSet& skipped);
std::optional<std::pair<TransitionKind, TransitionCurve>> audioTransition(std::string_view name,
                                                                          std::string_view id);
bool isCrossDissolve(std::string_view name, std::string_view id);
void applyDissolves(std::vector<ParsedClip>& clips, const std::vector<ParsedTransition>& transitions,
                    const XMLRate& rate);

// Sorted views of one track's clips that answer the edge lookups of `applyDissolves` in logarithmic
// time, with the same answers as a scan of the list in order (ties go to the earlier clip).
class ClipEdgeIndex {
public:
    explicit ClipEdgeIndex(const std::vector<ParsedClip>& clips);
    // The clip that ends within max(0.05 s, 2 frames) of t, or runs through t (starts before t, ends
    // no earlier than a frame before it); the greatest end wins.
    std::optional<std::size_t> endingNear(double t, double frame) const;
    // The clip whose start lies within max(0.05 s, 2 frames) of t; the nearest start wins.
    std::optional<std::size_t> startingNear(double t, double frame) const;
    // The clip with the greatest end in (lo, hi].
    std::optional<std::size_t> latestEndIn(double lo, double hi) const;
    // The clip with the smallest start in [lo, hi).
    std::optional<std::size_t> earliestStartIn(double lo, double hi) const;

private:
    struct Edge {
        double time;
        std::size_t index;
    };
    std::vector<Edge> byStart_;     // start ascending, then index ascending
    std::vector<Edge> byEnd_;       // end ascending, then index descending
    std::vector<Edge> longestUpTo_; // for each prefix of byStart_, its clip with the greatest end
};

// ---- Effects

// Where a clip item's source frames and sequence frames meet, for keyframe times.
struct KeyframeClock {
    double clipStartFrames = 0;  // sequence frames
    double sequenceFps = 24;
    double windowIn = 0;         // the item's `in` and `out`, media frames
    double windowOut = 0;
    double sourceAtClipStart = 0; // media frames shown at the clip's first frame
    double mediaFps = 24;
};

struct EffectContext {
    XMLRate mediaRate;
    double inFrame = 0;  // source in and out, media frames, for the speed window
    double outFrame = 0;
    FrameSize frameSize;
    KeyframeClock clock;
};

std::vector<Element> effects(Element clipitem);
// Runs every effect of the clip item into the parsed clip; what is not understood goes to `skipped`.
void applyEffects(Element clipitem, const EffectContext& context, ParsedClip& clip, SkippedSet& skipped);

bool isTimeRemap(std::string_view name, std::string_view id);
bool isColorEffect(std::string_view name, std::string_view id);
bool isMotion(std::string_view name, std::string_view id);
bool isAudioLevel(std::string_view name, std::string_view id);
Element parameter(std::initializer_list<std::string_view> names, Element effect);
TimeRemap parseTimeRemap(Element effect, const XMLRate& rate, double inFrame, double outFrame);
std::vector<std::string> absorbColor(Element effect, ColorGrade& grade);
bool applyColorValue(std::string_view key, double value, ColorGrade& grade);
std::optional<std::string> lutPath(Element parameter);
ClipMotion motionParameters(Element effect, FrameSize frameSize);
std::optional<ScalarParam> scalar(Element parameter, bool percent, const KeyframeClock& clock);
std::optional<ScalarParam> audioLevel(Element parameter, const KeyframeClock& clock);

} // namespace osterveil::premiere_xml
