// Seeded random sessions of editing through the window's controller: commands, placements, gestures
// (with Undo and Redo pressed in the middle of them), Undo and Redo, with the project's invariants
// checked after every step. A few seconds run with the suite; OSTERVEIL_FUZZ_SECONDS=600 runs ten
// minutes. A seed that once failed stays in `regressions`.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QUndoStack>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "App/EditorModel.hpp"
#include "EditorModelTestAccess.hpp"
#include "FakePlayer.hpp"

using namespace osterveil;

namespace {

// Seeds that once failed, run first every time. 111 nests one partner of a linked pair, whose link
// then joins the sequence and the nest (as nesting leaves it).
constexpr unsigned regressions[] = {111};

class Session {
  public:
    explicit Session(unsigned seed) : rng_(seed) {
        Project p = ProjectDocument::newProject();
        p.sequence.frameRate = {24, 1};
        const MediaKind kinds[] = {MediaKind::video, MediaKind::video, MediaKind::audio, MediaKind::image};
        for (int i = 0; i < 4; ++i) {
            MediaItem m{.id = Uuid::make(), .name = "m" + std::to_string(i), .kind = kinds[i],
                        .path = "/nowhere/m" + std::to_string(i), .duration = i == 3 ? 0.0 : 3.0 + 2 * i,
                        .width = 640, .height = 360, .nominalFrameRate = 24};
            m.hasVideo = m.kind == MediaKind::video;
            m.hasAudio = i != 1 && m.kind != MediaKind::image;
            p.media.push_back(m);
        }
        document_.setProject(p);
        EditorModel::PreviewServices stand_ins;
        stand_ins.build = [](const Project&, const std::optional<std::filesystem::path>&, media::Size) {
            return CompositionBuild{};
        };
        stand_ins.thumbnail = [](const MediaItem&, const std::optional<std::filesystem::path>&) {
            return std::optional<QImage>();
        };
        stand_ins.peaks = [](const MediaItem&, const std::optional<std::filesystem::path>&) {
            return std::vector<float>();
        };
        model_.setPreviewServices(stand_ins);
        model_.followDocument(&document_);
        history_[0] = document_.project();
    }

    // One random step; what it was, for the failure message.
    std::string step() {
        const Project& p = document_.project();
        const int pick = integer(0, 27);
        std::ostringstream what;
        switch (pick) {
        case 0: {
            const auto id = anyClip();
            what << "select";
            if (id) model_.select({*id}, integer(0, 1) == 1);
            break;
        }
        case 1: what << "select all"; model_.selectAll(); break;
        case 2:
        case 3: {
            const MediaItem& m = p.media[std::size_t(integer(0, int(p.media.size()) - 1))];
            EditorModelTestAccess{model_}.setCurrentTime(frames(0, 400));
            if (integer(0, 1)) {
                model_.openInSource(m.id);
                if (integer(0, 1)) EditorModelTestAccess{model_}.setSourceIn(frames(-24, 240));
                if (integer(0, 1)) EditorModelTestAccess{model_}.setSourceOut(frames(-24, 240));
                model_.focusMonitor(EditorModel::MonitorFocus::program);
            }
            what << (pick == 2 ? "insert " : "overwrite ") << m.name << " at " << model_.currentTime();
            if (pick == 2) model_.insertMediaAtPlayhead(m.id);
            else model_.overwriteMediaAtPlayhead(m.id);
            break;
        }
        case 4:
            EditorModelTestAccess{model_}.setCurrentTime(frames(0, 400));
            what << "title";
            model_.addTitle();
            break;
        case 5: what << "lift"; model_.liftDelete(); break;
        case 6: what << "ripple delete"; model_.rippleDelete(); break;
        case 7:
            EditorModelTestAccess{model_}.setCurrentTime(frames(0, 400));
            what << "split at " << model_.currentTime();
            model_.splitAtPlayhead();
            break;
        case 8: {
            const auto id = anyClip();
            const double at = frames(0, 400);
            what << "razor at " << at;
            if (id) model_.split(*id, at);
            break;
        }
        case 9: what << "link"; model_.linkSelected(); break;
        case 10: what << "unlink"; model_.unlinkSelected(); break;
        case 11:
            EditorModelTestAccess{model_}.setCurrentTime(frames(0, 400));
            what << "marks";
            if (integer(0, 1)) model_.markSequenceIn();
            else model_.markSequenceOut();
            break;
        case 12:
            EditorModelTestAccess{model_}.setCurrentTime(frames(0, 400));
            what << "marker";
            model_.toggleMarker();
            break;
        case 13:
            EditorModelTestAccess{model_}.setCurrentTime(frames(0, 400));
            what << "ripple trim to playhead";
            model_.rippleTrimToPlayhead(integer(0, 1) == 1);
            break;
        case 14: {
            const int n = integer(-12, 12);
            const int kind = integer(0, 2);
            what << (kind == 0 ? "slip " : kind == 1 ? "slide " : "roll ") << n;
            if (kind == 0) model_.slipSelection(n);
            else if (kind == 1) model_.slideSelection(n);
            else model_.rollSelection(n);
            break;
        }
        case 15: what << "nest"; model_.nestSelection(); break;
        case 16: {
            const Track& t = p.sequence.tracks[std::size_t(integer(0, int(p.sequence.tracks.size()) - 1))];
            const int flag = integer(0, 4);
            what << "track flag " << flag << " of " << t.name;
            if (flag == 0) model_.toggleLocked(t.id);
            else if (flag == 1) model_.toggleMute(t.id);
            else if (flag == 2) model_.toggleHidden(t.id);
            else if (flag == 3) model_.toggleSolo(t.id);
            else model_.toggleTarget(t.id);
            break;
        }
        case 17: {
            const int kind = integer(0, 2);
            what << "tracks " << kind;
            if (kind == 0) model_.addVideoTrack();
            else if (kind == 1) model_.addAudioTrack();
            else model_.removeTrack(p.sequence.tracks[std::size_t(integer(0, int(p.sequence.tracks.size()) - 1))].id);
            break;
        }
        case 18: what << "preview scale"; model_.setPreviewScale(integer(0, 1) ? 0.5 : 1.0); break;
        case 19:
        case 20: {
            const auto id = anyClip();
            what << "clip update";
            if (id) model_.updateClip(*id, "Opacity", [v = real(0, 1)](TimelineClip& c) { c.opacity.value = v; });
            break;
        }
        case 21:
        case 22:
        case 23:
        case 24: what << gesture(); break;
        case 25:
        case 26: what << "undo"; movedInHistory_ = true; model_.undo(); break;
        default: what << "redo"; movedInHistory_ = true; model_.redo(); break;
        }
        QCoreApplication::processEvents();
        return what.str();
    }

