#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "EditingTestSupport.hpp"

using namespace osterveil;
using namespace osterveil::edittest;
namespace TE = osterveil::TimelineEditing;

namespace {

Uuid fixedID(std::uint8_t n) {
    std::array<std::uint8_t, 16> bytes{};
    bytes[15] = n;
    return Uuid(bytes);
}

// A fresh sequence whose every list is owned by it alone, so a clip or track that an edit removes is
// really freed and an id still pointing into it is caught by AddressSanitizer.
//   V1: A 0–4 | B 4–8 | C 8–10      V2: title 2–4      A1: a 0–4 | b 4–8 (a with A, b with B)
Sequence fresh() {
    Sequence s = Sequence::makeNew();
    const auto add = [&](std::size_t track, std::uint8_t n, double start, double duration,
                         std::uint8_t group) {
        TimelineClip c;
        c.id = fixedID(n);
        c.mediaID = fixedID(100);
        c.name = "clip" + std::to_string(n);
        c.start = start;
        c.duration = duration;
        c.inPoint = 10;
        if (group) c.linkGroup = fixedID(group);
        s.tracks.mut(track).clips.push_back(c);
    };
    add(0, 1, 0, 4, 50);
    add(0, 2, 4, 4, 51);
    add(0, 3, 8, 2, 0);
    add(3, 4, 0, 4, 50);
    add(3, 5, 4, 4, 51);
    TimelineClip title;
    title.id = fixedID(6);
    title.title = TitleStyle{};
    title.start = 2;
    title.duration = 2;
    s.tracks.mut(1).clips.push_back(title);
    return s;
}

// What an edit did, without the ids that edits draw afresh.
std::string shape(const Sequence& s) {
    std::ostringstream out;
    for (const auto& t : s.tracks) {
        out << t.name << ":";
        for (const auto& c : t.sortedClips())
            out << " " << c.name << "@" << c.start << "+" << c.duration << "/" << c.inPoint;
        out << "\n";
    }
    return out.str();
}

const Uuid& clipRef(const Sequence& s, std::size_t track, std::size_t index) {
    return s.tracks[track].clips[index].id;
}

} // namespace

// Editors pass ids straight out of the project they change. Each edit must give the same result for an
// id that lives inside the changed clip or track as for a copy of it.
TEST(EditingAliasing, IdsThatLiveInsideTheEditedValueActLikeCopies) {
    MediaItem media = videoItem(false);
    const TE::SourceDurationFn sd = [](const Uuid&) { return 100.0; };
    struct Case {
        const char* name;
        std::function<const Uuid&(const Sequence&)> pick;
        std::function<double(Sequence&, const Uuid&)> run;
    };
    const std::vector<Case> cases{
        {"removeTrack", [](const Sequence& s) -> const Uuid& { return s.tracks[2].id; },
         [](Sequence& s, const Uuid& id) {
             s.removeTrack(id);
             return 0.0;
         }},
        {"updateClip", [](const Sequence& s) -> const Uuid& { return clipRef(s, 0, 0); },
         [](Sequence& s, const Uuid& id) {
             s.updateClip(id, [](TimelineClip& c) { c.name = "renamed"; });
             return 0.0;
         }},
        {"carve", [](const Sequence& s) -> const Uuid& { return s.tracks[0].id; },
         [](Sequence& s, const Uuid& id) {
             TE::carve(s, id, 3, 2);
             return 0.0;
         }},
        {"rippleInsert", [](const Sequence& s) -> const Uuid& { return s.tracks[0].id; },
         [&](Sequence& s, const Uuid& id) {
             TE::rippleInsert(s, media, 4, id, false, {0, 1});
             return 0.0;
         }},
        {"overwrite", [](const Sequence& s) -> const Uuid& { return s.tracks[0].id; },
         [&](Sequence& s, const Uuid& id) {
             TE::overwrite(s, media, 3, id, false, {0, 2});
             return 0.0;
         }},
        {"insertTitle", [](const Sequence& s) -> const Uuid& { return s.tracks[0].id; },
         [](Sequence& s, const Uuid& id) {
             TE::insertTitle(s, 4, id);
             return 0.0;
         }},
        {"trim", [](const Sequence& s) -> const Uuid& { return clipRef(s, 0, 1); },
         [&](Sequence& s, const Uuid& id) {
             TE::trim(s, id, TrimEdge::tail, -1, sd, false);
             return 0.0;
         }},
        {"move to another track", [](const Sequence& s) -> const Uuid& { return clipRef(s, 0, 2); },
         [](Sequence& s, const Uuid& id) {
             return TE::move(s, id, {id}, 1, s.tracks[2].id, {}, 0, true).appliedDelta;
         }},
        {"move", [](const Sequence& s) -> const Uuid& { return clipRef(s, 0, 2); },
         [](Sequence& s, const Uuid& id) {
             return TE::move(s, id, {}, 1, std::nullopt, {}, 0, false).appliedDelta;
         }},
        {"slip", [](const Sequence& s) -> const Uuid& { return clipRef(s, 0, 0); },
         [&](Sequence& s, const Uuid& id) {
             TE::slip(s, id, 1, sd, false);
             return 0.0;
         }},
        {"slide", [](const Sequence& s) -> const Uuid& { return clipRef(s, 0, 1); },
         [&](Sequence& s, const Uuid& id) { return TE::slide(s, id, 1, sd, false); }},
        {"roll left", [](const Sequence& s) -> const Uuid& { return clipRef(s, 0, 0); },
         [&](Sequence& s, const Uuid& id) { return TE::roll(s, id, clipRef(s, 0, 1), 1, sd); }},
        {"roll right", [](const Sequence& s) -> const Uuid& { return clipRef(s, 0, 1); },
         [&](Sequence& s, const Uuid& id) { return TE::roll(s, clipRef(s, 0, 0), id, -1, sd); }},
    };
    for (const Case& c : cases) {
        Sequence copied = fresh();
        const Uuid id = c.pick(copied);
        const double expected = c.run(copied, id);

        Sequence aliased = fresh();
        const double got = c.run(aliased, c.pick(aliased));
        EXPECT_EQ(got, expected) << c.name;
        EXPECT_EQ(shape(aliased), shape(copied)) << c.name;
        EXPECT_NE(shape(copied), shape(fresh())) << c.name << " changed nothing";
        EXPECT_TRUE(tracksAreSound(aliased)) << c.name;
    }
}
