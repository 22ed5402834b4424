#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <optional>
#include <string>

#include "Model/FrameRate.hpp"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace osterveil {

class EditorModel;
struct MediaItem;
struct Sequence;

namespace sheets {
class IntegerField;
}

// The sequence settings under edit, taken from the sequence when the sheet opens.
struct SequenceSettingsDraft {
    std::string name;
    std::int64_t width = 1920;
    std::int64_t height = 1080;
    FrameRate rate;

    static SequenceSettingsDraft from(const Sequence& sequence);
    bool operator==(const SequenceSettingsDraft&) const = default;
};

// The sequence's name, frame size and frame rate, edited on a draft and written in one undoable step
// when applied. Clips keep their times in seconds.
class SequenceSettingsSheet : public QDialog {
    Q_OBJECT
  public:
    explicit SequenceSettingsSheet(EditorModel& model, QWidget* parent = nullptr);

    const SequenceSettingsDraft& draft() const { return draft_; }
    // The side a typed value becomes: at least 16, at most 8192, even.
    static std::int64_t appliedSide(std::int64_t typed);
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
