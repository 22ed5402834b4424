#pragma once

#include <QIcon>
#include <QLabel>
#include <QSlider>
#include <QStyle>
#include <QToolButton>
#include <QWidget>


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
    // Shows the model's program player.
    explicit ProgramMonitor(EditorModel& model, QWidget* parent = nullptr);

    TimecodeWell* timecode() const { return timecode_; }
    QLabel* buildingLabel() const { return building_; }
    QLabel* emptyLabel() const { return empty_; }
    VideoView* videoView() const { return view_; }
    QLabel* shuttleLabel() const { return shuttle_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void refresh();
    QToolButton* transport(const QString& icon, QStyle::StandardPixmap fallback, const QString& help);

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
    QLabel* speaker_ = nullptr;
    QSlider* volume_ = nullptr;
    // Where the project's last clip ends, seconds: found when the project changes, not at every tick
    // of the playhead, which refresh runs with.
    double sequenceDuration_ = 0;
    // Made once: refresh runs with every tick of the playhead.
    QIcon playIcon_, pauseIcon_, loopOnIcon_, loopOffIcon_;
    QPixmap mutedPixmap_, soundPixmap_;
};

} // namespace osterveil
