#pragma once

#include <QAbstractButton>
#include <QMenu>
#include <QWidget>
#include <filesystem>
#include <functional>

#include "Model/Project.hpp"
#include "UI/Bin/BinSymbols.hpp"

class QStackedWidget;

namespace osterveil {

class EditorModel;
class MediaBinView;
class PanelTabBar;

// A 28 × 26 header button showing one of the bin's pictograms.
class SymbolButton : public QAbstractButton {
    Q_OBJECT
  public:
    SymbolButton(BinSymbols::Symbol symbol, const QColor& color, const QString& help,
                 QWidget* parent = nullptr);
    void setSymbol(BinSymbols::Symbol symbol, const QColor& color);
    BinSymbols::Symbol symbol() const { return symbol_; }
    QSize sizeHint() const override { return {28, 26}; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    BinSymbols::Symbol symbol_;
    QColor color_;
};

// The project bin: a "Project" header with the import button and the icon/list toggle, the empty state
// while the project has no media, else the items in the chosen look. Files dropped anywhere on it are
// imported, Premiere XML through the XML import and everything else as media, one import per file.
//
// The bin keeps no project state: it shows the model's media, thumbnails, offline set, selection and
// look as they are, and changes them only through the model. Its own state is the drop highlight.
class ProjectPanel : public QWidget {
    Q_OBJECT
  public:
    // Where dropped files go; by default the model's XML import and media import.
    struct Importers {
        std::function<void(const std::filesystem::path&)> premiereXML;
        std::function<void(const std::filesystem::path&)> media;
    };

    explicit ProjectPanel(EditorModel& model, QWidget* parent = nullptr);

    void setImporters(Importers importers) { importers_ = std::move(importers); }
    // Shows the model's items and options as they are now.
    void refresh();
    // Shows the project's items as they are now, redrawing them only if they changed.
    void refreshItems();

    // The clicked item's menu; every entry acts on that item (or, "Locate Folder…", on all offline ones).
    QMenu* itemMenu(const MediaItem& item, QWidget* parent);
    // Hands each dropped local file to its import; anything else is passed over.
    void importDropped(const QList<QUrl>& urls);

    bool dropTargeted() const { return dropTargeted_; }
    MediaBinView* binView() const { return view_; }
    QWidget* emptyState() const { return empty_; }
    SymbolButton* importButton() const { return importButton_; }
    SymbolButton* viewToggle() const { return toggle_; }

  protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    QWidget* makeHeader();
    QWidget* makeEmptyState();
    void setDropTargeted(bool on);

    EditorModel& model_;
    Importers importers_;
    bool dropTargeted_ = false;
    PanelTabBar* tabs_ = nullptr;
    SymbolButton* importButton_ = nullptr;
    SymbolButton* toggle_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    QWidget* empty_ = nullptr;
    MediaBinView* view_ = nullptr;
    QWidget* outline_ = nullptr;
};

} // namespace osterveil
