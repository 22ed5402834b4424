#include "UI/Shell/DocumentWindows.hpp"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <algorithm>

#include "UI/Shell/EditorWindow.hpp"

namespace osterveil {

namespace {

QString extensionPatterns(const QStringList& extensions) {
    QStringList patterns;
    for (const QString& extension : extensions)
        patterns << QStringLiteral("*.") + extension;
    return patterns.join(QLatin1Char(' '));
}

// The "Opening…" panel: its close and Escape ask for the open to be cancelled, and leave the panel
// to go with the open, rather than hiding it while the open goes on unseen or to come back.
class OpeningPanel : public QProgressDialog {
  public:
    OpeningPanel(const QString& text, std::function<void()> cancel)
        : QProgressDialog(text, QString(), 0, 1000), cancel_(std::move(cancel)) {}

    void reject() override { cancel_(); }

  protected:
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        cancel_();
    }

  private:
    std::function<void()> cancel_;
};

} // namespace

DocumentWindows::DocumentWindows(QObject* parent) : QObject(parent) {
    quitAction_ = new QAction(QStringLiteral("Quit"), this);
    quitAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quitAction_, &QAction::triggered, this, [this] {
        if (controller_) controller_->quit();
    });
}

DocumentWindows::~DocumentWindows() = default;

void DocumentWindows::setController(DocumentController* controller) {
    controller_ = controller;
    connect(controller, &DocumentController::displayNameChanged, this, [this](ProjectDocument* document) {
        if (EditorWindow* w = window(*document)) w->setDisplayName(controller_->displayName(*document));
    });
}

EditorWindow* DocumentWindows::window(const ProjectDocument& document) const {
    const auto it = windows_.find(&document);
    return it == windows_.end() ? nullptr : it->second.data();
}

void DocumentWindows::stopWork() {
    for (const auto& [document, w] : windows_)
        if (w) w->model().stopWork();
}

void DocumentWindows::showDocument(ProjectDocument& document) {
    EditorWindow* w = window(document);
    if (!w) {
        w = enlist(document, new EditorWindow(document, controller_));
        cascade(w);
    }
    // One still being made comes up once it is whole.
    if (w->isBuilt()) present(w);
}

void DocumentWindows::showDocumentInSteps(ProjectDocument& document, std::function<void()> shown) {
    EditorWindow* w = enlist(document, EditorWindow::makeInSteps(document, controller_));
    connect(w, &EditorWindow::built, this, [this, w, shown = std::move(shown)] {
        cascade(w);
        w->showInSteps(shown);
    });
}

EditorWindow* DocumentWindows::enlist(ProjectDocument& document, EditorWindow* w) {
    w->setAttribute(Qt::WA_DeleteOnClose);
    windows_[&document] = w;
    connect(w, &QObject::destroyed, this, [this, key = &document] { windows_.erase(key); });
    return w;
}

void DocumentWindows::cascade(EditorWindow* w) {
    // A new window cascades from the one that has the focus.
    if (EditorWindow* from = EditorWindow::focused()) w->move(from->pos() + QPoint(24, 24));
}

void DocumentWindows::present(EditorWindow* w) {
    w->show();
    w->raise();
    w->activateWindow();
}

bool DocumentWindows::closeDocument(ProjectDocument& document) {
    if (EditorWindow* w = window(document)) return w->close();
    if (controller_) controller_->discard(document);
    return true;
}

