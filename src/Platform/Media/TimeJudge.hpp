#pragma once

// Shared by the media layer's readers; not part of its interface.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>

namespace osterveil::media::detail {

// A time of a stream's own, and where the count of pictures or samples puts it from the place of the first
// of those judged with it (stream ticks).
struct Timed {
    std::int64_t time;
    std::int64_t offset;
};

// What the times after a doubtful one say of it: the later time that decides, and whose line stands.
struct Judgement {
    std::size_t decidedBy;
    std::optional<std::size_t> believed; // none: the line before the doubtful time stands
};

// One rule for the times of pictures and sound. A time off the line that the times before it and the count
// since predict (`due`, where that line puts the first of `times`) is believed when a later time of the
// stream's own lies on the line from it: the times moved on (what lay between was lost, or a recording
// was joined on). It is not when a later one lies on the line from before it: a damaged header, and what
// it times is placed by the count. Of several in doubt the first borne out by a later one is believed.
// Without a line (after a seek) the first two that bear out each other place them all. None while no later
// time decides; times that bear out nothing are passed over, as the counted ones between are left out.
inline std::optional<Judgement> judge(std::optional<std::int64_t> due, std::span<const Timed> times,
                                      std::int64_t tolerance) {
    const auto onLine = [&](const Timed& t, std::int64_t origin) {
        return std::abs(t.time - t.offset - origin) <= tolerance;
    };
    for (std::size_t i = 1; i < times.size(); ++i) {
        if (due && onLine(times[i], *due)) return Judgement{i, std::nullopt};
        for (std::size_t j = 0; j < i; ++j)
            if (onLine(times[i], times[j].time - times[j].offset)) return Judgement{i, j};
    }
    return std::nullopt;
}

} // namespace osterveil::media::detail
