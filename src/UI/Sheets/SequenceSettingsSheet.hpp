#pragma once

#include <QDialog>
#include <optional>

#include "App/EditorTypes.hpp"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace osterveil {

class EditorModel;

namespace sheets {
class IntegerField;
}

// The sequence's name, frame size and frame rate, edited on a draft and written in one undoable step
// when applied. Clips keep their times in seconds.
class SequenceSettingsSheet : public QDialog {
    Q_OBJECT
  public:
    explicit SequenceSettingsSheet(EditorModel& model, QWidget* parent = nullptr);

    const SequenceSettingsDraft& draft() const { return draft_; }
    // The selected clip's source when it has a picture: what Match copies.
    std::optional<MediaItem> matchSource() const;

    // Writes the draft to the sequence as one edit, "Sequence Settings".
    void apply();

  private:
    void refresh();

    EditorModel& model_;
    SequenceSettingsDraft draft_;

    QLineEdit* nameField_ = nullptr;
    sheets::IntegerField* widthField_ = nullptr;
    sheets::IntegerField* heightField_ = nullptr;
    QLabel* sizeNote_ = nullptr;
    QComboBox* ratePicker_ = nullptr;
    QPushButton* matchButton_ = nullptr;
};

} // namespace osterveil
