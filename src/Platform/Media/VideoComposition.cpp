#include "Platform/Media/VideoComposition.hpp"

#include <algorithm>

namespace osterveil::media {

const CompositionInstruction* VideoComposition::instruction(const Time& time) const {
    // Instructions are in time order and do not overlap: find the last one starting at or before `time`.
    auto it = std::upper_bound(instructions.begin(), instructions.end(), time,
                               [](const Time& t, const std::shared_ptr<const CompositionInstruction>& i) {
                                   return t < i->timeRange().start;
                               });
    if (it == instructions.begin()) return nullptr;
    const auto& candidate = *std::prev(it);
    return candidate->timeRange().containsTime(time) ? candidate.get() : nullptr;
}

} // namespace osterveil::media