SaveChoice DocumentWindows::askToSave(const ProjectDocument& document, const QString& displayName) {
    QMessageBox box(window(document));
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(displayName);
    box.setText(
        QStringLiteral("Do you want to save the changes made to the document “%1”?").arg(displayName));
    box.setInformativeText(QStringLiteral("Your changes will be lost if you don’t save them."));
    QPushButton* save = box.addButton(QStringLiteral("Save…"), QMessageBox::AcceptRole);
    QPushButton* dontSave = box.addButton(QStringLiteral("Don’t Save"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    if (document.fileURL()) save->setText(QStringLiteral("Save"));
    box.setDefaultButton(save);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == save) return SaveChoice::save;
    if (box.clickedButton() == dontSave) return SaveChoice::dontSave;
    return SaveChoice::cancel;
}

std::unique_ptr<QMessageBox> DocumentWindows::exportQuestion(QWidget* parent, const QString& displayName) {
    auto box = std::make_unique<QMessageBox>(parent);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(displayName);
    box->setText(
        QStringLiteral("An export is in progress in “%1”. Do you want to cancel it?").arg(displayName));
    box->setInformativeText(QStringLiteral(
        "Cancelling deletes the unfinished movie and leaves any earlier file of that name as it was."));
    box->addButton(QStringLiteral("Cancel Export"), QMessageBox::DestructiveRole);
    QPushButton* keep = box->addButton(QStringLiteral("Keep Exporting"), QMessageBox::RejectRole);
    box->setDefaultButton(keep);
    box->setEscapeButton(keep);
    return box;
}

ExportChoice DocumentWindows::askToCancelExport(const ProjectDocument& document, const QString& displayName) {
    EditorWindow* w = window(document);
    if (w && !w->isExporting()) return ExportChoice::ended;
    const std::unique_ptr<QMessageBox> box = exportQuestion(w, displayName);
    // An export that ends while asked leaves nothing to cancel: the question goes with it.
    bool ended = false;
    if (w) {
        QMessageBox* question = box.get();
        connect(w, &EditorWindow::exportingChanged, question, [w, question, &ended] {
            if (w->isExporting()) return;
            ended = true;
            question->done(QMessageBox::Cancel);
        });
    }
    box->exec();
    if (ended) return ExportChoice::ended;
    return box->buttonRole(box->clickedButton()) == QMessageBox::DestructiveRole
               ? ExportChoice::cancelExport
               : ExportChoice::keepExporting;
}

std::vector<std::filesystem::path> DocumentWindows::chooseFilesToOpen() {
    const QString filter = QStringLiteral("Osterveil projects (%1)")
                               .arg(extensionPatterns(ProjectDocument::readableExtensions()));
    const QStringList files = QFileDialog::getOpenFileNames(
        EditorWindow::focused(), QStringLiteral("Open"),
        QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation), filter);
    std::vector<std::filesystem::path> chosen;
    for (const QString& file : files)
        chosen.emplace_back(file.toStdString());
    return chosen;
}

std::optional<std::filesystem::path> DocumentWindows::chooseSaveLocation(const ProjectDocument& document,
                                                                         const QString& suggestedName) {
    const QString folder =
        document.fileURL() ? QFileInfo(QString::fromStdString(document.fileURL()->string())).absolutePath()
                           : QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString filter = QStringLiteral("Osterveil project (%1)")
                               .arg(extensionPatterns(ProjectDocument::writableExtensions()));
    const QString file = QFileDialog::getSaveFileName(window(document), QStringLiteral("Save As"),
                                                      folder + QLatin1Char('/') + suggestedName, filter);
    if (file.isEmpty()) return std::nullopt;
    return std::filesystem::path(file.toStdString());
}

void DocumentWindows::showError(const QString& title, const QString& message) {
    QMessageBox box(EditorWindow::focused());
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(QStringLiteral("Osterveil"));
    box.setText(title);
    box.setInformativeText(message);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

ChangedFileChoice DocumentWindows::askAboutChangedFile(const ProjectDocument& document,
                                                       const QString& displayName) {
    QMessageBox box(window(document));
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(displayName);
    box.setText(QStringLiteral("The file “%1” has been changed by another application.").arg(displayName));
    box.setInformativeText(QStringLiteral(
        "Saving will replace the other version. Do you want to save yours under another name?"));
    QPushButton* saveAs = box.addButton(QStringLiteral("Save As…"), QMessageBox::AcceptRole);
    QPushButton* overwrite = box.addButton(QStringLiteral("Overwrite"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(saveAs);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == saveAs) return ChangedFileChoice::saveAs;
    if (box.clickedButton() == overwrite) return ChangedFileChoice::overwrite;
    return ChangedFileChoice::cancel;
}

void DocumentWindows::showOpening(const std::filesystem::path& file, double fraction) {
    QPointer<QProgressDialog>& dialog = opening_[file];
    if (!dialog) {
        const QString name = QString::fromStdString(file.filename().string());
        // Once the close or the key that asked for it has been handled: the panel goes with the open.
        dialog = new OpeningPanel(QStringLiteral("Opening “%1”…").arg(name), [this, file] {
            QMetaObject::invokeMethod(
                this,
                [this, file] {
                    if (controller_) controller_->cancelOpen(file);
                },
                Qt::QueuedConnection);
        });
        dialog->setWindowTitle(QStringLiteral("Osterveil"));
        // Not a window whose closing ends the program: a cancelled open at launch leaves it a new window.
        dialog->setAttribute(Qt::WA_QuitOnClose, false);
        dialog->addAction(quitAction_);
        dialog->setAutoReset(false);
        dialog->setAutoClose(false);
        // Only an open that takes a while shows the window.
        dialog->setMinimumDuration(400);
        dialog->setValue(0);
    }
    dialog->setValue(std::clamp(int(fraction * 1000), 0, 999));
}

void DocumentWindows::finishOpening(const std::filesystem::path& file) {
    const auto it = opening_.find(file);
    if (it == opening_.end()) return;
    // Gone now, not later: an alert about the open may follow at once in a loop of its own, where a
    // later delete would wait for the alert while the panel's own timer brought it back over it.
    delete it->second.data();
    opening_.erase(it);
}

} // namespace osterveil
