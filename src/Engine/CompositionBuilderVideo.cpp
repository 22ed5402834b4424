// Video placement, render layers, the video composition and the build driver.

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "Engine/CompositionBuilder.hpp"
#include "Engine/FrameImages.hpp"
#include "Engine/Log.hpp"
#include "Engine/PlateStore.hpp"
#include "Engine/SequenceCompositor.hpp"
#include "Media/MediaCheck.hpp"
#include "Model/Nesting.hpp"
#include "Model/Numeric.hpp"

namespace osterveil::CompositionBuilder {

using media::Time;
using media::TimeRange;

namespace {

void logSkipped(const TimelineClip& clip, const std::string& why) {
    Log::build().error("Skipped video segment " + clip.name + ": " + why);
}

const MediaItem* findMedia(const Project& project, const std::optional<Uuid>& id) {
    if (!id) return nullptr;
    for (const auto& m : project.media)
        if (m.id == *id) return &m;
    return nullptr;
}

// A lane's composition track, made on first use.
media::CompositionTrack* laneTrack(std::unordered_map<std::int64_t, std::int32_t>& lanes, std::int64_t key,
                                   media::Composition& composition) {
    auto it = lanes.find(key);
    if (it != lanes.end()) return composition.track(it->second);
    media::CompositionTrack* track = composition.addTrack(media::MediaType::video, 0);
    if (track) lanes.emplace(key, track->trackID());
    return track;
}

// Where a segment's media runs out: its planned end, unless the media ends more than a frame before
// it. A dissolve's tail, laid from the clip's handle, stays as long as there is media for it.
double reachedSegmentEnd(const SegmentTiming& segment, const TimelineClip& clip, double mediaLength,
                         double frame) {
    const double end = segment.timelineStart + segment.timelineDuration;
    if (!std::isfinite(mediaLength)) return end;
    double reached = segment.timelineStart + std::max(0.0, mediaLength - segment.sourceStart);
    if (!clip.timeRemap.isIdentity()) {
        // A speed change lays the whole clip, slice by slice, whatever the segment.
        reached = reachedEnd(clip, mediaLength, frame);
        if (reached >= clip.start + clip.duration) return end;
    }
    return reached + frame < end ? reached : end;
}

} // namespace

std::vector<TimelineClip> usableClips(const Track& track, const ResolvedMedia& resolved, TrackRole role) {
    std::vector<TimelineClip> out;
    for (auto& clip : track.sortedClips()) {
        if (!clip.isEnabled) continue;
        if (role == TrackRole::video && clip.isTitle()) {
            out.push_back(std::move(clip));
            continue;
        }
        if (clip.mediaID && resolved.count(*clip.mediaID)) out.push_back(std::move(clip));
    }
    return out;
}

std::vector<SegmentTiming> plan(const std::vector<TimelineClip>& clips, const Project& project, double frame) {
    std::unordered_map<Uuid, const MediaItem*> media;
    for (const auto& m : project.media) media.try_emplace(m.id, &m);
    return TransitionPlanner::plan(
        clips,
        [&](const TimelineClip& c) {
            const MediaItem* item = nullptr;
            if (c.mediaID) {
                auto it = media.find(*c.mediaID);
                if (it != media.end()) item = it->second;
            }
            return TransitionPlanner::handles(c, item);
        },
        frame);
}

std::optional<std::string> cacheImage(RenderKind kind, const TimelineClip& clip,
                                      const std::optional<std::filesystem::path>& url, media::Size sequenceSize,
                                      ImageSet* images, double titleScale) {
    auto keep = [&](const std::string& key, const std::shared_ptr<const ImageBox>& box) {
        if (images && box) images->insert_or_assign(key, box->image);
    };
    switch (kind) {
    case RenderKind::video: return std::nullopt;
    case RenderKind::still: {
        if (!url) return std::nullopt;
        const std::string key = "still:" + url->string();
        if (auto hit = FrameImages::cache().object(key)) {
            keep(key, *hit);
            return key;
        }
        const int maxPixel = static_cast<int>(std::max(std::trunc(sequenceSize.width), std::trunc(sequenceSize.height)));
        if (auto picture = StillImageLoader::image(*url, maxPixel)) {
            auto box = std::make_shared<const ImageBox>(*picture);
            FrameImages::cache().setObject(key, box);
            keep(key, box);
        }
        return key;
    }
    case RenderKind::title: {
        if (!clip.title) return std::nullopt;
        const std::string key =
            TitleRasterizer::cacheKey(*clip.title, sequenceSize.width, sequenceSize.height, titleScale);
        if (auto hit = FrameImages::cache().object(key)) {
            keep(key, *hit);
            return key;
        }
        if (auto picture = TitleRasterizer::image(*clip.title, sequenceSize.width, sequenceSize.height, titleScale)) {
            auto box = std::make_shared<const ImageBox>(*picture);
            FrameImages::cache().setObject(key, box);
            keep(key, box);
        }
        return key;
    }
    }
    return std::nullopt;
}

std::vector<RenderLayer> insertVideo(const std::vector<SegmentTiming>& timings, const std::vector<TimelineClip>& clips,
                                     const Uuid& trackID, std::int64_t zOrder, const Project& project,
                                     const ResolvedMedia& resolved, media::Composition& composition,
                                     std::optional<std::int32_t> plateTrackID, media::Size sequenceSize,
                                     ImageSet* images, std::vector<UndecodableStill>* undecodable,
                                     double titleScale) {
    std::vector<RenderLayer> layers;
    if (timings.empty()) return layers;
    std::unordered_map<Uuid, const TimelineClip*> index;
    for (const auto& c : clips) index.try_emplace(c.id, &c);
    std::unordered_map<std::int64_t, std::int32_t> lanes;
    const double frame = project.sequence.frameRate.frameDuration();

    for (const SegmentTiming& segment : timings) {
        auto found = index.find(segment.clipID);
        if (found == index.end()) continue;
        const TimelineClip& clip = *found->second;
        const MediaItem* media = findMedia(project, clip.mediaID);
        const RenderKind kind = clip.isTitle()                                       ? RenderKind::title
                                : media && media->kind == MediaKind::image ? RenderKind::still
                                                                                     : RenderKind::video;
        std::optional<std::filesystem::path> url;
        if (clip.mediaID) {
            auto r = resolved.find(*clip.mediaID);
            if (r != resolved.end()) url = r->second;
        }

        RenderLayer layer;
        layer.timelineTrackID = trackID;
        layer.zOrder = zOrder;
        layer.kind = kind;
        layer.grade = clip.grade;
        layer.gradeOrigin = clip.start;
        layer.opacity = clip.opacity;
        layer.fadeIn = TransitionPlanner::fadeInRange(clip);
        layer.fadeOut = TransitionPlanner::fadeOutRange(clip);
        layer.dissolveIn = segment.dissolveIn;
        layer.dissolveOut = segment.dissolveOut;
        if (media) layer.transform = media->transform;
        layer.motion = clip.motion;
        layer.segmentStart = segment.timelineStart;
        layer.segmentEnd = segment.timelineStart + segment.timelineDuration;

        std::optional<RenderLayer> blend;
        if (kind == RenderKind::video && url) {
            std::shared_ptr<const media::AssetTrack> source;
            try {
                const auto asset = media::Asset::open(*url);
                const auto video = asset->tracks(media::MediaType::video);
                if (video.empty()) continue; // a file of sound only has no picture to lay
                source = video.front();
                layer.pixelAspect = source->pixelAspect;
                layer.segmentEnd = reachedSegmentEnd(segment, clip, asset->duration().toSeconds(), frame);
            } catch (const media::Error& e) {
                logSkipped(clip, e.what());
                continue;
            }
            const TimeRange range = clip.timeRemap.isIdentity()
                                        ? clampedRange(segment.sourceStart, segment.sourceDuration, *source)
                                        : TimeRange();
            if (clip.timeRemap.isIdentity() && range.duration <= Time::zero()) {
                // Wholly past its media: like a clip partly past it, it ends where its media does, at
                // once; the layer draws nothing, and the sequence still shows black for its length.
                layer.segmentEnd = layer.segmentStart;
                layers.push_back(std::move(layer));
                continue;
            }
            media::CompositionTrack* track = laneTrack(lanes, segment.lane, composition);
            if (!track) continue;
            try {
                if (clip.timeRemap.isIdentity()) {
                    const Time at = mediaTime(segment.timelineStart);
                    const Time end = track->timeRange().end();
                    if (at > end) track->insertEmptyTimeRange(TimeRange::fromStartEnd(end, at));
                    track->insertTimeRange(range, source, at);
                } else {
                    insertRemapped(clip, layer.segmentStart, layer.segmentEnd, source, *track, frame, 0);
                }
            } catch (const media::Error& e) {
                logSkipped(clip, e.what());
                continue;
            }
            layer.sourceTrackID = track->trackID();

            if (clip.timeRemap.frameBlending && !clip.timeRemap.isIdentity()) {
                if (media::CompositionTrack* blendTrack = laneTrack(lanes, segment.lane + 100, composition)) {
                    try {
                        insertRemapped(clip, layer.segmentStart, layer.segmentEnd, source, *blendTrack, frame,
                                       frame);
                        blend = layer;
                        blend->sourceTrackID = blendTrack->trackID();
                    } catch (const media::Error& e) {
                        // The clip's own frames are laid: it still plays, only without blending.
                        logSkipped(clip, e.what());
                    }
                }
            }
        } else {
            if (!plateTrackID) continue;
            layer.sourceTrackID = *plateTrackID;
        }

        layer.imageKey = cacheImage(kind, clip, url, sequenceSize, images, titleScale);
        if (kind == RenderKind::still && url && layer.imageKey &&
            !(images ? images->count(*layer.imageKey) > 0 : FrameImages::cache().object(*layer.imageKey).has_value())) {
            logSkipped(clip, media::undecodableMessage(*url));
            if (undecodable) undecodable->push_back({*url, layer.segmentStart, layer.segmentEnd});
            continue;
        }
        if (blend) {
            blend->kind = RenderKind::video;
            blend->imageKey.reset();
            blend->blendsWithNext = true;
            layers.push_back(std::move(*blend));
        }
        layers.push_back(std::move(layer));
    }
    return layers;
}

media::VideoComposition makeVideoComposition(const std::vector<RenderLayer>& layers,
                                             std::optional<std::int32_t> plateTrackID, media::Size renderSize,
                                             const FrameRate& frameRate, double duration) {
    const double frame = frameRate.frameDuration();
    const double end = std::max(duration, frame);
    std::vector<double> bounds{0, end};
    for (const auto& l : layers) {
        bounds.push_back(l.segmentStart > 0 ? l.segmentStart : 0);
        bounds.push_back(std::min(l.segmentEnd, duration));
    }
    std::sort(bounds.begin(), bounds.end(), [](double a, double b) { return a < b; });

    std::vector<std::pair<Time, double>> kept;
    for (double b : bounds) {
        const Time t = mediaTime(b);
        if (kept.empty() || t != kept.back().first) kept.emplace_back(t, b);
    }

    media::VideoComposition vc;
    vc.renderSize = renderSize;
    const FrameRate rate = frameRate.isValid() ? frameRate : FrameRate{};
    vc.frameDuration = Time(rate.denominator, rate.numerator);
    for (std::size_t i = 0; i + 1 < kept.size(); ++i) {
        const double a = kept[i].second, b = kept[i + 1].second;
        if (!(a < b)) continue;
        std::vector<RenderLayer> active;
        for (const auto& l : layers)
            if (l.segmentStart < b - 0.00005 && l.segmentEnd > a + 0.00005) active.push_back(l);
        vc.instructions.push_back(std::make_shared<CompositeInstruction>(
            TimeRange::fromStartEnd(kept[i].first, kept[i + 1].first), std::move(active), plateTrackID));
    }
    return vc;
}

CompositionBuild build(const Project& project, const std::optional<std::filesystem::path>& projectURL,
                       media::Size renderSize, const FrameRate& frameRate) {
    return build(project, projectURL, renderSize, frameRate, PlateStore::shared());
}

CompositionBuild build(const Project& original, const std::optional<std::filesystem::path>& projectURL,
                       media::Size renderSize, const FrameRate& frameRate, PlateStore& plates) {
    Project project = original;
    project.sequence = Nesting::flatten(original.sequence, original.nests, 0);
    const Sequence& sequence = project.sequence;

    auto roundSide = [](double v) {
        const std::int64_t n = std::isfinite(v) ? roundToInt64(v) : 16;
        return std::clamp<std::int64_t>(n, 16, 1 << 15);
    };
    const std::int64_t w = roundSide(renderSize.width), h = roundSide(renderSize.height);

    CompositionBuild result;
    ResolvedMedia resolved;
    for (const auto& item : project.media) {
        const auto url = item.resolveURL(projectURL);
        const auto problem = url ? MediaCheck::problem(item, *url) : MediaCheck::missing(item);
        if (!problem) {
            resolved.insert_or_assign(item.id, *url);
        } else {
            result.offline.push_back(item.id);
            result.offlineProblems.push_back(*problem);
        }
    }
    result.composition = std::make_shared<media::Composition>();
    media::Composition& composition = *result.composition;

    const bool anySolo = std::any_of(sequence.tracks.begin(), sequence.tracks.end(), [](const Track& t) {
        return t.role == TrackRole::video && t.isSolo;
    });
    auto inPicture = [&](const Track& t) {
        return t.role == TrackRole::video && !t.isHidden && !t.isMuted && (!anySolo || t.isSolo);
    };

    const double frame = sequence.frameRate.frameDuration();
    std::optional<std::int32_t> plate;
    bool needsPlate = false;
    // A clip whose media is offline keeps its place: the preview still runs to the sequence's end, so a
    // playhead there stays where it is, on the clip's picture again once its file is back.
    const std::unordered_set<Uuid> offline(result.offline.begin(), result.offline.end());
    for (const auto& t : sequence.tracks)
        for (const auto& c : t.clips) {
            const bool shown = c.isTitle() || (c.mediaID && resolved.count(*c.mediaID));
            if ((shown && inPicture(t)) || (c.mediaID && offline.count(*c.mediaID))) needsPlate = true;
        }
    const double sequenceEnd = sequence.duration();
    if (needsPlate) plate = installPlate(composition, std::max(sequenceEnd, frame), plates);

    auto images = std::make_shared<ImageSet>();
    std::vector<RenderLayer> layers;
    const media::Size sequenceSize{static_cast<double>(sequence.width), static_cast<double>(sequence.height)};
    const media::Size size{static_cast<double>(w & ~std::int64_t(1)), static_cast<double>(h & ~std::int64_t(1))};
    // Titles are drawn at the size the compositor shows the sequence's frame in, so a smaller preview
    // sets fewer pixels in type.
    const double titleScale = sequenceSize.width > 0 && sequenceSize.height > 0
                                  ? std::min(size.width / sequenceSize.width, size.height / sequenceSize.height)
                                  : 1;
    for (std::size_t i = 0; i < sequence.tracks.size(); ++i) {
        const Track& t = sequence.tracks[i];
        if (!inPicture(t)) continue;
        const auto clips = usableClips(t, resolved, TrackRole::video);
        if (clips.empty()) continue;
        const auto timings = plan(clips, project, frame);
        auto made = insertVideo(timings, clips, t.id, static_cast<std::int64_t>(i), project, resolved, composition,
                                plate, sequenceSize, images.get(), &result.undecodable, titleScale);
        layers.insert(layers.end(), std::make_move_iterator(made.begin()), std::make_move_iterator(made.end()));
    }

    double latest = 0;
    for (const auto& l : layers) latest = std::max(latest, l.segmentEnd);
    result.duration = std::max(sequenceEnd, latest);

    if (plate && result.duration > 0) {
        try {
            extendPlate(*plate, composition, result.duration, plates);
        } catch (const std::exception& e) {
            // The plate as installed still times everything up to the sequence's end.
            Log::build().error(std::string("Timing plate not extended: ") + e.what());
        }
    }

    auto inputs = insertAudio(project, resolved, composition);
    // The sound runs as long as the picture, silent where nothing sounds: a sequence that ends in a
    // title, a still, or a clip the mix leaves out still has sound to its end.
    const Time end = mediaTime(result.duration);
    for (const media::CompositionTrack* sound : composition.tracks(media::MediaType::audio))
        if (const Time laid = sound->timeRange().end(); laid < end)
            composition.track(sound->trackID())->insertEmptyTimeRange(TimeRange::fromStartEnd(laid, end));
    if (!inputs.empty()) result.audioMix = media::AudioMix{std::move(inputs)};

    if (!layers.empty()) {
        const double length = std::max(result.duration, frameRate.frameDuration());
        result.videoComposition = makeVideoComposition(layers, plate, size, frameRate, length);
        result.videoComposition->makeCompositor = SequenceCompositor::factory(images, sequenceSize);
    }
    result.images = std::move(images);
    return result;
}

} // namespace osterveil::CompositionBuilder
