#pragma once

#include <QLabel>
#include <QSlider>
#include <QStyle>
#include <QToolButton>
#include <QWidget>
#include <optional>

#include "Platform/Media/Player.hpp"

namespace osterveil {

class EditorModel;
class TimecodeWell;
class VideoView;

// The assembled sequence as the program player plays it: the playhead timecode, whether a preview is
// being built, the sequence rate, the picture and the transport. It keeps no state of its own; every
// transport button makes the program the focused monitor first.
class ProgramMonitor : public QWidget {
    Q_OBJECT
  public:
    // `player` is the program player's pictures; none shows the well alone.
    ProgramMonitor(EditorModel& model, media::Player* player, QWidget* parent = nullptr);

    QLabel* buildingLabel() const { return building_; }
    QLabel* emptyLabel() const { return empty_; }
    VideoView* videoView() const { return view_; }
    QLabel* shuttleLabel() const { return shuttle_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void refresh();
    QToolButton* transport(const QString& icon, QStyle::StandardPixmap fallback, const QString& help);
    // The icon theme's glyph, or the style's where the theme has none.
    QIcon themeIcon(const QString& name, QStyle::StandardPixmap fallback) const;

    EditorModel& model_;
    TimecodeWell* timecode_ = nullptr;
    QLabel* building_ = nullptr;
    QLabel* rate_ = nullptr;
    QWidget* picture_ = nullptr;
    QLabel* empty_ = nullptr;
    VideoView* view_ = nullptr;
    QToolButton* play_ = nullptr;
    QLabel* shuttle_ = nullptr;
    QToolButton* loop_ = nullptr;
    // The loop state the toggle's icon shows.
    std::optional<bool> loopShown_;
    QLabel* speaker_ = nullptr;
    QSlider* volume_ = nullptr;
};

} // namespace osterveil
