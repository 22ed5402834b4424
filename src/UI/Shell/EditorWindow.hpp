#pragma once

#include <QDialog>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "App/EditorActions.hpp"
#include "App/EditorModel.hpp"
#include "UI/Shell/EditorPanes.hpp"

class QSplitter;

namespace osterveil {

class DocumentController;
class ElidedLabel;
class MenuCommands;
class KeyCatcher;

// The window of one project document: the source group and program monitor over the bin, tools strip
// and timeline, a status line with the playhead's timecode, the menus, the single-key catcher, the
// alert and the sheets. It owns the window's `EditorModel` and hands it to every pane; it holds no
// editing logic of its own.
//
// It is also the document's one hook into the model: the model follows the document from the start,
// learning of every change of its project and file.
//
// A window is made in steps, a pane or two each: all at once by the constructor, or a step per turn of
// the event loop (`makeInSteps`) for a project just opened, whose window is shown once it is whole and
// then drawn a pane per turn (`showInSteps`).
//
// Teardown goes from what reads the model to the model itself, so that nothing outlives what it reads:
// the key catcher (no key reaches the model any more), an open sheet and the alert, the central widget
// with every pane, and then the model with its players and the work it queued. The menus' record reads
// the model through a guarded pointer; the document belongs to the document controller and outlives
// the window.
class EditorWindow : public QMainWindow {
    Q_OBJECT
  public:
    static constexpr QSize defaultSize{1440, 900};

    // `controller` runs the File menu's document items; without one they are disabled.
    EditorWindow(ProjectDocument& document, DocumentController* controller, QWidget* parent = nullptr);
    // A window made a pane per turn of the event loop, so that the program keeps answering while it is
    // made on a busy machine; `built` follows once it is whole. It is not shown.
    static EditorWindow* makeInSteps(ProjectDocument& document, DocumentController* controller);
    ~EditorWindow() override;

    // Whole: its panes, its menus and the model following the document.
    bool isBuilt() const { return steps_.empty(); }
    // Shows, raises and activates the window, drawing its panes one per turn of the event loop;
    // `whole` follows once every pane has been drawn.
    void showInSteps(std::function<void()> whole);

    EditorModel& model() const { return *model_; }
    ProjectDocument& document() const { return *document_; }

    // The menu contract over this window's model; a new record every time.
    EditorActions actions() const;
    // The editor window that has the focus now, if any.
    static EditorWindow* focused();
    // The record of the focused editor window, or none: what the program's menus read.
    static std::optional<EditorActions> focusedActions();

    // Sets the name the title shows; the modified marker follows the document.
    void setDisplayName(const QString& name);
    // Lets the next close go ahead without asking (the document's question was answered already).
    void closeWithoutAsking();
    // An export started in this window is still writing its movie, whether or not its sheet is open.
    // Closing the window asks first, and cancels it.
    bool isExporting() const;

    MenuCommands* commands() const { return commands_; }
    // The status line: plain text on one line, ending in "…" where it does not fit.
    ElidedLabel* statusLabel() const { return statusLabel_; }
    QLabel* timecodeLabel() const { return timecodeLabel_; }
    // Shown beside the status line while an import runs; stops it.
    QPushButton* cancelImportButton() const { return cancelImport_; }
    // The sheet presented now, if any, and the alert box.
    QDialog* presentedSheet() const { return sheet_; }
    QMessageBox* alertBox() const { return alertBox_; }
    // Where the export sheets presented from now on ask for their file, and what writes the movie;
    // empty members take the real save panel and exporter.
    void setExportServices(ExportSheet::Services services) { exportServices_ = std::move(services); }

  signals:
    void built();
    // An export started here moved on or ended: `isExporting` may have changed.
    void exportingChanged();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    struct InSteps {};
    EditorWindow(ProjectDocument& document, DocumentController* controller, QWidget* parent, InSteps);
    void planSteps();
    // Adds the parts of `pane` to those drawn a turn apart.
    void drawnInParts(QWidget* pane);
    // Stops the panes that draw now from drawing, and returns them; `drawInTurns` lets them go a pane
    // per turn of the event loop, then calls `whole`, if any.
    std::deque<QPointer<QWidget>> holdPanes();
    void drawInTurns(std::deque<QPointer<QWidget>> held, std::function<void()> whole);
    void buildStep();
    void buildMenus();
    QWidget* buildStatusBar();
    void refreshFromModel();
    void refreshTime();
    void presentSheets();
    void presentAlert();
    void refreshEditMenu();
    // The panes, the Edit menu and the program's commands; off while a sheet is up.
    void setEditorEnabled(bool enabled);

    ProjectDocument* document_;
    QPointer<DocumentController> controller_;
    // What is left to make.
    std::deque<std::function<void()>> steps_;
    // The panes, the parts of the bin and the timeline, the status line and the menus, each drawn in a
    // turn of its own by `showInSteps`.
    std::vector<QPointer<QWidget>> panes_;
    // The sequence of the project the panes show, to tell another project from an edit.
    Uuid shownSequence_;
    // Turns left between the last step and `built`.
    int settlingTurns_ = 2;
    // Held here rather than as a child, so that it goes after the panes, not before them.
    std::unique_ptr<EditorModel> model_;
    MenuCommands* commands_ = nullptr;
    KeyCatcher* keyCatcher_ = nullptr;
    ElidedLabel* statusLabel_ = nullptr;
    QLabel* timecodeLabel_ = nullptr;
    QPushButton* cancelImport_ = nullptr;
    QAction* cutAction_ = nullptr;
    QAction* copyAction_ = nullptr;
    QAction* pasteAction_ = nullptr;
    QMenu* editMenu_ = nullptr;
    QAction* quitAction_ = nullptr;
    QPointer<QDialog> sheet_;
    // Which flag the presented sheet answers to.
    enum class Sheet { none, exportMedia, sequenceSettings, shortcuts };
    Sheet sheetKind_ = Sheet::none;
    QPointer<QMessageBox> alertBox_;
    ExportSheet::Services exportServices_;
    // The jobs of the export sheets presented here; each goes once its export has ended and its sheet
    // has closed.
    std::vector<QPointer<ExportJob>> exports_;
    std::optional<Uuid> shownAlert_;
    bool closeConfirmed_ = false;
    // The close handler's questions are up.
    bool askingToClose_ = false;
};

} // namespace osterveil
