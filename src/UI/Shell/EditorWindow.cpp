#include "UI/Shell/EditorWindow.hpp"
#include "UI/Shell/QtDesktopServices.hpp"

#include <QAbstractScrollArea>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTextEdit>
#include <QTimer>
#include <QUndoStack>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>

#include "App/DocumentController.hpp"
#include "App/EditorCommands.hpp"
#include "Model/Timecode.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Common/WheelGuard.hpp"
#include "UI/Shell/KeyCatcher.hpp"
#include "UI/Shell/MenuCommands.hpp"

namespace osterveil {

namespace {

// The pane sizes the split views keep and start from.
constexpr int sourceMinWidth = 340, sourceIdealWidth = 520;
constexpr int programMinWidth = 380;
constexpr int binMinWidth = 220, binIdealWidth = 300;
constexpr int timelineMinWidth = 360;
constexpr int topMinHeight = 240, bottomMinHeight = 220;

QKeySequence ctrl(Qt::Key key, Qt::KeyboardModifiers more = {}) {
    return QKeySequence(QKeyCombination(Qt::ControlModifier | more, key));
}

// The widget that Cut, Copy and Paste act on: the focused text field, or the field inside a focused
// spin box or editable combo box.
QWidget* textTarget(QWidget* focus) {
    if (!focus) return nullptr;
    if (qobject_cast<QLineEdit*>(focus) || qobject_cast<QTextEdit*>(focus) ||
        qobject_cast<QPlainTextEdit*>(focus))
        return focus;
    if (qobject_cast<QAbstractSpinBox*>(focus)) return focus->findChild<QLineEdit*>();
    if (auto* combo = qobject_cast<QComboBox*>(focus)) return combo->lineEdit();
    return nullptr;
}

// A pane never narrower than its rows need, so that no control is drawn squeezed or over another.
void keepMinimumWidth(QWidget* pane, int width) {
    pane->setMinimumWidth(std::max(width, pane->minimumSizeHint().width()));
}

// Calls `step` once per turn of the event loop, as long as it returns true and `owner` lives. Each turn's
// timer starts once the step is done, so a timer that came due meanwhile (a player's, say) goes first.
// (Steps posted as events would hold the timers back: the event loop lets them wait while any are posted.)
void inTurns(QObject* owner, std::function<bool()> step) {
    auto* turn = new QTimer(owner);
    turn->setSingleShot(true);
    QObject::connect(turn, &QTimer::timeout, owner, [turn, step = std::move(step)] {
        // The last step may close the window, and the timer with it.
        const QPointer<QTimer> self = turn;
        const bool more = step();
        if (!self) return;
        if (more)
            self->start(0);
        else
            self->deleteLater();
    });
    turn->start(0);
}

} // namespace

EditorWindow::EditorWindow(ProjectDocument& document, DocumentController* controller, QWidget* parent)
    : EditorWindow(document, controller, parent, InSteps{}) {
    while (!isBuilt())
        buildStep();
}

EditorWindow::EditorWindow(ProjectDocument& document, DocumentController* controller, QWidget* parent,
                           InSteps)
    : QMainWindow(parent), document_(&document), controller_(controller),
      model_(std::make_unique<EditorModel>(panes::makeProgramPlayer(), panes::makeSourcePlayer())) {
    setObjectName(QStringLiteral("EditorWindow"));
    // Before any pane is made, so that every control of the window is polished under it.
    WheelGuard::install();
    resize(defaultSize);
    model_->setDesktopServices(std::make_shared<QtDesktopServices>(this));
    planSteps();
}

EditorWindow* EditorWindow::makeInSteps(ProjectDocument& document, DocumentController* controller) {
    auto* w = new EditorWindow(document, controller, nullptr, InSteps{});
    inTurns(w, [w] {
        if (!w->isBuilt()) {
            w->buildStep();
            return true;
        }
        // What the last step set off goes in turns of its own (the panes' first look at the project,
        // then the requests for the pictures of its media and the watch on their files), and so does
        // what follows `built` (showing the window), a step's time or more.
        if (w->settlingTurns_-- > 0) return true;
        emit w->built();
        return false;
    });
    return w;
}

EditorWindow::~EditorWindow() {
    // The focus leaving the panes must not reach this window's slots once it has stopped being one.
    disconnect(qApp, nullptr, this, nullptr);
    // In the order the class comment gives.
    delete keyCatcher_;
    delete sheet_.data();
    delete alertBox_.data();
    delete takeCentralWidget();
    model_.reset();
}

void EditorWindow::showInSteps(std::function<void()> whole) {
    // Drawn a pane per turn as well: the first paint of the whole window takes several steps' time.
    std::deque<QPointer<QWidget>> held = holdPanes();
    show();
    raise();
    activateWindow();
    drawInTurns(std::move(held), std::move(whole));
}

std::deque<QPointer<QWidget>> EditorWindow::holdPanes() {
    std::deque<QPointer<QWidget>> held;
    for (const QPointer<QWidget>& pane : panes_) {
        if (pane && pane->updatesEnabled()) {
            pane->setUpdatesEnabled(false);
            held.push_back(pane);
        }
    }
    return held;
}

void EditorWindow::drawInTurns(std::deque<QPointer<QWidget>> held, std::function<void()> whole) {
    inTurns(this, [held = std::move(held), whole = std::move(whole)]() mutable {
        // A pane let go paints in the next turn, before this one's next step.
        if (held.empty()) {
            if (whole) whole();
            return false;
        }
        if (held.front()) held.front()->setUpdatesEnabled(true);
        held.pop_front();
        return true;
    });
}

void EditorWindow::drawnInParts(QWidget* pane) {
    // The bin and the timeline take the longest to draw: a part at a time, a scrolled view apart from
    // its scroll bars, and a part of many controls (the track headers) a child at a time.
    constexpr qsizetype manyControls = 20;
    for (QWidget* part : pane->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        auto* area = qobject_cast<QAbstractScrollArea*>(part);
        if (!area) area = part->findChild<QAbstractScrollArea*>();
        if (area) {
            for (QWidget* piece : area->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                panes_.emplace_back(piece);
        } else if (part->findChildren<QWidget*>().size() > manyControls) {
            for (QWidget* piece : part->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                panes_.emplace_back(piece);
        } else {
            panes_.emplace_back(part);
        }
    }
}

void EditorWindow::buildStep() {
    const std::function<void()> step = std::move(steps_.front());
    steps_.pop_front();
    step();
}

// Each step makes a pane or two (a couple of milliseconds at most), in the order a window made at once
// would, so that the widgets, their tab order and the sizes come out the same either way.
void EditorWindow::planSteps() {
    auto* central = new QWidget(this);
    central->setAutoFillBackground(true);
    QPalette palette = central->palette();
    palette.setColor(QPalette::Window, Theme::background);
    central->setPalette(palette);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* rows = new QSplitter(Qt::Vertical, central);
    rows->setObjectName(QStringLiteral("rows"));
    rows->setChildrenCollapsible(false);

    auto* top = new QSplitter(Qt::Horizontal, rows);
    top->setObjectName(QStringLiteral("top"));
    top->setChildrenCollapsible(false);
    top->setMinimumHeight(topMinHeight);

    auto* bottom = new QSplitter(Qt::Horizontal, rows);
    bottom->setObjectName(QStringLiteral("bottom"));
    bottom->setChildrenCollapsible(false);
    bottom->setMinimumHeight(bottomMinHeight);
    setCentralWidget(central);

    const auto source = std::make_shared<QWidget*>();
    steps_.push_back([this, top, source] { *source = panes::makeSourceGroup(*model_, top); });
    steps_.push_back([this, top, source] {
        panes::addEffectControls(*source);
        keepMinimumWidth(*source, sourceMinWidth);
        top->addWidget(*source);
        panes_.emplace_back(*source);
    });
    steps_.push_back([this, top] {
        QWidget* program = panes::makeProgramMonitor(*model_, top);
        keepMinimumWidth(program, programMinWidth);
        top->addWidget(program);
        panes_.emplace_back(program);
        top->setStretchFactor(1, 1);
        top->setSizes({sourceIdealWidth, defaultSize.width() - sourceIdealWidth});
    });
    steps_.push_back([this, bottom] {
        QWidget* bin = panes::makeProjectPanel(*model_, bottom);
        keepMinimumWidth(bin, binMinWidth);
        bottom->addWidget(bin);
        drawnInParts(bin);
    });
    steps_.push_back([this, bottom] {
        auto* timelineRow = new QWidget(bottom);
        auto* row = new QHBoxLayout(timelineRow);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(0);
        QWidget* tools = panes::makeToolsStrip(*model_, timelineRow);
        row->addWidget(tools);
        auto* rule = new QWidget(timelineRow);
        rule->setFixedWidth(1);
        rule->setAutoFillBackground(true);
        QPalette rulePalette = rule->palette();
        rulePalette.setColor(QPalette::Window, Theme::line);
        rule->setPalette(rulePalette);
        row->addWidget(rule);
        QWidget* timeline = panes::makeTimelinePanel(*model_, timelineRow);
        keepMinimumWidth(timeline, timelineMinWidth);
        row->addWidget(timeline, 1);
        bottom->addWidget(timelineRow);
        panes_.emplace_back(tools);
        drawnInParts(timeline);
        bottom->setStretchFactor(1, 1);
        bottom->setSizes({binIdealWidth, defaultSize.width() - binIdealWidth});
    });
    steps_.push_back([this, column, rows, top, bottom] {
        rows->addWidget(top);
        rows->addWidget(bottom);
        rows->setStretchFactor(0, 1);
        rows->setStretchFactor(1, 1);
        rows->setSizes({470, 400});
        column->addWidget(rows, 1);
        QWidget* status = buildStatusBar();
        column->addWidget(status);
        buildMenus();
        panes_.emplace_back(status);
        panes_.emplace_back(menuBar());
    });
    steps_.push_back([this] {
        keyCatcher_ = new KeyCatcher(this, [this](QKeyEvent* event) {
            // Behind a sheet, which leaves the window active, the editor stands still.
            if (sheet_) return false;
            return model_->handleKey({event->key(), event->modifiers(), event->text()});
        });

        setDisplayName(controller_ ? controller_->displayName(*document_) : QStringLiteral("Untitled"));
        setWindowModified(document_->isModified());
        connect(document_, &ProjectDocument::modifiedChanged, this, &QWidget::setWindowModified);

        model_->follow(EditorModel::Part::window, this, &EditorWindow::refreshFromModel);
        model_->follow(EditorModel::Part::programTime | EditorModel::Part::project, this,
                       &EditorWindow::refreshTime);
        // The document hook: attach and projectDidChange now, and after every change of the document's
        // project or file from here on.
        model_->followDocument(document_);
        // Another project taken by the window on screen (its sequence another) changes every pane:
        // they are drawn a pane per turn, as when the window first shows, so that it keeps answering.
        // Let go only after the panes have followed the change, which the model delivers in a turn
        // queued before this one.
        shownSequence_ = document_->project().sequence.id;
        connect(document_, &ProjectDocument::projectChanged, this, [this] {
            const Uuid sequence = document_->project().sequence.id;
            if (std::exchange(shownSequence_, sequence) == sequence || !isVisible()) return;
            QMetaObject::invokeMethod(
                this, [this, held = holdPanes()] { drawInTurns(held, {}); }, Qt::QueuedConnection);
        });
        refreshFromModel();
        refreshTime();
    });
}

QWidget* EditorWindow::buildStatusBar() {
    auto* bar = new QWidget(this);
    bar->setObjectName(QStringLiteral("statusBar"));
    bar->setAutoFillBackground(true);
    QPalette palette = bar->palette();
    palette.setColor(QPalette::Window, Theme::panel);
    palette.setColor(QPalette::WindowText, Theme::textDim);
    bar->setPalette(palette);
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(12, 5, 12, 5);

    statusLabel_ = new ElidedLabel(bar);
    QFont statusFont = statusLabel_->font();
    statusFont.setPixelSize(11);
    statusFont.setWeight(QFont::Normal);
    statusLabel_->setFont(statusFont);
    statusLabel_->setColor(Theme::textDim);
    row->addWidget(statusLabel_, 1);

    cancelImport_ = new QPushButton(QStringLiteral("Cancel"), bar);
    cancelImport_->setObjectName(QStringLiteral("cancelImport"));
    cancelImport_->setFlat(true);
    cancelImport_->setFont(statusFont);
    QPalette cancelPalette = cancelImport_->palette();
    cancelPalette.setColor(QPalette::ButtonText, Theme::accent);
    cancelImport_->setPalette(cancelPalette);
    cancelImport_->setToolTip(QStringLiteral("Stop the import; the project stays as it was."));
    cancelImport_->setVisible(false);
    connect(cancelImport_, &QPushButton::clicked, model_.get(), &EditorModel::cancelImport);
    row->addWidget(cancelImport_, 0, Qt::AlignRight);

    timecodeLabel_ = new QLabel(bar);
    QFont timecodeFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    timecodeFont.setPixelSize(11);
    timecodeFont.setWeight(QFont::Medium);
    timecodeLabel_->setFont(timecodeFont);
    QPalette timecodePalette = timecodeLabel_->palette();
    timecodePalette.setColor(QPalette::WindowText, Theme::text);
    timecodeLabel_->setPalette(timecodePalette);
    row->addWidget(timecodeLabel_, 0, Qt::AlignRight);
    return bar;
}

void EditorWindow::buildMenus() {
    QMenuBar* bar = menuBar();
    QMenu* file = bar->addMenu(QStringLiteral("File"));
    QAction* newItem = file->addAction(QStringLiteral("New"), this, [this] {
        if (controller_) controller_->newDocument();
    });
    newItem->setShortcut(ctrl(Qt::Key_N));
    QAction* openItem = file->addAction(QStringLiteral("Open…"), this, [this] {
        if (controller_) controller_->open();
    });
    openItem->setShortcut(ctrl(Qt::Key_O));
    QAction* documentItems = file->addSeparator();
    file->addAction(QStringLiteral("Close"), this, [this] { close(); })->setShortcut(ctrl(Qt::Key_W));
    QAction* save = file->addAction(QStringLiteral("Save"), this, [this] {
        if (controller_) controller_->save(*document_);
    });
    save->setShortcut(ctrl(Qt::Key_S));
    QAction* saveAs = file->addAction(QStringLiteral("Save As…"), this, [this] {
        if (controller_) controller_->saveAs(*document_);
    });
    saveAs->setShortcut(ctrl(Qt::Key_S, Qt::ShiftModifier));
    file->addSeparator();
    QAction* quit = file->addAction(QStringLiteral("Quit"), this, [this] {
        // The program ends once every window has closed (`quitFinished`), which may wait for a save.
        if (controller_) controller_->quit();
    });
    quit->setShortcut(ctrl(Qt::Key_Q));
    quitAction_ = quit;
    for (QAction* a : {newItem, openItem, save, saveAs, quit})
        a->setEnabled(controller_ != nullptr);

    QMenu* edit = bar->addMenu(QStringLiteral("Edit"));
    editMenu_ = edit;
    QUndoStack* stack = document_->undoStack();
    QAction* undo = stack->createUndoAction(edit, QStringLiteral("Undo"));
    undo->setShortcut(ctrl(Qt::Key_Z));
    QAction* redo = stack->createRedoAction(edit, QStringLiteral("Redo"));
    redo->setShortcut(ctrl(Qt::Key_Z, Qt::ShiftModifier));
    // Through the model, which calls off a gesture still open before the history moves.
    disconnect(undo, &QAction::triggered, stack, &QUndoStack::undo);
    disconnect(redo, &QAction::triggered, stack, &QUndoStack::redo);
    connect(undo, &QAction::triggered, model_.get(), &EditorModel::undo);
    connect(redo, &QAction::triggered, model_.get(), &EditorModel::redo);
    edit->addAction(undo);
    edit->addAction(redo);
    edit->addSeparator();
    const auto onText = [this](const char* slot) {
        return [this, slot] {
            if (QWidget* target = textTarget(focusWidget())) QMetaObject::invokeMethod(target, slot);
        };
    };
    cutAction_ = edit->addAction(QStringLiteral("Cut"), this, onText("cut"));
    cutAction_->setShortcut(ctrl(Qt::Key_X));
    copyAction_ = edit->addAction(QStringLiteral("Copy"), this, onText("copy"));
    copyAction_->setShortcut(ctrl(Qt::Key_C));
    pasteAction_ = edit->addAction(QStringLiteral("Paste"), this, onText("paste"));
    pasteAction_->setShortcut(ctrl(Qt::Key_V));
    connect(edit, &QMenu::aboutToShow, this, &EditorWindow::refreshEditMenu);
    connect(qApp, &QApplication::focusChanged, this, &EditorWindow::refreshEditMenu);
    refreshEditMenu();

    commands_ = new MenuCommands(
        bar, file, documentItems,
        [this]() -> std::optional<EditorActions> {
            if (focused() != this || sheet_) return std::nullopt;
            return actions();
        },
        this);
}

void EditorWindow::refreshEditMenu() {
    const bool text = textTarget(focusWidget()) != nullptr;
    for (QAction* a : {cutAction_, copyAction_, pasteAction_})
        a->setEnabled(text);
}

EditorActions EditorWindow::actions() const {
    // Each closure reaches the model as it is when the item runs; a closed window's does nothing.
    return EditorCommands::actions(QPointer<EditorModel>(model_.get()));
}

EditorWindow* EditorWindow::focused() {
    return qobject_cast<EditorWindow*>(QApplication::activeWindow());
}

std::optional<EditorActions> EditorWindow::focusedActions() {
    if (EditorWindow* window = focused()) return window->actions();
    return std::nullopt;
}

void EditorWindow::setDisplayName(const QString& name) {
    setWindowTitle(name + QStringLiteral("[*]"));
}

void EditorWindow::closeWithoutAsking() {
    closeConfirmed_ = true;
}

bool EditorWindow::isExporting() const {
    return std::any_of(exports_.begin(), exports_.end(),
                       [](const QPointer<ExportJob>& job) { return job && job->isRunning(); });
}

void EditorWindow::closeEvent(QCloseEvent* event) {
    // Sent straight here while this close's questions are up: they have the say.
    if (askingToClose_) {
        event->ignore();
        return;
    }
    if (!closeConfirmed_ && controller_) {
        // While the questions are up Qt counts this window as closing, and takes any other close of it
        // (the window manager's ✕ after Ctrl+Q, say) as done without coming here: the window would go
        // with its document unanswered. Such a close is refused on the way in.
        const QPointer<QWindow> handle = windowHandle();
        if (handle) handle->installEventFilter(this);
        askingToClose_ = true;
        const bool confirmed = controller_->confirmClose(*document_, isExporting());
        askingToClose_ = false;
        if (handle) handle->removeEventFilter(this);
        if (!confirmed) {
            event->ignore();
            return;
        }
    }
    closeConfirmed_ = true;
    event->accept();
    // An export left running would keep the program alive with no window to show it; cancelled, it
    // stops at its next frame and takes its unfinished file with it.
    for (const QPointer<ExportJob>& job : exports_)
        if (job) job->cancel();
    // From here on no key reaches the model, and the document goes with the window.
    delete keyCatcher_;
    keyCatcher_ = nullptr;
    if (sheet_) sheet_->reject();
    if (controller_) controller_->discard(*document_);
}

void EditorWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::ActivationChange) return;
    if (commands_) commands_->refresh();
    // A click on the editor behind its sheet activates the editor, where the sheet's keys (Escape,
    // Return) would go unheard: the sheet takes the focus back.
    if (sheet_ && sheet_->isVisible() && isActiveWindow()) {
        sheet_->raise();
        sheet_->activateWindow();
    }
}

bool EditorWindow::eventFilter(QObject* watched, QEvent* event) {
    if (askingToClose_ && event->type() == QEvent::Close && watched == windowHandle()) {
        event->ignore();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void EditorWindow::refreshFromModel() {
    const QString status = model_->status();
    statusLabel_->setText(QString(status).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    statusLabel_->setToolTip(status);
    cancelImport_->setVisible(model_->isImporting());
    presentSheets();
    presentAlert();
}

void EditorWindow::refreshTime() {
    timecodeLabel_->setText(QString::fromStdString(
        Timecode::string(model_->currentTime(), model_->project().sequence.frameRate)));
}

void EditorWindow::presentSheets() {
    const auto flag = [this](Sheet kind) {
        switch (kind) {
        case Sheet::exportMedia:
            return model_->showExport();
        case Sheet::sequenceSettings:
            return model_->showSequenceSettings();
        case Sheet::shortcuts:
            return model_->showShortcuts();
        case Sheet::none:
            break;
        }
        return false;
    };
    if (sheet_) {
        // Cleared from elsewhere: the sheet goes.
        if (!flag(sheetKind_)) sheet_->reject();
        return;
    }
    sheetKind_ = Sheet::none;
    QDialog* sheet = nullptr;
    if (model_->showExport()) {
        sheetKind_ = Sheet::exportMedia;
        sheet = panes::makeExportSheet(*model_, this, exportServices_);
        std::erase_if(exports_, [](const QPointer<ExportJob>& job) { return job.isNull(); });
        if (auto* exportSheet = qobject_cast<ExportSheet*>(sheet)) {
            exports_.emplace_back(&exportSheet->job());
            connect(&exportSheet->job(), &ExportJob::changed, this, &EditorWindow::exportingChanged);
        }
    } else if (model_->showSequenceSettings()) {
        sheetKind_ = Sheet::sequenceSettings;
        sheet = panes::makeSequenceSettingsSheet(*model_, this);
    } else if (model_->showShortcuts()) {
        sheetKind_ = Sheet::shortcuts;
        sheet = panes::makeShortcutsSheet(this);
    }
    if (!sheet) return;
    sheet_ = sheet;
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    // No sheet is modal: a modal one makes the window manager's close of the editor go unheard, and
    // that close must ask what it asks without one (about an export running, about unsaved edits). The
    // editor stands still behind the sheet instead, and Quit reaches the program from it. A sheet that
    // goes with its window loses nothing: its draft reaches the project only through its button.
    setEditorEnabled(false);
    sheet->addAction(quitAction_);
    connect(sheet, &QDialog::finished, this, [this, sheet] {
        const Sheet kind = sheetKind_;
        if (sheet_ == sheet) {
            sheet_ = nullptr;
            sheetKind_ = Sheet::none;
            setEditorEnabled(true);
        }
        // Closing the sheet writes the flag back; another sheet asked for meanwhile comes up next.
        if (kind == Sheet::exportMedia) model_->setShowExport(false);
        if (kind == Sheet::sequenceSettings) model_->setShowSequenceSettings(false);
        if (kind == Sheet::shortcuts) model_->setShowShortcuts(false);
        refreshFromModel();
    });
    sheet->setWindowModality(Qt::NonModal);
    sheet->show();
}

void EditorWindow::setEditorEnabled(bool enabled) {
    if (QWidget* panes = centralWidget()) panes->setEnabled(enabled);
    editMenu_->setEnabled(enabled);
    commands_->refresh();
}

void EditorWindow::presentAlert() {
    const auto& alert = model_->alert();
    if (alertBox_) {
        if (alert && shownAlert_ == alert->id) return;
        // Dismissed from elsewhere, or replaced by a newer alert: this box goes.
        QMessageBox* old = alertBox_;
        alertBox_ = nullptr;
        shownAlert_.reset();
        old->done(QMessageBox::Ok);
    }
    if (!alert) return;
    auto* box = new QMessageBox(this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(alert->title);
    box->setText(alert->title);
    box->setInformativeText(alert->message);
    QPushButton* ok = box->addButton(QStringLiteral("OK"), QMessageBox::RejectRole);
    ok->setToolTip(QStringLiteral("Dismiss"));
    box->setEscapeButton(ok);
    box->setDefaultButton(ok);
    const Uuid id = alert->id;
    shownAlert_ = id;
    alertBox_ = box;
    connect(box, &QMessageBox::finished, this, [this, box, id] {
        if (alertBox_ == box) {
            alertBox_ = nullptr;
            shownAlert_.reset();
        }
        // However it was dismissed, the model's alert goes, unless a newer one has taken its place.
        if (model_->alert() && model_->alert()->id == id) model_->setAlert(std::nullopt);
    });
    box->open();
}

} // namespace osterveil
