#pragma once

#include <QUrl>
#include <functional>
#include <optional>

#include "Model/TimelineEditing.hpp"
#include "Model/Uuid.hpp"

namespace osterveil {

class EditorModel;

// The fifteen things a pointer gesture on the timeline canvas can ask of the editor. The canvas holds
// no editor: it calls these, which the timeline panel binds to its window's model.
//
// A clip drag calls `beginGesture` once, then `move` or `trim` any number of times with the whole
// delta since the drag began, then `commit` ("Move" or "Trim") on release. A ruler drag calls
// `beginScrub`, `seek` repeatedly, then `endScrub`. The rest are single calls.
struct TimelineBridge {
    std::function<void()> beginGesture;
    std::function<void(const QString& name)> commit;
    std::function<void()> cancel;
    std::function<void(double time, bool precise)> seek;
    std::function<void()> beginScrub;
    std::function<void()> endScrub;
    std::function<void(const UuidSet& ids, bool additive)> select;
    std::function<void(const Uuid& clipID, double delta, const std::optional<Uuid>& destinationTrackID,
                       bool unlink)>
        move;
    std::function<void(const Uuid& clipID, TrimEdge edge, double delta, bool unlink)> trim;
    std::function<void(const Uuid& clipID, double time)> split;
    std::function<void(const Uuid& mediaID, double time, const Uuid& trackID)> dropMedia;
    std::function<void(const QList<QUrl>& urls)> dropFiles;
    std::function<void(const Uuid& clipID)> reveal;
    std::function<void(const Uuid& clipID)> deleteClip;
    std::function<void(const Uuid& clipID)> rippleClip;

    // Every member does nothing: what the scroll host holds before the panel hands it a real one.
    static TimelineBridge inert();
    // Every member acts on `model`, and does nothing once the model is gone.
    static TimelineBridge to(EditorModel& model);
};

} // namespace osterveil
