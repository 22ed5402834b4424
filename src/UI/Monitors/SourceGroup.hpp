#pragma once

#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QToolButton>
#include <QWidget>

#include "Platform/Media/Player.hpp"

namespace osterveil {

class EditorModel;
class PanelTabBar;
class TimecodeWell;
class VideoView;

// One bin item viewed, marked and placed into the sequence. It reads the model's source state and
// keeps none of its own.
class SourceMonitor : public QWidget {
    Q_OBJECT
  public:
    // `player` is the source player's pictures; none shows the well alone.
    SourceMonitor(EditorModel& model, media::Player* player, QWidget* parent = nullptr);

    TimecodeWell* timecode() const { return timecode_; }
    QLabel* emptyLabel() const { return empty_; }
    QPushButton* insertButton() const { return insert_; }
    QPushButton* overwriteButton() const { return overwrite_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void refresh();
    QToolButton* transport(const QString& icon, QStyle::StandardPixmap fallback, const QString& help);
    QPushButton* textButton(const QString& title, const QString& help);
    QIcon themeIcon(const QString& name, QStyle::StandardPixmap fallback) const;

    EditorModel& model_;
    TimecodeWell* timecode_ = nullptr;
    QLabel* name_ = nullptr;
    QWidget* picture_ = nullptr;
    QLabel* still_ = nullptr;
    QLabel* empty_ = nullptr;
    VideoView* view_ = nullptr;
    QToolButton* play_ = nullptr;
    QPushButton* in_ = nullptr;
    QPushButton* out_ = nullptr;
    QPushButton* insert_ = nullptr;
    QPushButton* overwrite_ = nullptr;
};

// The top-left pane: the source monitor and the clip inspector, one tab each.
class SourceGroup : public QWidget {
    Q_OBJECT
  public:
    SourceGroup(EditorModel& model, media::Player* player, QWidget* parent = nullptr);

    SourceMonitor* monitor() const { return monitor_; }
    QStackedWidget* pages() const { return pages_; }

  private:
    PanelTabBar* tabs_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    SourceMonitor* monitor_ = nullptr;
};

} // namespace osterveil
