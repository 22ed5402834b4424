#pragma once

#include <QStyle>
#include <QToolButton>
#include <QWidget>

#include "App/EditorTypes.hpp"

namespace osterveil {

class EditorModel;

// The column left of the timeline: the pointer tools (selection and razor) and a button that adds a
// title at the playhead. The highlight follows the model's tool however it changed.
class ToolsStrip : public QWidget {
    Q_OBJECT
  public:
    ToolsStrip(EditorModel& model, QWidget* parent = nullptr);

    QToolButton* toolButton(EditTool tool) const { return tool == EditTool::razor ? razor_ : select_; }
    QToolButton* titleButton() const { return title_; }
    // Whether the button shows the raised highlight of the chosen tool.
    bool isHighlighted(const QToolButton* button) const;

  private:
    QToolButton* button(const QString& help);
    void refresh();

    EditorModel& model_;
    QToolButton* select_ = nullptr;
    QToolButton* razor_ = nullptr;
    QToolButton* title_ = nullptr;
};

} // namespace osterveil
