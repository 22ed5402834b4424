#include "UI/Bin/MediaBinView.hpp"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDrag>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QToolTip>
#include <QUrl>

#include "App/EditorModel.hpp"
#include "Model/Timecode.hpp"
#include "UI/Bin/BinSymbols.hpp"
#include "UI/Common/Theme.hpp"

namespace osterveil {

namespace {

// Icon cells: a 72 × 42 thumbnail box inside 4 px of padding, 6 px apart, 8 px from the view's edges.
constexpr int thumbWidth = 72;
constexpr int thumbHeight = 42;
constexpr int cellPadding = 4;
constexpr int cellHeight = thumbHeight + 2 * cellPadding;
constexpr int cellSpacing = 6;
constexpr int iconMargin = 8;
// List columns: Name takes what Type and Duration leave.
constexpr int typeWidth = 64;
constexpr int durationWidth = 92;
constexpr int nameInset = 8;
constexpr int symbolWidth = 14;

QColor withAlpha(QColor color, double alpha) {
    color.setAlphaF(float(alpha));
    return color;
}

QFont pixelFont(const QFont& base, int pixels, QFont::Weight weight = QFont::Normal) {
    QFont f = base;
    f.setPixelSize(pixels);
    f.setWeight(weight);
    return f;
}

QFont rowFont(const QFont& base) {
    return pixelFont(base, 11);
}

QFont headerFont(const QFont& base) {
    QFont f = pixelFont(base, 9, QFont::DemiBold);
    f.setLetterSpacing(QFont::AbsoluteSpacing, 0.4);
    return f;
}

BinSymbols::Symbol listSymbol(MediaKind kind) {
    switch (kind) {
    case MediaKind::audio:
        return BinSymbols::Symbol::waveform;
    case MediaKind::image:
        return BinSymbols::Symbol::photo;
    case MediaKind::video:
        break;
    }
    return BinSymbols::Symbol::film;
}

// The icon view draws stills with the film symbol too; only sound has its own.
BinSymbols::Symbol iconSymbol(MediaKind kind) {
    return kind == MediaKind::audio ? BinSymbols::Symbol::waveform : BinSymbols::Symbol::film;
}

QString typeText(MediaKind kind) {
    switch (kind) {
    case MediaKind::audio:
        return QStringLiteral("Audio");
    case MediaKind::image:
        return QStringLiteral("Still");
    case MediaKind::video:
        break;
    }
    return QStringLiteral("Video");
}

void drawText(QPainter& painter, const QRect& rect, const QString& text, const QColor& color) {
    painter.setPen(color);
    const QString shown = painter.fontMetrics().elidedText(text, Qt::ElideRight, std::max(0, rect.width()));
    painter.drawText(rect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
}

} // namespace

const QString MediaBinView::cellHelp =
    QStringLiteral("Double-click to open in the Source monitor. Drag onto a track to edit.");

MediaBinView::MediaBinView(EditorModel& model, QWidget* parent) : QAbstractScrollArea(parent), model_(model) {
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setAutoFillBackground(false);
    viewport()->setMouseTracking(false);
    refresh();
}

void MediaBinView::refresh() {
    refreshItems();
    viewport()->update();
}

void MediaBinView::refreshItems() {
    const Project project = model_.project();
    if (project.media == items_ && project.sequence.frameRate == rate_) return;
    rate_ = project.sequence.frameRate;
    if (project.media != items_) {
        items_ = project.media;
        updateScrollRange();
    }
    viewport()->update();
}

void MediaBinView::setLook(Look look) {
    if (look_ == look) return;
    look_ = look;
    updateScrollRange();
    viewport()->update();
}

int MediaBinView::headerHeight() const {
    return look_ == Look::list ? QFontMetrics(headerFont(font())).height() + 8 : 0;
}

int MediaBinView::rowHeight() const {
    if (look_ == Look::icons) return cellHeight + cellSpacing;
    return QFontMetrics(rowFont(font())).height() + 8 + 1;
}

int MediaBinView::contentHeight() const {
    const int n = int(items_.size());
    if (look_ == Look::icons) return n == 0 ? 0 : 2 * iconMargin + n * cellHeight + (n - 1) * cellSpacing;
    return headerHeight() + n * rowHeight();
}

void MediaBinView::updateScrollRange() {
    QScrollBar* bar = verticalScrollBar();
    bar->setPageStep(viewport()->height());
    bar->setSingleStep(rowHeight());
    bar->setRange(0, std::max(0, contentHeight() - viewport()->height()));
}

QRect MediaBinView::itemRect(int index) const {
    const int scroll = verticalScrollBar()->value();
    const int width = viewport()->width();
    if (look_ == Look::icons)
        return {iconMargin, iconMargin + index * (cellHeight + cellSpacing) - scroll, width - 2 * iconMargin,
                cellHeight};
    return {0, headerHeight() + index * rowHeight() - scroll, width, rowHeight()};
}

int MediaBinView::itemAt(QPoint point) const {
    const int y = point.y() + verticalScrollBar()->value();
    int index = -1;
    if (look_ == Look::icons) {
        if (y < iconMargin) return -1;
        index = (y - iconMargin) / (cellHeight + cellSpacing);
    } else {
        if (y < headerHeight()) return -1;
        index = (y - headerHeight()) / rowHeight();
    }
    if (index < 0 || index >= int(items_.size())) return -1;
    return itemRect(index).contains(point) ? index : -1;
}

QString MediaBinView::durationLabel(const MediaItem& item, const FrameRate& rate) {
    if (item.kind == MediaKind::image || !(item.duration > 0)) return QStringLiteral("\u2014");
    return QString::fromStdString(Timecode::string(item.duration, rate));
}

std::unique_ptr<QMimeData> MediaBinView::dragData(const MediaItem& item,
                                                  const std::optional<std::filesystem::path>& projectURL) {
    auto data = std::make_unique<QMimeData>();
    data->setText(QString::fromStdString(item.id.toString()));
    if (const auto file = item.resolveURL(projectURL))
        data->setUrls({QUrl::fromLocalFile(QString::fromStdString(file->string()))});
    return data;
}

void MediaBinView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollRange();
}

void MediaBinView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    const QRect dirty = event->rect();
    painter.fillRect(dirty, Theme::panel);
    const int n = int(items_.size());
    if (n == 0) return;
    const int scroll = verticalScrollBar()->value();
    const int top = look_ == Look::icons ? iconMargin : headerHeight();
    const int first = std::clamp((dirty.top() + scroll - top) / rowHeight(), 0, n - 1);
    for (int i = first; i < n; ++i) {
        const QRect r = itemRect(i);
        if (r.top() > dirty.bottom()) break;
        if (look_ == Look::icons)
            paintCell(painter, r, items_[std::size_t(i)]);
        else
            paintRow(painter, r, items_[std::size_t(i)]);
    }
    if (look_ == Look::list) paintHeader(painter, QRect(0, -scroll, viewport()->width(), headerHeight()));
}

