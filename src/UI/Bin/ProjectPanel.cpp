#include "UI/Bin/ProjectPanel.hpp"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "App/EditorModel.hpp"
#include "UI/Bin/MediaBinView.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/PanelTabBar.hpp"
#include "UI/Common/Theme.hpp"

namespace osterveil {

namespace {

bool isPremiereXML(const std::filesystem::path& file) {
    const QString extension = QString::fromStdString(file.extension().string()).toLower();
    return extension == QLatin1String(".xml") || extension == QLatin1String(".xmeml");
}

void fill(QWidget* widget, const QColor& color) {
    widget->setAutoFillBackground(true);
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, color);
    widget->setPalette(palette);
}

// The accent outline over the whole panel while files hover over it; lets every event through.
class DropOutline : public QWidget {
  public:
    using QWidget::QWidget;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(QPen(Theme::accent, 1));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
};

} // namespace

// ----- SymbolButton -------------------------------------------------------------------------------------

SymbolButton::SymbolButton(BinSymbols::Symbol symbol, const QColor& color, const QString& help,
                           QWidget* parent)
    : QAbstractButton(parent), symbol_(symbol), color_(color) {
    setToolTip(help);
    setCursor(Qt::ArrowCursor);
    setFocusPolicy(Qt::NoFocus);
    setFixedSize(sizeHint());
}

void SymbolButton::setSymbol(BinSymbols::Symbol symbol, const QColor& color) {
    symbol_ = symbol;
    color_ = color;
    update();
}

void SymbolButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QColor color = color_;
    if (isDown()) color.setAlphaF(0.6f);
    BinSymbols::draw(painter, symbol_, QRectF(rect().center() - QPointF(6.5, 6.5), QSizeF(13, 13)), color);
}

// ----- ProjectPanel -------------------------------------------------------------------------------------

