#pragma once

#include <QString>
#include <cstdint>
#include <string>

#include "Model/EnumText.hpp"
#include "Model/Project.hpp"
#include "Model/Uuid.hpp"

namespace osterveil {

// The timeline's pointer tool. Its raw values are "select" and "razor" (`enumName`, `enumFromName`,
// compared exactly); the tools strip supplies its own labels.
enum class EditTool { select, razor };

template <> struct EnumText<EditTool> {
    static constexpr std::array<std::pair<EditTool, std::string_view>, 2> cases{
        {{EditTool::select, "select"}, {EditTool::razor, "razor"}}};
};

// An alert the editor raises and its window shows with one dismiss button. Each one gets a fresh id,
// so the same title and message raised twice are two presentations.
struct AppAlert {
    Uuid id;
    QString title;
    QString message;

    static AppAlert make(QString title, QString message) {
        return {Uuid::make(), std::move(title), std::move(message)};
    }
    bool operator==(const AppAlert&) const = default;
};

// A clip's two transitions: at its head and at its tail.
enum class ClipEdge { incoming, outgoing };

// What a named edit of the editor did: applied (also when it found nothing to change), or refused,
// leaving the project as it was, for the reason the status line then shows.
struct EditResult {
    bool applied = true;
    QString reason;

    static EditResult done() { return {}; }
    static EditResult refused(QString why) { return {false, std::move(why)}; }
    explicit operator bool() const { return applied; }
    bool operator==(const EditResult&) const = default;
};

// The sequence settings under edit, taken from the sequence when the sheet opens; any numbers, until
// they are applied.
struct SequenceSettingsDraft {
    std::string name;
    std::int64_t width = 1920;
    std::int64_t height = 1080;
    FrameRate rate;

    static SequenceSettingsDraft from(const Sequence& sequence) {
        return {sequence.name, sequence.width, sequence.height, sequence.frameRate};
    }
    // The draft with a source's picture size and, where the source has a real picture rate, the preset
    // nearest it.
    SequenceSettingsDraft matching(const MediaItem& source) const {
        SequenceSettingsDraft matched = *this;
        matched.width = source.width;
        matched.height = source.height;
        if (source.nominalFrameRate > 1.0) matched.rate = FrameRate::closest(source.nominalFrameRate);
        return matched;
    }
    bool operator==(const SequenceSettingsDraft&) const = default;
};

} // namespace osterveil