void MediaBinView::paintCell(QPainter& painter, const QRect& rect, const MediaItem& item) const {
    const bool selected = model_.selectedMediaID() == item.id;
    const bool offline = model_.offlineIDs().contains(item.id);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect, selected ? withAlpha(Theme::accent, 0.28) : withAlpha(Theme::panelRaised, 0.45));

    const QRectF box(rect.left() + cellPadding, rect.top() + cellPadding, thumbWidth, thumbHeight);
    QPainterPath rounded;
    rounded.addRoundedRect(box, 2, 2);
    painter.save();
    painter.setClipPath(rounded);
    painter.fillRect(box, Theme::well);
    const auto& thumbnails = model_.thumbnails();
    if (const auto found = thumbnails.find(item.id); found != thumbnails.end() && !found->second.isNull()) {
        // Fill the box, keeping the picture's shape and cutting what overflows.
        const QImage& image = found->second;
        const QSizeF scaled = QSizeF(image.size()).scaled(box.size(), Qt::KeepAspectRatioByExpanding);
        const QRectF target(box.center().x() - scaled.width() / 2, box.center().y() - scaled.height() / 2,
                            scaled.width(), scaled.height());
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, image);
    } else {
        BinSymbols::draw(painter, iconSymbol(item.kind), QRectF(box.center() - QPointF(8, 8), QSizeF(16, 16)),
                         Theme::textDim);
    }
    if (offline)
        BinSymbols::draw(painter, BinSymbols::Symbol::warning,
                         QRectF(box.center() - QPointF(9, 9), QSizeF(18, 18)), Theme::danger);
    painter.restore();

    // Drawn clear when unselected, so that selecting never moves anything.
    if (selected) {
        QPainterPath outline;
        outline.addRoundedRect(QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5), 2, 2);
        painter.setPen(QPen(Theme::accent, 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(outline);
    }

    const int textLeft = int(box.right()) + 8;
    const QRect textArea(textLeft, rect.top() + cellPadding, rect.right() - cellPadding - textLeft,
                         thumbHeight);
    const QFont nameFont = pixelFont(font(), 11, QFont::Medium);
    QFont codecFont = pixelFont(font(), 10);
    codecFont.setStyleHint(QFont::Monospace);
    codecFont.setFamily(QStringLiteral("monospace"));
    const int nameHeight = QFontMetrics(nameFont).height();
    const int codecHeight = QFontMetrics(codecFont).height();
    const int y = textArea.top() + (textArea.height() - nameHeight - 2 - codecHeight) / 2;
    painter.setFont(nameFont);
    drawText(painter, QRect(textArea.left(), y, textArea.width(), nameHeight),
             QString::fromStdString(item.name), Theme::text);
    painter.setFont(codecFont);
    drawText(painter, QRect(textArea.left(), y + nameHeight + 2, textArea.width(), codecHeight),
             QString::fromStdString(item.codec), Theme::textDim);
    painter.restore();
}