ProjectPanel::ProjectPanel(EditorModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    importers_ = {
        .premiereXML = [this](const std::filesystem::path& file) { model_.importPremiereXML(file); },
        .media = [this](const std::filesystem::path& file) { model_.ingest({file}); },
    };
    fill(this, Theme::panel);
    setAcceptDrops(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(makeHeader());
    pages_ = new QStackedWidget(this);
    empty_ = makeEmptyState();
    view_ = new MediaBinView(model_, pages_);
    pages_->addWidget(empty_);
    pages_->addWidget(view_);
    layout->addWidget(pages_, 1);

    outline_ = new DropOutline(this);
    outline_->setAttribute(Qt::WA_TransparentForMouseEvents);
    outline_->hide();

    connect(view_, &MediaBinView::menuRequested, this, [this](const MediaItem& item, QPoint at) {
        QMenu* menu = itemMenu(item, this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(at);
    });
    using Part = EditorModel::Part;
    // Most changes of the project are a clip's, which the bin does not show.
    model_.follow(Part::project, this, &ProjectPanel::refreshItems);
    model_.follow(Part::pictures | Part::window, this, &ProjectPanel::refresh);
    refresh();
}

QWidget* ProjectPanel::makeHeader() {
    auto* header = new QWidget(this);
    fill(header, Theme::panelHeader);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    tabs_ = new PanelTabBar({QStringLiteral("Project")}, 0, header);
    // The bin has one tab; choosing it changes nothing.
    row->addWidget(tabs_, 1);
    importButton_ =
        new SymbolButton(BinSymbols::Symbol::plus, Theme::text, QStringLiteral("Import media"), header);
    connect(importButton_, &QAbstractButton::clicked, &model_, &EditorModel::importMedia);
    row->addWidget(importButton_);
    toggle_ = new SymbolButton(BinSymbols::Symbol::grid, Theme::textDim, QStringLiteral("Icon view"), header);
    connect(toggle_, &QAbstractButton::clicked, this,
            [this] { model_.setProjectShowsIcons(!model_.projectShowsIcons()); });
    row->addWidget(toggle_);
    return header;
}

QWidget* ProjectPanel::makeEmptyState() {
    auto* page = new QWidget(this);
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(8);
    auto* title = new QLabel(QStringLiteral("No project items"), page);
    QFont titleFont = title->font();
    titleFont.setPixelSize(13);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    PanelText::setTextColor(title, Theme::text);
    column->addWidget(title);
    column->addWidget(makeCaption(QStringLiteral("Import QuickTime, MP4, audio, or stills. Double-click an "
                                                 "item to open it in the Source monitor."),
                                  page, Theme::textDim));
    auto* button = new QPushButton(QStringLiteral("Import…"), page);
    button->setObjectName(QStringLiteral("emptyImport"));
    button->setToolTip(QStringLiteral("Import video, audio, or stills"));
    button->setStyleSheet(
        QStringLiteral("QPushButton { background: %1; color: white; border: none; border-radius: 5px;"
                       " padding: 3px 12px; } QPushButton:pressed { background: %2; }")
            .arg(Theme::accent.name(), Theme::accent.darker(130).name()));
    connect(button, &QPushButton::clicked, &model_, &EditorModel::importMedia);
    column->addWidget(button, 0, Qt::AlignLeft);
    column->addStretch(1);
    return page;
}

void ProjectPanel::refresh() {
    const bool icons = model_.projectShowsIcons();
    toggle_->setSymbol(icons ? BinSymbols::Symbol::listBullet : BinSymbols::Symbol::grid,
                       icons ? Theme::accent : Theme::textDim);
    toggle_->setToolTip(icons ? QStringLiteral("List view") : QStringLiteral("Icon view"));
    view_->setLook(icons ? MediaBinView::Look::icons : MediaBinView::Look::list);
    view_->refresh();
    pages_->setCurrentWidget(view_->items().empty() ? empty_ : static_cast<QWidget*>(view_));
}

void ProjectPanel::refreshItems() {
    view_->refreshItems();
    pages_->setCurrentWidget(view_->items().empty() ? empty_ : static_cast<QWidget*>(view_));
}

QMenu* ProjectPanel::itemMenu(const MediaItem& item, QWidget* parent) {
    auto* menu = new QMenu(parent);
    menu->setToolTipsVisible(true);
    const Uuid id = item.id;
    auto add = [&](const QString& title, const QString& help, std::function<void()> action) {
        QAction* entry = menu->addAction(title);
        entry->setToolTip(help);
        connect(entry, &QAction::triggered, &model_, std::move(action));
    };
    add(QStringLiteral("Open in Source"), QStringLiteral("Open this item in the Source monitor"),
        [this, id] { model_.openInSource(id); });
    add(QStringLiteral("Insert at Playhead"), QStringLiteral("Ripple insert at the sequence playhead"),
        [this, id] { model_.insertMediaAtPlayhead(id); });
    add(QStringLiteral("Overwrite at Playhead"),
        QStringLiteral("Overwrite the targeted track at the sequence playhead"),
        [this, id] { model_.overwriteMediaAtPlayhead(id); });
    add(QStringLiteral("Reveal in File Manager"), QStringLiteral("Show this file in the file manager"),
        [this, id] { model_.revealMedia(id); });
    add(QStringLiteral("Relink…"), QStringLiteral("Point this item at a new file"),
        [this, id] { model_.relink(id); });
    add(QStringLiteral("Locate Folder…"),
        QStringLiteral("Relink every offline item by matching file names in a folder"),
        [this] { model_.locateFolder(); });
    menu->addSeparator();
    add(QStringLiteral("Remove from Project"), QStringLiteral("Remove this item from the project"),
        [this, id] { model_.removeMedia(id); });
    return menu;
}

void ProjectPanel::importDropped(const QList<QUrl>& urls) {
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) continue;
        const std::filesystem::path file = url.toLocalFile().toStdString();
        if (file.empty()) continue;
        (isPremiereXML(file) ? importers_.premiereXML : importers_.media)(file);
    }
}

void ProjectPanel::setDropTargeted(bool on) {
    dropTargeted_ = on;
    outline_->setVisible(on);
    if (on) outline_->raise();
}

void ProjectPanel::dragEnterEvent(QDragEnterEvent* event) {
    // An item dragged out of this bin also carries its file; dropped back here it must not import again.
    if (event->source() == view_ || !event->mimeData()->hasUrls()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    setDropTargeted(true);
}

void ProjectPanel::dragLeaveEvent(QDragLeaveEvent* event) {
    setDropTargeted(false);
    QWidget::dragLeaveEvent(event);
}

void ProjectPanel::dropEvent(QDropEvent* event) {
    setDropTargeted(false);
    // Accepted whatever it held: what cannot be imported is passed over without a word.
    event->acceptProposedAction();
    importDropped(event->mimeData()->urls());
}

void ProjectPanel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    outline_->setGeometry(rect());
}

} // namespace osterveil
