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

// A window's model bound to an in-memory document, with a stand-in player on either monitor. Tests
// build the project they need with `put`, then `open` it.
struct CommandFixture : ::testing::Test {
    static void drain() { QCoreApplication::processEvents(); }

    // V1–V3 then A1–A3, all targeted and unlocked, at 24 fps.
    Project start = ProjectDocument::newProject();

    static constexpr std::size_t V1 = 0, V2 = 1, V3 = 2, A1 = 3, A2 = 4, A3 = 5;

    // A clip of `duration` seconds at `start` on the track at `track`; the id of it.
    Uuid put(std::size_t track, double at, double duration, std::optional<Uuid> mediaID = std::nullopt,
             std::optional<Uuid> linkGroup = std::nullopt) {
        TimelineClip c;
        c.id = Uuid::make();
        c.name = "C" + std::to_string(start.sequence.tracks[track].clips.size() + 1);
        c.start = at;
        c.duration = duration;
        c.mediaID = mediaID;
        c.linkGroup = linkGroup;
        start.sequence.tracks.mut(track).clips.push_back(c);
        return c.id;
    }
    Uuid addMedia(MediaKind kind, double duration, double fps = 24, bool hasAudio = false) {
        MediaItem m;
        m.id = Uuid::make();
        m.name = "M" + std::to_string(start.media.size() + 1);
        m.kind = kind;
        m.duration = duration;
        m.nominalFrameRate = fps;
        m.hasVideo = kind != MediaKind::audio;
        m.hasAudio = hasAudio || kind == MediaKind::audio;
        start.media.push_back(m);
        return m.id;
    }
    Track& track(std::size_t index) { return start.sequence.tracks.mut(index); }

    // Hands `start` to the document and binds the model, as a window does.
    void open() {
        document.setProject(start);
        model.followDocument(&document);
        drain();
    }

    const Project& project() const { return document.project(); }
    QUndoStack& undo() { return *document.undoStack(); }
    // The names of the undo steps, oldest first.
    std::vector<QString> steps() {
        std::vector<QString> names;
        for (int i = 0; i < undo().count(); ++i)
            names.push_back(undo().text(i));
        return names;
    }
    // Undoing everything gives back the project the test opened.
    void expectUndoesToStart() {
        while (undo().canUndo())
            undo().undo();
        EXPECT_EQ(project(), start);
    }

    ProjectDocument document;
    FakePlayer* player = new FakePlayer;
    FakePlayer* sourcePlayer = new FakePlayer;
    EditorModel model{std::unique_ptr<PlayerControl>(player), std::unique_ptr<PlayerControl>(sourcePlayer)};
};

} // namespace osterveil::testsupport
