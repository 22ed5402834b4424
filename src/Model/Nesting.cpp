#include "Nesting.hpp"

#include <algorithm>
#include <unordered_map>

#include "EditingSupport.hpp"
#include "TimelineEditing.hpp"

namespace osterveil::Nesting {

using namespace editing;

namespace {

constexpr int kMaxDepth = 9;

TimelineClip makeNestClip(const Uuid& nestID, double start, double duration, const std::optional<Uuid>& group) {
    TimelineClip c;
    c.id = Uuid::make();
    c.name = "Nested Sequence";
    c.start = start;
    c.inPoint = 0;
    c.duration = duration;
    c.linkGroup = group;
    c.nestID = nestID;
    return c;
}

using NestIndex = std::unordered_map<Uuid, const NestedSequence*>;

Sequence flattenWith(const Sequence& sequence, const NestIndex& index, int depth, std::vector<Uuid>& open);

} // namespace

bool trackPlays(const Sequence& sequence, const Track& track) {
    if (track.isHidden || track.isMuted) return false;
    const bool anySolo = std::any_of(sequence.tracks.begin(), sequence.tracks.end(),
                                     [&](const Track& t) { return t.role == track.role && t.isSolo; });
    return !anySolo || track.isSolo;
}

std::optional<Uuid> openTrack(Sequence& sequence, TrackRole role, double start, double duration) {
    auto isFree = [&](const Track& t) {
        if (t.role != role || t.isLocked) return false;
        return std::none_of(t.clips.begin(), t.clips.end(), [&](const TimelineClip& c) {
            return c.start + c.duration - TimelineEditing::epsilon > start &&
                   c.start + TimelineEditing::epsilon < start + duration;
        });
    };
    const auto& tracks = sequence.tracks;
    if (role == TrackRole::video) {
        for (std::size_t i = tracks.size(); i > 0; --i)
            if (isFree(tracks[i - 1])) return tracks[i - 1].id;
    } else {
        for (const auto& t : tracks)
            if (isFree(t)) return t.id;
    }
    if (role == TrackRole::video) sequence.addVideoTrack();
    else sequence.addAudioTrack();
    for (std::size_t i = sequence.tracks.size(); i > 0; --i)
        if (sequence.tracks[i - 1].role == role) return sequence.tracks[i - 1].id;
    return std::nullopt;
}

UuidSet makeNest(Project& project, const UuidSet& clipIDs) {
    const Sequence seq = project.sequence;

    struct Picked {
        TimelineClip clip;
        std::size_t track;
    };
    std::vector<Picked> picked;
    std::vector<std::pair<ClipLocation, Uuid>> order;
    for (const auto& [id, loc] : findClips(seq, clipIDs)) order.emplace_back(loc, id);
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
        return a.first.track != b.first.track ? a.first.track < b.first.track : a.first.clip < b.first.clip;
    });
    for (const auto& [loc, id] : order) {
        if (seq.tracks[loc.track].isLocked) continue;
        picked.push_back({seq.tracks[loc.track].clips[loc.clip], loc.track});
    }
    if (picked.empty()) return {};

    double earliest = picked.front().clip.start, latest = picked.front().clip.start + picked.front().clip.duration;
    for (const auto& p : picked) {
        earliest = std::min(earliest, p.clip.start);
        latest = std::max(latest, p.clip.start + p.clip.duration);
    }
    const double f = TimelineEditing::frameDuration(seq.frameRate);
    if (latest - earliest < 0.5 * f) return {};

    Sequence inner;
    inner.id = Uuid::make();
    inner.name = "Nested";
    inner.width = seq.width;
    inner.height = seq.height;
    inner.frameRate = seq.frameRate;
    inner.previewScale = seq.previewScale;
    for (std::size_t t = 0; t < seq.tracks.size(); ++t) {
        Track track = seq.tracks[t];
        track.id = Uuid::make();
        track.clips.clear();
        for (const auto& p : picked) {
            if (p.track != t) continue;
            TimelineClip c = p.clip;
            c.start -= earliest;
            track.clips.push_back(std::move(c));
        }
        inner.tracks.push_back(std::move(track));
    }

    NestedSequence nest{Uuid::make(), "Nested Sequence", std::move(inner)};
    const Uuid nestID = nest.id;
    project.nests.push_back(std::move(nest));

    UuidSet pickedIDs;
    bool hasVideo = false, hasAudio = false;
    for (const auto& p : picked) {
        pickedIDs.insert(p.clip.id);
        (seq.tracks[p.track].role == TrackRole::video ? hasVideo : hasAudio) = true;
    }
    const IdFilter doomed(pickedIDs);
    for (std::size_t t = 0; t < project.sequence.tracks.size(); ++t) {
        const auto& clips = project.sequence.tracks[t].clips;
        if (std::any_of(clips.begin(), clips.end(), [&](const TimelineClip& c) { return doomed.contains(c.id); }))
            project.sequence.tracks.mut(t).clips.removeIf([&](const TimelineClip& c) { return doomed.contains(c.id); });
    }

    const std::optional<Uuid> group = hasVideo && hasAudio ? std::optional(Uuid::make()) : std::nullopt;
    const double start = TimelineEditing::snap(std::max(0.0, earliest), project.sequence.frameRate);
    const double duration = std::max(f, TimelineEditing::snap(latest - earliest, project.sequence.frameRate));

    UuidSet result;
    for (TrackRole role : {TrackRole::video, TrackRole::audio}) {
        if (!(role == TrackRole::video ? hasVideo : hasAudio)) continue;
        const auto trackID = openTrack(project.sequence, role, start, duration);
        if (!trackID) continue;
        const auto ti = findTrack(project.sequence, *trackID);
        if (!ti) continue;
        TimelineClip clip = makeNestClip(nestID, start, duration, group);
        result.insert(clip.id);
        project.sequence.tracks.mut(*ti).clips.push_back(std::move(clip));
    }
    return result;
}

