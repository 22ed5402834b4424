#include "Project.hpp"

#include <algorithm>

namespace osterveil {

namespace {

std::string describe(ProjectError::Kind kind, std::int64_t version) {
    switch (kind) {
    case ProjectError::Kind::newerFile:
        return "This project was saved by a newer Osterveil (file version " + std::to_string(version) + ").";
    case ProjectError::Kind::tooLarge:
        return "This project is too large to open: Osterveil opens project files of up to 1 GB.";
    case ProjectError::Kind::corrupt:
        break;
    }
    return "This file is not a Pellmar Studio project.";
}

} // namespace

ProjectError::ProjectError(Kind kind, std::int64_t version)
    : kind_(kind), fileVersion_(version), description_(describe(kind, version)) {}

} // namespace osterveil

namespace osterveil {

namespace {

std::size_t countRole(const CowVector<Track>& tracks, TrackRole role) {
    std::size_t n = 0;
    for (const auto& t : tracks)
        if (t.role == role) ++n;
    return n;
}

} // namespace

Track Track::make(TrackRole role, std::string name) {
    Track t;
    t.id = Uuid::make();
    t.role = role;
    t.name = std::move(name);
    return t;
}

std::vector<TimelineClip> Track::sortedClips() const {
    auto out = clips.toVector();
    std::stable_sort(out.begin(), out.end(),
                     [](const TimelineClip& a, const TimelineClip& b) { return a.start < b.start; });
    return out;
}

Sequence Sequence::makeNew() {
    Sequence s;
    s.id = Uuid::make();
    s.name = "Sequence 01";
    s.width = 1920;
    s.height = 1080;
    s.frameRate = FrameRate{24, 1};
    for (const char* n : {"V1", "V2", "V3"}) s.tracks.push_back(Track::make(TrackRole::video, n));
    for (const char* n : {"A1", "A2", "A3"}) s.tracks.push_back(Track::make(TrackRole::audio, n));
    s.previewScale = 0.5;
    return s;
}

std::optional<TimelineClip> Sequence::clip(Uuid id) const {
    for (const auto& t : tracks)
        for (const auto& c : t.clips)
            if (c.id == id) return c;
    return std::nullopt;
}

std::optional<Track> Sequence::trackContaining(Uuid clipID) const {
    for (const auto& t : tracks)
        for (const auto& c : t.clips)
            if (c.id == clipID) return t;
    return std::nullopt;
}

void Sequence::updateClip(Uuid id, const std::function<void(TimelineClip&)>& edit) {
    for (std::size_t ti = 0; ti < tracks.size(); ++ti) {
        const auto& clips = tracks[ti].clips;
        for (std::size_t ci = 0; ci < clips.size(); ++ci) {
            if (clips[ci].id == id) {
                edit(tracks.mut(ti).clips.mut(ci));
                return;
            }
        }
    }
}

double Sequence::duration() const {
    double end = 0;
    bool any = false;
    for (const auto& t : tracks)
        for (const auto& c : t.clips) {
            const double e = c.start + c.duration;
            if (!any || e > end) end = e;
            any = true;
        }
    return any ? end : 0;
}

std::optional<MarkedRange> Sequence::markedRange() const {
    const double start = inPoint.value_or(0);
    const double end = outPoint ? *outPoint : duration();
    // denominator / numerator, guarded against a rate that would divide by zero.
    const double halfFrame = frameRate.frameDuration() * 0.5;
    if (end > start + halfFrame) return MarkedRange{start, end};
    return std::nullopt;
}

std::vector<Track> Sequence::displayTracks() const {
    std::vector<Track> out;
    out.reserve(tracks.size());
    for (auto it = tracks.end(); it != tracks.begin();) {
        --it;
        if (it->role == TrackRole::video) out.push_back(*it);
    }
    for (const auto& t : tracks)
        if (t.role == TrackRole::audio) out.push_back(t);
    return out;
}

void Sequence::addVideoTrack() {
    const std::size_t n = countRole(tracks, TrackRole::video);
    Track track = Track::make(TrackRole::video, "V" + std::to_string(n + 1));
    std::size_t index = 0;
    for (std::size_t i = tracks.size(); i > 0; --i) {
        if (tracks[i - 1].role == TrackRole::video) {
            index = i;
            break;
        }
    }
    tracks.insert(index, std::move(track));
}

void Sequence::addAudioTrack() {
    const std::size_t n = countRole(tracks, TrackRole::audio);
    tracks.push_back(Track::make(TrackRole::audio, "A" + std::to_string(n + 1)));
}

void Sequence::removeTrack(Uuid id) {
    const Track* found = nullptr;
    for (const auto& t : tracks)
        if (t.id == id) {
            found = &t;
            break;
        }
    if (!found) return;
    if (countRole(tracks, found->role) < 2) return;
    if (!found->clips.empty()) return;
    tracks.removeIf([&](const Track& t) { return t.id == id; });
}

std::optional<MediaItem> Project::mediaItem(Uuid id) const {
    for (const auto& m : media)
        if (m.id == id) return m;
    return std::nullopt;
}

namespace {

// Sets `value` to at most `limit`; whether it changed.
bool atMost(double& value, double limit) {
    if (!(value > limit)) return false;
    value = limit;
    return true;
}

bool boundSequenceTimes(Sequence& sequence) {
    constexpr double day = Project::longestTime;
    bool changed = false;
    for (std::size_t t = 0; t < sequence.tracks.size(); ++t)
        for (std::size_t c = 0; c < sequence.tracks[t].clips.size(); ++c) {
            TimelineClip clip = sequence.tracks[t].clips[c];
            bool bounded = atMost(clip.start, day);
            bounded = atMost(clip.inPoint, day) || bounded;
            bounded = atMost(clip.duration, day - clip.start) || bounded;
            if (!bounded) continue;
            sequence.tracks.mut(t).clips.mut(c) = std::move(clip);
            changed = true;
        }
    for (std::optional<double>* point : {&sequence.inPoint, &sequence.outPoint})
        if (*point) changed = atMost(**point, day) || changed;
    for (std::size_t m = 0; m < sequence.markers.size(); ++m) {
        SequenceMarker marker = sequence.markers[m];
        const bool bounded = atMost(marker.time, day);
        if (!(atMost(marker.duration, day - marker.time) || bounded)) continue;
        sequence.markers.mut(m) = std::move(marker);
        changed = true;
    }
    return changed;
}

} // namespace

bool Project::boundTimes() {
    bool changed = boundSequenceTimes(sequence);
    for (std::size_t n = 0; n < nests.size(); ++n) {
        Sequence nested = nests[n].sequence;
        if (boundSequenceTimes(nested)) {
            nests.mut(n).sequence = std::move(nested);
            changed = true;
        }
    }
    for (std::size_t m = 0; m < media.size(); ++m) {
        if (!(media[m].duration > longestTime)) continue;
        media.mut(m).duration = longestTime;
        changed = true;
    }
    return changed;
}

std::vector<std::filesystem::path>
MediaItem::lookupPaths(const std::optional<std::filesystem::path>& projectURL) const {
    std::vector<std::filesystem::path> places;
    if (relativePath && projectURL) {
        // Appended as a component even when it starts with a slash, never taken as an absolute path.
        std::string rel = *relativePath;
        rel.erase(0, rel.find_first_not_of('/'));
        if (!rel.empty()) places.push_back(projectURL->parent_path() / rel);
    }
    if (!path.empty()) places.emplace_back(path);
    return places;
}

std::optional<std::filesystem::path>
MediaItem::resolveURL(const std::optional<std::filesystem::path>& projectURL) const {
    for (std::filesystem::path& place : lookupPaths(projectURL)) {
        std::error_code ec;
        if (std::filesystem::exists(place, ec)) return std::move(place);
    }
    return std::nullopt;
}

} // namespace osterveil
