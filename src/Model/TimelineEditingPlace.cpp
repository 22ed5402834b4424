// Placing media and titles.

#include "EditingSupport.hpp"
#include "Numeric.hpp"
#include "TimelineEditing.hpp"

namespace osterveil::TimelineEditing {

using namespace editing;

namespace {

std::optional<std::size_t> destinationIndex(const Sequence& sequence, const std::optional<Uuid>& preferred,
                                            TrackRole role) {
    const auto& tracks = sequence.tracks;
    if (preferred) {
        for (std::size_t i = 0; i < tracks.size(); ++i)
            if (tracks[i].id == *preferred && tracks[i].role == role && !tracks[i].isLocked) return i;
    }
    for (std::size_t i = 0; i < tracks.size(); ++i)
        if (tracks[i].role == role && tracks[i].isTargeted && !tracks[i].isLocked) return i;
    for (std::size_t i = 0; i < tracks.size(); ++i)
        if (tracks[i].role == role && !tracks[i].isLocked) return i;
    return std::nullopt;
}

// A negative or NaN time places at 0.
double placementTime(double t, const FrameRate& rate) { return snap(t > 0 ? t : 0, rate); }

TimelineClip makeClip(const MediaItem& media, double start, double inPoint, double duration,
                      const std::optional<Uuid>& group) {
    TimelineClip c;
    c.id = Uuid::make();
    c.mediaID = media.id;
    c.name = media.name;
    c.start = start;
    c.inPoint = inPoint;
    c.duration = duration;
    c.linkGroup = group;
    return c;
}

enum class Room { ripple, overwrite };

InsertResult place(Sequence& sequence, const MediaItem& media, double t, const std::optional<Uuid>& trackID,
                   bool linkAudio, const SourceSpan& span, Room room) {
    const TrackRole role = media.kind == MediaKind::audio ? TrackRole::audio : TrackRole::video;
    const auto primary = destinationIndex(sequence, trackID, role);
    if (!primary) return {};

    const double f = frameDuration(sequence.frameRate);
    t = placementTime(t, sequence.frameRate);
    const double length = atLeast(snap(span.duration, sequence.frameRate), f);
    const double sourceStart = atLeast(span.inPoint, 0);

    InsertResult result;
    std::optional<std::size_t> sound;
    if (media.kind == MediaKind::video && linkAudio && media.hasAudio) {
        sound = destinationIndex(sequence, std::nullopt, TrackRole::audio);
        result.audioSkipped = !sound;
    }

    const Uuid primaryID = sequence.tracks[*primary].id;
    const std::optional<Uuid> soundID = sound ? std::optional(sequence.tracks[*sound].id) : std::nullopt;
    if (room == Room::ripple) {
        std::vector<Uuid> ids{primaryID};
        if (soundID) ids.push_back(*soundID);
        rippleOpen(sequence, ids, t, length);
    } else {
        carve(sequence, primaryID, t, length);
        if (soundID) carve(sequence, *soundID, t, length);
    }

    const Uuid group = Uuid::make();
    const std::optional<Uuid> link = soundID ? std::optional(group) : std::nullopt;
    TimelineClip picture = makeClip(media, t, sourceStart, length, link);
    result.placedIDs.insert(picture.id);
    if (soundID) {
        TimelineClip audio = makeClip(media, t, sourceStart, length, link);
        result.placedIDs.insert(audio.id);
        if (auto idx = findTrack(sequence, *soundID)) sequence.tracks.mut(*idx).clips.push_back(std::move(audio));
    }
    if (auto idx = findTrack(sequence, primaryID)) sequence.tracks.mut(*idx).clips.push_back(std::move(picture));
    return result;
}

} // namespace

std::optional<Track> destinationTrack(const Sequence& sequence, std::optional<Uuid> preferred,
                                      TrackRole role) {
    if (auto i = destinationIndex(sequence, preferred, role)) return sequence.tracks[*i];
    return std::nullopt;
}

InsertResult rippleInsert(Sequence& sequence, const MediaItem& media, double t, std::optional<Uuid> trackID,
                          bool linkAudio, const SourceSpan& span) {
    return place(sequence, media, t, trackID, linkAudio, span, Room::ripple);
}

InsertResult overwrite(Sequence& sequence, const MediaItem& media, double t, std::optional<Uuid> trackID,
                       bool linkAudio, const SourceSpan& span) {
    return place(sequence, media, t, trackID, linkAudio, span, Room::overwrite);
}

std::optional<Uuid> insertTitle(Sequence& sequence, double t, std::optional<Uuid> trackID) {
    std::optional<Uuid> preferred = trackID;
    if (!preferred) {
        for (std::size_t i = sequence.tracks.size(); i > 0; --i) {
            const Track& tr = sequence.tracks[i - 1];
            if (tr.role == TrackRole::video && !tr.isLocked) {
                preferred = tr.id;
                break;
            }
        }
    }
    const auto index = destinationIndex(sequence, preferred, TrackRole::video);
    if (!index) return std::nullopt;

    t = placementTime(t, sequence.frameRate);
    const double length = snap(5.0, sequence.frameRate);
    const Uuid trackUuid = sequence.tracks[*index].id;
    rippleOpen(sequence, {trackUuid}, t, length);

    TimelineClip title;
    title.id = Uuid::make();
    title.name = "Title";
    title.start = t;
    title.inPoint = 0;
    title.duration = length;
    title.title = TitleStyle{};
    const Uuid id = title.id;
    if (auto idx = findTrack(sequence, trackUuid)) sequence.tracks.mut(*idx).clips.push_back(std::move(title));
    return id;
}

void rippleOpen(Sequence& sequence, const std::vector<Uuid>& trackIDs, double t, double d) {
    const double f = frameDuration(sequence.frameRate);
    UuidSet cut;
    for (const auto& trackID : trackIDs) {
        const auto ti = findTrack(sequence, trackID);
        if (!ti || sequence.tracks[*ti].isLocked) continue;
        const TrackRole role = sequence.tracks[*ti].role;
        const auto& clips = sequence.tracks[*ti].clips;
        for (std::size_t ci = 0; ci < clips.size(); ++ci) {
            const TimelineClip& c = clips[ci];
            const double end = c.start + c.duration;
            if (!(c.start < t - epsilon && end > t + epsilon)) continue;
            if (c.start + f / 2 < t && end - f / 2 > t) {
                cut.insert(c.id);
            } else if (t - c.start <= f / 2) {
                // The time falls inside the clip's first half frame: its head goes instead of a sliver.
                const TimelineClip whole = c;
                TimelineClip& m = sequence.tracks.mut(*ti).clips.mut(ci);
                const double offset = t - whole.start;
                m.duration = whole.duration - offset;
                m.start = t;
                if (!whole.isTitle()) retime(m, whole, offset, m.duration, role);
            } else {
                const TimelineClip whole = c;
                TimelineClip& m = sequence.tracks.mut(*ti).clips.mut(ci);
                m.duration = t - whole.start;
                if (!whole.isTitle()) retime(m, whole, 0, m.duration, role);
            }
        }
    }
    if (!cut.empty()) splitOnly(sequence, cut, t);

    for (const auto& trackID : trackIDs) {
        const auto ti = findTrack(sequence, trackID);
        if (!ti || sequence.tracks[*ti].isLocked) continue;
        const auto& clips = sequence.tracks[*ti].clips;
        for (std::size_t ci = 0; ci < clips.size(); ++ci)
            if (clips[ci].start >= t - epsilon) sequence.tracks.mut(*ti).clips.mut(ci).start += d;
    }
}

void carve(Sequence& sequence, Uuid trackID, double a, double d) {
    const auto ti = findTrack(sequence, trackID);
    if (!ti || sequence.tracks[*ti].isLocked) return;
    const TrackRole role = sequence.tracks[*ti].role;
    const double b = a + d;

    const auto& clips = sequence.tracks[*ti].clips;
    bool changed = false;
    for (const auto& c : clips) {
        const double s = c.start, e = c.start + c.duration;
        if ((!(e <= a + epsilon) && !(s >= b - epsilon)) || !(c.duration > epsilon)) {
            changed = true;
            break;
        }
    }
    if (!changed) return;

    auto headTrimmed = [&](const TimelineClip& c, double newStart) {
        TimelineClip piece = c;
        const double offset = newStart - c.start;
        piece.start = newStart;
        piece.duration = c.duration - offset;
        piece.incoming = ClipTransition{};
        if (c.isTitle()) piece.inPoint = 0;
        else retime(piece, c, offset, piece.duration, role);
        return piece;
    };
    auto tailTrimmed = [&](const TimelineClip& c, double newEnd) {
        TimelineClip piece = c;
        piece.duration = newEnd - c.start;
        piece.outgoing = ClipTransition{};
        if (!c.isTitle()) retime(piece, c, 0, piece.duration, role);
        return piece;
    };

    sequence.tracks.mut(*ti).clips.rebuild([&](auto& out) {
        auto add = [&](TimelineClip piece) {
            if (piece.duration > epsilon) out.add(std::move(piece));
        };
        for (std::size_t i = 0; i < clips.size(); ++i) {
            const TimelineClip& c = clips[i];
            const double s = c.start, e = c.start + c.duration;
            if (e <= a + epsilon || s >= b - epsilon) {
                if (c.duration > epsilon) out.keep(i);
            } else if (s < a - epsilon && e > b + epsilon) {
                add(tailTrimmed(c, a));
                TimelineClip right = headTrimmed(c, b);
                right.id = Uuid::make();
                add(std::move(right));
            } else if (s < a - epsilon) {
                add(tailTrimmed(c, a));
            } else if (e > b + epsilon) {
                add(headTrimmed(c, b));
            }
        }
    });
}

} // namespace osterveil::TimelineEditing
