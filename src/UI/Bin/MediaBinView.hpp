#pragma once

#include <QAbstractScrollArea>
#include <QMimeData>
#include <QPoint>
#include <QScrollBar>
#include <memory>
#include <vector>

#include "Model/Project.hpp"

namespace osterveil {

class EditorModel;

// The scrolling list of the project bin's items, in one of two looks: icon cells (a thumbnail box with
// the name and codec beside it) or list rows under a Name/Type/Duration header that scrolls with them.
//
// Cells are painted, not built: only those in view are drawn, from the items as the last `refresh` found
// them and the model's thumbnails, offline set and selection as they are at paint time, so a thumbnail
// arriving or the selection moving costs one repaint of what is visible. The view writes the model's
// selection on a click, opens an item in the source monitor on a double click, drags an item out, and
// asks its owner for an item's menu on a secondary click.
class MediaBinView : public QAbstractScrollArea {
    Q_OBJECT
  public:
    enum class Look { icons, list };

    static const QString cellHelp;

    explicit MediaBinView(EditorModel& model, QWidget* parent = nullptr);

    // Takes the project's items and frame rate again and repaints.
    void refresh();
    // The same, repainting only if the items or the frame rate changed: a change elsewhere in the
    // project (a clip's) shows nothing here.
    void refreshItems();
    void setLook(Look look);
    Look look() const { return look_; }

    const CowVector<MediaItem>& items() const { return items_; }
    // Index of the item under a point of the viewport, or -1.
    int itemAt(QPoint viewportPoint) const;
    // Where an item lies in the viewport (scrolled out of view gives a rectangle outside it).
    QRect itemRect(int index) const;
    // The Duration column's text: "—" for a still or an item without length, else timecode at `rate`.
    static QString durationLabel(const MediaItem& item, const FrameRate& rate);
    // What a drag of the item carries: its id as upper-case UUID text, which the timeline places, and the
    // file it plays when that resolves.
    static std::unique_ptr<QMimeData> dragData(const MediaItem& item,
                                               const std::optional<std::filesystem::path>& projectURL);

  signals:
    void menuRequested(const MediaItem& item, QPoint globalPosition);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool viewportEvent(QEvent* event) override;

  private:
    int headerHeight() const;
    int rowHeight() const;
    int contentHeight() const;
    void updateScrollRange();
    void paintCell(QPainter& painter, const QRect& rect, const MediaItem& item) const;
    void paintHeader(QPainter& painter, const QRect& rect) const;
    void paintRow(QPainter& painter, const QRect& rect, const MediaItem& item) const;

    EditorModel& model_;
    Look look_ = Look::list;
    CowVector<MediaItem> items_;
    FrameRate rate_;
    int pressed_ = -1;
    QPoint pressPoint_;
};

} // namespace osterveil