std::vector<std::vector<TimelineClip>> windowedLayers(const TimelineClip& clip, const Sequence& nested,
                                                      TrackRole role) {
    const double windowStart = clip.inPoint;
    const double windowEnd = clip.inPoint + clip.duration;
    const double offset = clip.start - clip.inPoint;
    const double minimum = 0.25 * nested.frameRate.frameDuration();

    std::vector<std::vector<TimelineClip>> layers;
    for (const auto& track : nested.tracks) {
        // Inner tracks follow the same switches as the tracks of the sequence that plays them.
        if (track.role != role || !trackPlays(nested, track)) continue;
        std::vector<TimelineClip> layer;
        for (const auto& inner : track.sortedClips()) {
            if (!inner.isEnabled) continue;
            const double from = std::max(inner.start, windowStart);
            const double to = std::min(inner.start + inner.duration, windowEnd);
            if (!(to - from > minimum)) continue;
            TimelineClip piece = inner;
            piece.id = Uuid::make();
            piece.start = offset + from;
            piece.duration = to - from;
            if (!inner.isTitle()) retime(piece, inner, from - inner.start, piece.duration, track.role);
            piece.nestID.reset();
            layer.push_back(std::move(piece));
        }
        if (!layer.empty()) layers.push_back(std::move(layer));
    }
    return layers;
}

namespace {

Sequence flattenWith(const Sequence& sequence, const NestIndex& index, int depth, std::vector<Uuid>& open) {
    if (depth >= kMaxDepth) return sequence;
    Sequence out = sequence;
    std::vector<Track> extraVideo, extraAudio;

    for (std::size_t t = 0; t < sequence.tracks.size(); ++t) {
        const Track& track = sequence.tracks[t];
        const auto sorted = track.sortedClips();
        const bool hasNests = std::any_of(sorted.begin(), sorted.end(), [&](const TimelineClip& c) {
            return c.isEnabled && c.nestID && index.count(*c.nestID);
        });
        if (!hasNests) {
            if (!std::is_sorted(track.clips.begin(), track.clips.end(),
                                [](const TimelineClip& a, const TimelineClip& b) { return a.start < b.start; }))
                out.tracks.mut(t).clips = CowVector<TimelineClip>(sorted);
            continue;
        }
        std::vector<TimelineClip> clips;
        for (const auto& c : sorted) {
            if (!c.isEnabled || !c.nestID || !index.count(*c.nestID)) {
                clips.push_back(c);
                continue;
            }
            const NestedSequence& nest = *index.at(*c.nestID);
            // A nest inside itself, at any depth, would repeat the same expansion level after level.
            if (std::find(open.begin(), open.end(), nest.id) != open.end()) continue;
            open.push_back(nest.id);
            const Sequence inner = flattenWith(nest.sequence, index, depth + 1, open);
            open.pop_back();
            auto layers = windowedLayers(c, inner, track.role);
            for (std::size_t l = 0; l < layers.size(); ++l) {
                if (l == 0) {
                    for (auto& piece : layers[l]) clips.push_back(std::move(piece));
                    continue;
                }
                Track extra = track;
                extra.id = Uuid::make();
                extra.name = nest.name;
                extra.clips = CowVector<TimelineClip>(layers[l]);
                (track.role == TrackRole::video ? extraVideo : extraAudio).push_back(std::move(extra));
            }
        }
        out.tracks.mut(t).clips = CowVector<TimelineClip>(clips);
    }

    if (!extraVideo.empty()) {
        std::size_t at = 0;
        for (std::size_t i = out.tracks.size(); i > 0; --i)
            if (out.tracks[i - 1].role == TrackRole::video) {
                at = i;
                break;
            }
        for (auto& extra : extraVideo) out.tracks.insert(at++, std::move(extra));
    }
    for (auto& extra : extraAudio) out.tracks.push_back(std::move(extra));
    return out;
}

} // namespace

Sequence flatten(const Sequence& sequence, const CowVector<NestedSequence>& nests, int depth) {
    NestIndex index;
    for (const auto& n : nests) index.try_emplace(n.id, &n);
    std::vector<Uuid> open;
    return flattenWith(sequence, index, depth, open);
}

} // namespace osterveil::Nesting
