#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Base64.hpp"
#include "CowVector.hpp"
#include "EnumText.hpp"
#include "FrameRate.hpp"
#include "Hashing.hpp"
#include "Parameters.hpp"
#include "TimeRemap.hpp"
#include "Uuid.hpp"

namespace osterveil {

enum class TrackRole { video, audio };
enum class MediaKind { video, audio, image };

// An affine transform: (x, y) maps to (a·x + c·y + tx, b·x + d·y + ty). Default: identity.
struct StoredTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
    bool operator==(const StoredTransform&) const = default;
    std::size_t hashValue() const { return hashing::fields(a, b, c, d, tx, ty); }
};

// One clip on a track. Default-constructed it carries the values of a newly placed clip
// (opacity 1, 0 dB, neutral grade, reset transitions, enabled, neutral motion, no speed change).
struct TimelineClip {
    Uuid id;
    std::optional<Uuid> mediaID;
    std::string name;
    double start = 0;
    double inPoint = 0;
    double duration = 0;
    std::optional<Uuid> linkGroup;
    ScalarParam opacity{1};
    ScalarParam volumeDB{0};
    ColorGrade grade;
    ClipTransition incoming;
    ClipTransition outgoing;
    std::optional<TitleStyle> title;
    bool isEnabled = true;
    ClipMotion motion;
    TimeRemap timeRemap;
    std::optional<Uuid> nestID;

    bool operator==(const TimelineClip&) const = default;
    std::size_t hashValue() const {
        return hashing::fields(id, mediaID, name, start, inPoint, duration, linkGroup, opacity, volumeDB, grade,
                               incoming, outgoing, title, isEnabled, motion, timeRemap, nestID);
    }

    // A title has a style and no media; a nest clip is any clip naming a nested sequence.
    bool isTitle() const { return title.has_value() && !mediaID.has_value(); }
    bool isNest() const { return nestID.has_value(); }
};

struct Track {
    Uuid id;
    TrackRole role = TrackRole::video;
    std::string name;
    CowVector<TimelineClip> clips; // not kept in time order
    bool isMuted = false;
    bool isHidden = false;
    bool isLocked = false;
    bool isSolo = false;
    bool isTargeted = true;

    bool operator==(const Track&) const = default;
    std::size_t hashValue() const {
        return hashing::fields(id, role, name, clips, isMuted, isHidden, isLocked, isSolo, isTargeted);
    }

    // A new empty track with a fresh id and the default switches (targeted, nothing else set).
    static Track make(TrackRole role, std::string name);

    // The clips by ascending start; clips with equal starts keep their list order.
    std::vector<TimelineClip> sortedClips() const;
};

struct SequenceMarker {
    Uuid id;
    double time = 0;
    std::string name;
    double duration = 0;
    bool operator==(const SequenceMarker&) const = default;
    std::size_t hashValue() const { return hashing::fields(id, time, name, duration); }
};

struct MarkedRange {
    double start = 0;
    double end = 0;
    bool operator==(const MarkedRange&) const = default;
};

struct Sequence {
    Uuid id;
    std::string name;
    std::int64_t width = 1920;
    std::int64_t height = 1080;
    FrameRate frameRate{24, 1};
    CowVector<Track> tracks; // video tracks V1, V2, … first, then audio tracks A1, A2, …
    std::optional<double> inPoint;
    std::optional<double> outPoint;
    double previewScale = 0.5;
    CowVector<SequenceMarker> markers;

    bool operator==(const Sequence&) const = default;
    std::size_t hashValue() const {
        return hashing::fields(id, name, width, height, frameRate, tracks, inPoint, outPoint, previewScale,
                               markers);
    }

    // "Sequence 01", 1920×1080 at 24 fps, preview at half size, empty targeted tracks V1–V3 and A1–A3.
    static Sequence makeNew();

    // Lookups search the tracks in order and each track's clips in list order; the first match wins.
    // Ids are taken by value here and in the editing operations: callers pass ids that live inside the
    // very clip or track being changed.
    std::optional<TimelineClip> clip(Uuid id) const;
    std::optional<Track> trackContaining(Uuid clipID) const;
    // Edits the first clip with that id in place; nothing happens when there is none.
    void updateClip(Uuid id, const std::function<void(TimelineClip&)>& edit);

    // The end of the last clip on any track, enabled or not; 0 without clips.
    double duration() const;
    // In point (or 0) to out point (or the duration), when the end lies more than half a frame after the start.
    std::optional<MarkedRange> markedRange() const;
    // Top row first: video tracks from the last to V1, then audio tracks from A1.
    std::vector<Track> displayTracks() const;

    void addVideoTrack();
    void addAudioTrack();
    // Removes an empty track whose role keeps at least one other track.
    void removeTrack(Uuid id);
};