    // The project's invariants now; and, with no gesture open, that the history gives back exactly the
    // project it held at each of its places.
    ::testing::AssertionResult sound() {
        const Project& p = document_.project();
        std::set<Uuid> clips, tracks;
        std::map<Uuid, std::set<Uuid>> groups;
        std::map<Uuid, const MediaItem*> media;
        for (const MediaItem& m : p.media) {
            if (!media.emplace(m.id, &m).second) return ::testing::AssertionFailure() << "two media items share an id";
        }
        const auto check = [&](const Sequence& s, const std::string& where) -> ::testing::AssertionResult {
            for (const Track& t : s.tracks) {
                if (!tracks.insert(t.id).second) return ::testing::AssertionFailure() << where << ": two tracks share an id";
                const auto sorted = t.sortedClips();
                for (std::size_t i = 0; i < sorted.size(); ++i) {
                    const TimelineClip& c = sorted[i];
                    if (!clips.insert(c.id).second) return ::testing::AssertionFailure() << where << ": two clips share an id";
                    if (!std::isfinite(c.start) || !std::isfinite(c.duration) || !std::isfinite(c.inPoint) || c.duration <= 0)
                        return ::testing::AssertionFailure() << where << " " << t.name << ": a clip's times are not sound";
                    if (i > 0 && sorted[i - 1].start + sorted[i - 1].duration > c.start + TimelineEditing::epsilon)
                        return ::testing::AssertionFailure() << where << " " << t.name << ": clips overlap at " << c.start;
                    if (c.linkGroup) groups[*c.linkGroup].insert(t.id);
                    const auto m = c.mediaID ? media.find(*c.mediaID) : media.end();
                    if (m == media.end() || m->second->kind == MediaKind::image || !(m->second->duration > 0) ||
                        !c.timeRemap.isIdentity())
                        continue;
                    // Placement rounds a span to whole frames, which may reach up to half a frame past the end.
                    if (c.inPoint < -1e-6 || c.inPoint + c.duration > m->second->duration + 0.5 / 24 + 1e-6)
                        return ::testing::AssertionFailure() << where << " " << t.name << ": clip at " << c.start
                                                             << " shows " << c.inPoint << "+" << c.duration << " of "
                                                             << m->second->duration;
                }
            }
            return ::testing::AssertionSuccess();
        };
        if (auto r = check(p.sequence, "sequence"); !r) return r;
        for (const NestedSequence& n : p.nests)
            if (auto r = check(n.sequence, "nest " + n.name); !r) return r;
        // A link group names partners, never a record of its own.
        for (const auto& [group, _] : groups)
            if (clips.contains(group) || tracks.contains(group) || media.contains(group))
                return ::testing::AssertionFailure() << "a link group reuses a record's id";
        if (Project::decode(p.encode()) != p) return ::testing::AssertionFailure() << "the file does not read back equal";

        if (model_.isTransientEditOpen()) return ::testing::AssertionSuccess();
        const int index = document_.undoStack()->index();
        if (std::exchange(movedInHistory_, false)) {
            // Undo or Redo: the project exactly as it was at that place.
            if (!history_.contains(index) || history_.at(index) != p)
                return ::testing::AssertionFailure() << "the history at step " << index << " is not the project it held";
        } else if (index != index_) {
            // A new step: what lay past the place it was recorded at is gone.
            history_.erase(history_.lower_bound(index), history_.end());
            history_[index] = p;
        } else if (history_.at(index) != p) {
            return ::testing::AssertionFailure() << "the project changed without a step";
        }
        index_ = index;
        return ::testing::AssertionSuccess();
    }

