#pragma once

#include <QIcon>
#include <QLabel>
#include <QStackedWidget>
#include <QStyle>
#include <QToolButton>
#include <QWidget>

namespace osterveil {

class EditorModel;
class ElidedLabel;
class PanelTabBar;
class TimecodeWell;
class VideoView;

// One bin item viewed, marked and placed into the sequence. It reads the model's source state and
// keeps none of its own.
class SourceMonitor : public QWidget {
    Q_OBJECT
  public:
    // Shows the model's source player.
    explicit SourceMonitor(EditorModel& model, QWidget* parent = nullptr);

    TimecodeWell* timecode() const { return timecode_; }
    QLabel* emptyLabel() const { return empty_; }
    QToolButton* insertButton() const { return insert_; }
    QToolButton* overwriteButton() const { return overwrite_; }
    ElidedLabel* nameLabel() const { return name_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void refresh();
    // The thumbnail fitted inside the picture's margin; none empties the layer.
    void showStill(const QImage* thumbnail);
    QToolButton* transport(const QString& icon, QStyle::StandardPixmap fallback, const QString& help);
    QToolButton* textButton(const QString& title, const QString& help);

    EditorModel& model_;
    TimecodeWell* timecode_ = nullptr;
    ElidedLabel* name_ = nullptr;
    QWidget* picture_ = nullptr;
    QLabel* still_ = nullptr;
    QLabel* empty_ = nullptr;
    VideoView* view_ = nullptr;
    QToolButton* play_ = nullptr;
    QToolButton* in_ = nullptr;
    QToolButton* out_ = nullptr;
    QToolButton* insert_ = nullptr;
    QToolButton* overwrite_ = nullptr;
    // Made once: refresh runs with every tick of the source time.
    QIcon playIcon_, pauseIcon_;
    // What the still layer shows now: the thumbnail's key and the room it was fitted to.
    qint64 stillKey_ = 0;
    QSize stillRoom_;
};

// The top-left pane: the source monitor and the clip inspector, one tab each.
class SourceGroup : public QWidget {
    Q_OBJECT
  public:
    // Made with the source monitor only, for a window made a pane at a time: `addEffectControls`
    // makes the other page.
    explicit SourceGroup(EditorModel& model, QWidget* parent = nullptr);
    void addEffectControls();

    SourceMonitor* monitor() const { return monitor_; }
    QStackedWidget* pages() const { return pages_; }

  private:
    EditorModel& model_;
    PanelTabBar* tabs_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    SourceMonitor* monitor_ = nullptr;
};

} // namespace osterveil