struct MediaItem {
    Uuid id;
    std::string name;
    MediaKind kind = MediaKind::video;
    std::string path;
    std::optional<std::string> relativePath;
    std::optional<Bytes> bookmark;
    double duration = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    double nominalFrameRate = 0;
    std::string codec;
    bool hasVideo = false;
    bool hasAudio = false;
    StoredTransform transform;

    bool operator==(const MediaItem&) const = default;
    std::size_t hashValue() const {
        return hashing::fields(id, name, kind, path, relativePath, bookmark, duration, width, height,
                               nominalFrameRate, codec, hasVideo, hasAudio, transform);
    }

    // Where the file is now: next to the project by `relativePath`, else at `path`; none when neither exists.
    // Bookmarks are kept for the file's sake but cannot be resolved on this platform.
    std::optional<std::filesystem::path> resolveURL(const std::optional<std::filesystem::path>& projectURL) const;
    // The places `resolveURL` looks, in its order, whether a file is there or not.
    std::vector<std::filesystem::path>
    lookupPaths(const std::optional<std::filesystem::path>& projectURL) const;
};

struct NestedSequence {
    Uuid id;
    std::string name;
    Sequence sequence;
    bool operator==(const NestedSequence&) const = default;
    std::size_t hashValue() const { return hashing::fields(id, name, sequence); }
};

// The document: the bin, the one sequence and the nested sequences that nest clips play.
struct Project {
    std::int64_t fileVersion = 1;
    std::string name = "Untitled";
    CowVector<MediaItem> media;
    Sequence sequence;
    CowVector<NestedSequence> nests;

    bool operator==(const Project&) const = default;

    std::optional<MediaItem> mediaItem(Uuid id) const;

    // The latest time a project holds, in seconds: a day, where the sequence's timecode comes round.
    static constexpr double longestTime = 86400;
    // Holds every stored time and length within `longestTime`: clips (start, in point, and end),
    // media lengths, in and out points and markers, of the sequence and of every nest. A project
    // saved while a file's header claimed years of media would otherwise play and export for that
    // long. Returns whether anything changed.
    bool boundTimes();

    // Reads a project file. Throws `DecodingError` when the bytes are not a project of this format,
    // `ProjectError` when they are but of a version this program does not open.
    static Project decode(std::string_view data);
    // The same, telling how far it has got (0…1) from the threads that read it, about a hundred
    // times; what `progress` throws ends the decoding and passes on to the caller.
    static Project decode(std::string_view data, const std::function<void(double)>& progress);
    // Writes the project file; throws `EncodingError` when the value cannot be written (a non-finite number).
    std::string encode() const;
};

// Called by every thread of a project's parallel encoding and decoding between its pieces: a place
// where the program may hold that thread back a moment, for its window's turns. None by default.
void setCodingPause(void (*pause)());

// The file is not JSON of the project's shape. The message names the place for the log; users see
// `ProjectError::corrupt()` instead.
class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class EncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The errors of reading a project file that the reader reports itself (after a complete decode).
class ProjectError : public std::exception {
public:
    enum class Kind { newerFile, corrupt, tooLarge };

    static ProjectError newerFile(std::int64_t fileVersion) { return ProjectError(Kind::newerFile, fileVersion); }
    static ProjectError corrupt() { return ProjectError(Kind::corrupt, 0); }
    // A file that starts like a project but is larger than any this program opens.
    static ProjectError tooLarge() { return ProjectError(Kind::tooLarge, 0); }

    Kind kind() const { return kind_; }
    // The file's version, for `newerFile`.
    std::int64_t fileVersion() const { return fileVersion_; }
    const std::string& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const ProjectError& o) const { return kind_ == o.kind_ && fileVersion_ == o.fileVersion_; }

private:
    ProjectError(Kind kind, std::int64_t version);

    Kind kind_;
    std::int64_t fileVersion_;
    std::string description_;
};

template <> struct EnumText<TrackRole> {
    static constexpr std::array<std::pair<TrackRole, std::string_view>, 2> cases{
        {{TrackRole::video, "video"}, {TrackRole::audio, "audio"}}};
};
template <> struct EnumText<MediaKind> {
    static constexpr std::array<std::pair<MediaKind, std::string_view>, 3> cases{
        {{MediaKind::video, "video"}, {MediaKind::audio, "audio"}, {MediaKind::image, "image"}}};
};

} // namespace osterveil

OSTERVEIL_STD_HASH(osterveil::StoredTransform)
OSTERVEIL_STD_HASH(osterveil::TimelineClip)
OSTERVEIL_STD_HASH(osterveil::Track)
OSTERVEIL_STD_HASH(osterveil::SequenceMarker)
OSTERVEIL_STD_HASH(osterveil::Sequence)
OSTERVEIL_STD_HASH(osterveil::MediaItem)
OSTERVEIL_STD_HASH(osterveil::NestedSequence)