    // Steps up to where the undo history starts dropping its oldest.
    bool roomLeft() { return document_.undoStack()->count() < ProjectDocument::undoLimit - 10; }

  private:
    int integer(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    double real(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
    double frames(int lo, int hi) { return integer(lo, hi) / 24.0; }
    std::optional<Uuid> anyClip() {
        std::vector<Uuid> ids;
        for (const Track& t : document_.project().sequence.tracks)
            for (const TimelineClip& c : t.clips) ids.push_back(c.id);
        if (ids.empty()) return std::nullopt;
        return ids[std::size_t(integer(0, int(ids.size()) - 1))];
    }

    // A drag of a clip, one of its edges or a slider, its steps each from where it began, ended by
    // release or Escape, with Undo or Redo perhaps pressed on the way.
    std::string gesture() {
        const auto id = anyClip();
        if (!id) return "no gesture";
        std::ostringstream what;
        const int kind = integer(0, 2);
        what << (kind == 0 ? "move" : kind == 1 ? "trim" : "slider") << " gesture";
        model_.beginTransientEdit();
        const int steps = integer(1, 6);
        const auto& tracks = document_.project().sequence.tracks;
        const Uuid destination = tracks[std::size_t(integer(0, int(tracks.size()) - 1))].id;
        for (int s = 1; s <= steps; ++s) {
            const double delta = frames(-48, 48) * s / steps;
            if (kind == 0) model_.previewMove(*id, delta, integer(0, 2) ? std::nullopt : std::optional(destination), integer(0, 3) == 0);
            else if (kind == 1) model_.previewTrim(*id, integer(0, 1) ? TrimEdge::head : TrimEdge::tail, delta, integer(0, 3) == 0);
            else model_.liveClip(*id, [v = real(0, 1)](TimelineClip& c) { c.opacity.value = v; });
            if (integer(0, 7) == 0) {
                const bool undo = integer(0, 1) == 1;
                what << (undo ? ", undo" : ", redo") << " at step " << s;
                movedInHistory_ = true;
                if (undo) model_.undo();
                else model_.redo();
                // The window's views stop following a gesture called off.
                return what.str();
            }
        }
        if (integer(0, 4) == 0) {
            what << ", escape";
            model_.cancelTransientEdit();
        } else {
            model_.commitTransientEdit(kind == 0 ? "Move" : kind == 1 ? "Trim" : "Opacity");
        }
        return what.str();
    }

    std::mt19937 rng_;
    ProjectDocument document_;
    EditorModel model_{std::make_unique<testsupport::FakePlayer>(), std::make_unique<testsupport::FakePlayer>()};
    std::map<int, Project> history_;
    int index_ = 0;
    bool movedInHistory_ = false;
};

::testing::AssertionResult run(unsigned seed, int steps) {
    Session session(seed);
    for (int i = 0; i < steps && session.roomLeft(); ++i) {
        const std::string what = session.step();
        if (auto r = session.sound(); !r) return r << " (seed " << seed << ", step " << i << ": " << what << ")";
    }
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(EditorModelFuzz, RandomSessionsKeepTheProjectSoundAndTheHistoryExact) {
    for (unsigned seed : regressions)
        ASSERT_TRUE(run(seed, 250));
    const char* asked = std::getenv("OSTERVEIL_FUZZ_SECONDS");
    if (!asked) {
        // The suite's share: the same dozen seeds every time.
        for (unsigned seed = 100; seed < 110; ++seed)
            ASSERT_TRUE(run(seed, 250));
        return;
    }
    const double budget = std::atof(asked);
    const auto started = std::chrono::steady_clock::now();
    for (unsigned seed = 1000; std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() < budget; ++seed)
        ASSERT_TRUE(run(seed, 250));
}
