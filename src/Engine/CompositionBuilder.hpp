#pragma once

#include <cstdint>
#include <optional>

#include "Model/Project.hpp"
#include "Platform/Media/Asset.hpp"
#include "Platform/Media/Composition.hpp"
#include "Platform/Media/Time.hpp"

namespace osterveil {

class PlateStore;

// Builds a project into a playable composition.
namespace CompositionBuilder {

// Seconds as media time at 1/120000 s; a non-finite number counts as 0.
media::Time mediaTime(double seconds);

// The part of the wanted source stretch [start, start + duration] that lies in the track: a start
// before the track begins moves up to it without shortening the stretch, the track's end cuts it.
media::TimeRange clampedRange(double start, double duration, const media::AssetTrack& track);

// Lays a speed-changed clip on `into`, slice by slice: empty time up to each slice, its source
// inserted and scaled to its length on the sequence; a reversed slice as one-frame pieces in
// backward source order. `sourceShift` is added to every source position. Throws `media::Error`.
void insertRemapped(const TimelineClip& clip, const std::shared_ptr<const media::AssetTrack>& source,
                    media::CompositionTrack& into, double frame, double sourceShift);

// Adds a video track filled with the timing plate from 0 to `duration`; its id, or none when the
// plate has no picture or the composition takes no track. Throws the plate store's errors.
std::optional<std::int32_t> installPlate(media::Composition& composition, double duration, PlateStore& store);
// Lengthens the plate track to `end`; nothing when it already reaches it.
void extendPlate(std::int32_t trackID, media::Composition& composition, double end, PlateStore& store);

} // namespace CompositionBuilder
} // namespace osterveil
