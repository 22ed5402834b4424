#pragma once

#include <QString>

#include "Model/EnumText.hpp"
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

} // namespace osterveil
