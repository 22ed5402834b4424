#pragma once

#include <cstdint>
#include <optional>

#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include "Engine/RenderLayer.hpp"
#include "Media/MediaCheck.hpp"
#include "Model/Project.hpp"
#include "Model/TransitionPlanner.hpp"
#include "Platform/Imaging/Bitmap.hpp"
#include "Platform/Media/Asset.hpp"
#include "Platform/Media/AudioMix.hpp"
#include "Platform/Media/Composition.hpp"
#include "Platform/Media/Time.hpp"
#include "Platform/Media/VideoComposition.hpp"

namespace osterveil {

class PlateStore;

using ResolvedMedia = std::unordered_map<Uuid, std::filesystem::path>;
// Still and title pictures by key, held for as long as a build is in use.
using ImageSet = std::unordered_map<std::string, imaging::Bitmap>;

// A still that could not be decoded, and the stretch of the timeline it was to cover (seconds).
struct UndecodableStill {
    std::filesystem::path file;
    double start = 0;
    double end = 0;
};

// A project made playable: the composition, how its picture is drawn (absent when nothing is
// visible), its length, and the media whose files could not be found or used.
struct CompositionBuild {
    std::shared_ptr<media::Composition> composition;
    std::optional<media::VideoComposition> videoComposition;
    // The volumes of the audio tracks; absent when no audio track was laid.
    std::optional<media::AudioMix> audioMix;
    double duration = 0;
    // Media whose files are missing, or are there but no longer the media (unreadable, replaced):
    // their clips are not laid. With each, why.
    std::vector<Uuid> offline;
    std::vector<MediaCheck::Problem> offlineProblems;
    // Stills of the picture whose files were found but could not be decoded: left out and logged; an
    // export that covers one fails rather than show black in its place.
    std::vector<UndecodableStill> undecodable;
    // Every still and title picture the layers name. The shared picture cache may drop entries at
    // any time; these stay for the life of the build, and the compositor looks here first.
    std::shared_ptr<const ImageSet> images;
};

// Builds a project into a playable composition.
namespace CompositionBuilder {

// The whole build: flattens nests, lays the plate and every visible video track, and makes the
// video composition at `renderSize` and the frame duration of `frameRate`. Throws the plate's errors.
CompositionBuild build(const Project& project, const std::optional<std::filesystem::path>& projectURL,
                       media::Size renderSize, const FrameRate& frameRate);
// The same with an explicit plate store (tests keep theirs apart from the user's cache).
CompositionBuild build(const Project& project, const std::optional<std::filesystem::path>& projectURL,
                       media::Size renderSize, const FrameRate& frameRate, PlateStore& plates);

// The enabled clips of a track that can be placed: titles on video tracks, clips whose media was found.
std::vector<TimelineClip> usableClips(const Track& track, const ResolvedMedia& resolved, TrackRole role);
// The planner over the clips, with handles from the project's media items.
std::vector<SegmentTiming> plan(const std::vector<TimelineClip>& clips, const Project& project, double frame);

// Lays one video track's segments on the composition and returns their render layers. Never throws:
// a segment that fails is logged and left out. `images` receives the pictures of stills and titles,
// `undecodable` the stills that could not be decoded; titles are drawn at `titleScale` times the
// sequence's size.
std::vector<RenderLayer> insertVideo(const std::vector<SegmentTiming>& timings, const std::vector<TimelineClip>& clips,
                                     const Uuid& trackID, std::int64_t zOrder, const Project& project,
                                     const ResolvedMedia& resolved, media::Composition& composition,
                                     std::optional<std::int32_t> plateTrackID, media::Size sequenceSize,
                                     ImageSet* images = nullptr,
                                     std::vector<UndecodableStill>* undecodable = nullptr, double titleScale = 1);
// Lays every audio track's sound on the composition, one composition track per lane, and returns one
// mix input per composition track carrying its volume ramps (silent for muted, hidden and un-soloed
// tracks), in track order and lane order. Never throws: a segment that fails is logged and left out.
std::vector<media::AudioMixInputParameters> insertAudio(const Project& project, const ResolvedMedia& resolved,
                                                        media::Composition& composition);

// Makes sure a still's or title's picture is in the frame-image cache and returns its key. A title is
// laid out on the sequence's frame and drawn at `titleScale` times its size, on the calling thread.
std::optional<std::string> cacheImage(RenderKind kind, const TimelineClip& clip,
                                      const std::optional<std::filesystem::path>& url, media::Size sequenceSize,
                                      ImageSet* images = nullptr, double titleScale = 1);

// Cuts the timeline into windows at every layer boundary, one instruction per window.
media::VideoComposition makeVideoComposition(const std::vector<RenderLayer>& layers,
                                             std::optional<std::int32_t> plateTrackID, media::Size renderSize,
                                             const FrameRate& frameRate, double duration);

// Seconds as media time at 1/120000 s; a non-finite number counts as 0.
media::Time mediaTime(double seconds);

// The part of the wanted source stretch [start, start + duration] that lies in the track: a start
// before the track begins moves up to it without shortening the stretch, the track's end cuts it.
media::TimeRange clampedRange(double start, double duration, const media::AssetTrack& track);

// Where a clip's media runs out on the timeline: a clip laid past the real length of its media ends
// its picture with its last slice of media; the sequence keeps its length, and what lies below (or
// black) shows for the rest. A clip whose media reaches its end, or falls short of it by less than a
// frame, keeps its end.
double reachedEnd(const TimelineClip& clip, double mediaLength, double frame);

// Lays a speed-changed clip on `into`, slice by slice: empty time up to each slice, its source
// inserted and scaled to its length on the sequence; a reversed slice as one-frame pieces in
// backward source order. `sourceShift` is added to every source position. Throws `media::Error`.
void insertRemapped(const TimelineClip& clip, const std::shared_ptr<const media::AssetTrack>& source,
                    media::CompositionTrack& into, double frame, double sourceShift);
// The same across a segment window that a dissolve has lengthened into the clip's handles: before
// the clip the source its first piece would have played earlier, after it what its last piece would
// have gone on to play, each at that piece's speed and direction; where that source lies beyond the
// media, its edge frame holds.
void insertRemapped(const TimelineClip& clip, double windowStart, double windowEnd,
                    const std::shared_ptr<const media::AssetTrack>& source, media::CompositionTrack& into,
                    double frame, double sourceShift);

// Adds a video track filled with the timing plate from 0 to `duration`; its id, or none when the
// plate has no picture or the composition takes no track. Throws the plate store's errors.
std::optional<std::int32_t> installPlate(media::Composition& composition, double duration, PlateStore& store);
// Lengthens the plate track to `end`; nothing when it already reaches it.
void extendPlate(std::int32_t trackID, media::Composition& composition, double end, PlateStore& store);

} // namespace CompositionBuilder
} // namespace osterveil
