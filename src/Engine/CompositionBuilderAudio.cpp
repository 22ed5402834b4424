// Audio placement: each audio track's segments on composition tracks, one per lane, and the volume
// ramps of their mix inputs.

#include <algorithm>
#include <map>
#include <unordered_map>

#include "Engine/AudioRampPlanner.hpp"
#include "Engine/CompositionBuilder.hpp"
#include "Engine/Log.hpp"

namespace osterveil::CompositionBuilder {

using media::Time;
using media::TimeRange;

namespace {

void logSkipped(const TimelineClip& clip, const std::string& why) {
    Log::build().error("Skipped audio segment " + clip.name + ": " + why);
}

// A track is silenced when muted or hidden, or when another audio track is soloed and it is not.
bool silenced(const Sequence& sequence, const Track& track) {
    const bool anySolo = std::any_of(sequence.tracks.begin(), sequence.tracks.end(),
                                     [](const Track& t) { return t.role == TrackRole::audio && t.isSolo; });
    return track.isMuted || track.isHidden || (anySolo && !track.isSolo);
}

void setRamp(media::AudioMixInputParameters& input, const VolumeSpan& span) {
    const Time a = mediaTime(span.start);
    Time b = mediaTime(span.end);
    const Time tick(1, Time::modelTimescale);
    // Ending a tick early keeps a ramp from touching the next one's start.
    if (b - a > tick) b = b - tick;
    if (b - a <= Time::zero()) return;
    input.setVolumeRamp(span.from, span.to, TimeRange::fromStartEnd(a, b));
}

} // namespace

std::vector<media::AudioMixInputParameters> insertAudio(const Project& project, const ResolvedMedia& resolved,
                                                        media::Composition& composition) {
    std::vector<media::AudioMixInputParameters> result;
    const Sequence& sequence = project.sequence;
    const double frame = sequence.frameRate.frameDuration();

    for (const Track& track : sequence.tracks) {
        if (track.role != TrackRole::audio) continue;
        const auto clips = usableClips(track, resolved, TrackRole::audio);
        if (clips.empty()) continue;
        const auto segments = plan(clips, project, frame);

        std::map<std::int64_t, std::int32_t> laneTracks; // ordered: inputs come out in lane order
        std::map<std::int64_t, std::vector<RampSegment>> laneRamps;
        std::unordered_map<Uuid, const TimelineClip*> byID;
        for (const auto& c : clips) byID.try_emplace(c.id, &c);

        for (const SegmentTiming& g : segments) {
            auto found = byID.find(g.clipID);
            if (found == byID.end()) continue;
            const TimelineClip& clip = *found->second;
            if (!clip.mediaID) continue;
            auto url = resolved.find(*clip.mediaID);
            if (url == resolved.end()) continue;

            std::shared_ptr<const media::AssetTrack> source;
            try {
                const auto sound = media::Asset::open(url->second)->tracks(media::MediaType::audio);
                if (sound.empty()) continue; // a picture without sound has nothing to lay
                source = sound.front();
            } catch (const media::Error& e) {
                logSkipped(clip, e.what());
                continue;
            }

            media::CompositionTrack* into = nullptr;
            if (auto lane = laneTracks.find(g.lane); lane != laneTracks.end()) {
                into = composition.track(lane->second);
            } else if ((into = composition.addTrack(media::MediaType::audio, 0))) {
                laneTracks.emplace(g.lane, into->trackID());
            }
            if (!into) continue;

            try {
                // Sound always plays at its own speed: a speed change stretches only the picture.
                const TimeRange range = clampedRange(g.sourceStart, g.sourceDuration, *source);
                if (range.duration > Time::zero())
                    into->insertTimeRange(range, source, mediaTime(g.timelineStart));
                // Past the end of its media a segment is silence, as long as it lasts: the sequence
                // keeps its length also where nothing else sounds.
                const Time laid = into->timeRange().end(),
                           end = mediaTime(g.timelineStart + g.timelineDuration);
                if (end > laid) into->insertEmptyTimeRange(TimeRange::fromStartEnd(laid, end));
                if (range.duration <= Time::zero()) continue;
            } catch (const media::Error& e) {
                logSkipped(clip, e.what());
                continue;
            }

            laneRamps[g.lane].push_back(RampSegment{
                .timing = g,
                .volumeDB = clip.volumeDB,
                .clipStart = clip.start,
                .fadeIn = TransitionPlanner::fadeInRange(clip),
                .fadeOut = TransitionPlanner::fadeOutRange(clip),
                .incomingCurve = AudioRampPlanner::curve(clip.incoming),
                .outgoingCurve = AudioRampPlanner::curve(clip.outgoing),
            });
        }

        const bool muted = silenced(sequence, track);
        for (const auto& [lane, trackID] : laneTracks) {
            media::AudioMixInputParameters input(trackID);
            auto ramps = laneRamps.find(lane);
            const auto spans =
                AudioRampPlanner::spans(ramps == laneRamps.end() ? std::vector<RampSegment>{} : ramps->second, muted);
            for (const auto& span : spans) {
                try {
                    setRamp(input, span);
                } catch (const media::Error&) {
                    // Only a span with a non-finite gain lands here; the volume before it holds.
                }
            }
            result.push_back(std::move(input));
        }
    }
    return result;
}

} // namespace osterveil::CompositionBuilder