void MediaBinView::paintHeader(QPainter& painter, const QRect& rect) const {
    painter.fillRect(rect, Theme::panelHeader);
    painter.setFont(headerFont(font()));
    const int typeLeft = rect.right() + 1 - typeWidth - durationWidth;
    drawText(painter, QRect(nameInset, rect.top(), typeLeft - nameInset, rect.height()),
             QStringLiteral("NAME"), Theme::textDim);
    drawText(painter, QRect(typeLeft, rect.top(), typeWidth, rect.height()), QStringLiteral("TYPE"),
             Theme::textDim);
    drawText(painter, QRect(typeLeft + typeWidth, rect.top(), durationWidth, rect.height()),
             QStringLiteral("DURATION"), Theme::textDim);
}

void MediaBinView::paintRow(QPainter& painter, const QRect& rect, const MediaItem& item) const {
    const bool selected = model_.selectedMediaID() == item.id;
    const bool offline = model_.offlineIDs().contains(item.id);
    const QRect body(rect.left(), rect.top(), rect.width(), rect.height() - 1);
    if (selected) painter.fillRect(body, withAlpha(Theme::accent, 0.28));
    painter.fillRect(QRect(rect.left(), rect.bottom(), rect.width(), 1), Theme::line);

    painter.setFont(rowFont(font()));
    const int typeLeft = rect.right() + 1 - typeWidth - durationWidth;
    const QRectF symbol(nameInset, body.center().y() - 5, symbolWidth, 10);
    BinSymbols::draw(painter, listSymbol(item.kind), symbol, offline ? Theme::danger : Theme::textDim);
    const int nameLeft = nameInset + symbolWidth + 6;
    drawText(painter, QRect(nameLeft, body.top(), typeLeft - nameLeft - 4, body.height()),
             QString::fromStdString(item.name), Theme::text);
    drawText(painter, QRect(typeLeft, body.top(), typeWidth, body.height()), typeText(item.kind),
             Theme::textDim);
    drawText(painter, QRect(typeLeft + typeWidth, body.top(), durationWidth, body.height()),
             durationLabel(item, rate_), Theme::timecode);
}

void MediaBinView::mousePressEvent(QMouseEvent* event) {
    const int index = itemAt(event->position().toPoint());
    pressed_ = event->button() == Qt::LeftButton ? index : -1;
    pressPoint_ = event->position().toPoint();
    if (pressed_ >= 0) model_.setSelectedMediaID(items_[std::size_t(pressed_)].id);
}

void MediaBinView::mouseMoveEvent(QMouseEvent* event) {
    if (pressed_ < 0 || !(event->buttons() & Qt::LeftButton)) return;
    if ((event->position().toPoint() - pressPoint_).manhattanLength() < QApplication::startDragDistance())
        return;
    const MediaItem item = items_[std::size_t(pressed_)];
    pressed_ = -1;
    auto* drag = new QDrag(this);
    drag->setMimeData(dragData(item, model_.projectURL()).release());
    drag->exec(Qt::CopyAction);
}

void MediaBinView::mouseReleaseEvent(QMouseEvent*) {
    pressed_ = -1;
}

void MediaBinView::mouseDoubleClickEvent(QMouseEvent* event) {
    pressed_ = -1;
    const int index = itemAt(event->position().toPoint());
    if (index >= 0 && event->button() == Qt::LeftButton) model_.openInSource(items_[std::size_t(index)].id);
}

void MediaBinView::contextMenuEvent(QContextMenuEvent* event) {
    const int index = itemAt(event->pos());
    if (index < 0) return;
    emit menuRequested(items_[std::size_t(index)], event->globalPos());
}

bool MediaBinView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        if (look_ == Look::icons && itemAt(help->pos()) >= 0)
            QToolTip::showText(help->globalPos(), cellHelp, viewport());
        else
            QToolTip::hideText();
        return true;
    }
    return QAbstractScrollArea::viewportEvent(event);
}

} // namespace osterveil
