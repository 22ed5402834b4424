#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QProgressDialog>
#include <map>
#include <memory>

#include "App/DocumentController.hpp"

class QAction;

namespace osterveil {

class EditorWindow;

// The program's side of the document machinery: an `EditorWindow` per document at the default size,
// file panels for Open and Save As, the Cancel Export / Keep Exporting and Save / Don't Save / Cancel
// questions, the question before writing over a file changed elsewhere, the progress of an open and
// error alerts.
class DocumentWindows : public QObject, public DocumentHost {
    Q_OBJECT
  public:
    explicit DocumentWindows(QObject* parent = nullptr);
    ~DocumentWindows() override;

    // Made after the host, since it needs it.
    void setController(DocumentController* controller);
    DocumentController* controller() const { return controller_; }

    EditorWindow* window(const ProjectDocument& document) const;
    // Stops the work of every window, those closed and not yet gone among them.
    void stopWork();

    void showDocument(ProjectDocument& document) override;
    void showDocumentInSteps(ProjectDocument& document, std::function<void()> shown) override;
    bool closeDocument(ProjectDocument& document) override;
    SaveChoice askToSave(const ProjectDocument& document, const QString& displayName) override;
    ExportChoice askToCancelExport(const ProjectDocument& document, const QString& displayName) override;
    std::vector<std::filesystem::path> chooseFilesToOpen() override;
    std::optional<std::filesystem::path> chooseSaveLocation(const ProjectDocument& document,
                                                            const QString& suggestedName) override;
    void showError(const QString& title, const QString& message) override;
    ChangedFileChoice askAboutChangedFile(const ProjectDocument& document,
                                          const QString& displayName) override;
    // A progress panel per file, shown once an open has taken a moment. It takes Quit as the editor's
    // sheets do, and its close and Escape cancel the open.
    void showOpening(const std::filesystem::path& file, double fraction) override;
    void finishOpening(const std::filesystem::path& file) override;

    // The question `askToCancelExport` runs, not yet shown: "Keep Exporting" is the default and what
    // Escape presses; "Cancel Export" has the destructive role.
    static std::unique_ptr<QMessageBox> exportQuestion(QWidget* parent, const QString& displayName);

  private:
    EditorWindow* enlist(ProjectDocument& document, EditorWindow* w);
    void cascade(EditorWindow* w);
    void present(EditorWindow* w);

    QPointer<DocumentController> controller_;
    std::map<std::filesystem::path, QPointer<QProgressDialog>> opening_;
    // Quit, for the windows that are not an editor's.
    QAction* quitAction_ = nullptr;
    std::map<const ProjectDocument*, QPointer<EditorWindow>> windows_;
};

} // namespace osterveil
