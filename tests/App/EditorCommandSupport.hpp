#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QUndoStack>

#include "App/EditorModel.hpp"
#include "FakePlayer.hpp"

// Undo names read as text in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace osterveil::testsupport {

// A window's model bound to an in-memory document, with stand-in players. Tests build `start` (V1–V3
// and A1–A3, all targeted, 24 fps), then `open` it.
struct CommandFixture : ::testing::Test {
    static constexpr std::size_t V1 = 0, V2 = 1, V3 = 2, A1 = 3, A2 = 4, A3 = 5;

    Uuid put(std::size_t track, double at, double duration, std::optional<Uuid> linkGroup = std::nullopt) {
        TimelineClip c;
        c.id = Uuid::make();
        c.start = at;
        c.duration = duration;
        c.linkGroup = linkGroup;
        start.sequence.tracks.mut(track).clips.push_back(c);
        return c.id;
    }
    Uuid addMedia(MediaKind kind, double duration, double fps = 24, bool hasAudio = false) {
        MediaItem m{
            .id = Uuid::make(), .name = "M", .kind = kind, .duration = duration, .nominalFrameRate = fps};
        m.hasAudio = hasAudio;
        start.media.push_back(m);
        return m.id;
    }
    Track& track(std::size_t index) { return start.sequence.tracks.mut(index); }
    void open() {
        document.setProject(start);
        model.followDocument(&document);
        QCoreApplication::processEvents();
    }
    // Replaces the document's project without an undo step, as an outside change would.
    template <class F> void change(F f) {
        Project p = document.project();
        f(p);
        document.setProject(p);
    }

    const Project& project() const { return document.project(); }
    QUndoStack& undo() { return *document.undoStack(); }
    std::vector<QString> steps() {
        std::vector<QString> names;
        for (int i = 0; i < undo().count(); ++i)
            names.push_back(undo().text(i));
        return names;
    }

    Project start = ProjectDocument::newProject();
    ProjectDocument document;
    FakePlayer* player = new FakePlayer;
    EditorModel model{std::unique_ptr<PlayerControl>(player), std::make_unique<FakePlayer>()};
};

} // namespace osterveil::testsupport
