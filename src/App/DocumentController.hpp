#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

#include "App/ProjectDocument.hpp"

class QTimer;

namespace osterveil {

// The answer to "Do you want to save the changes…?" when a modified document is about to close.
enum class SaveChoice { save, dontSave, cancel };
// The answer to "An export is in progress…" when a window whose export is still running is about to close;
// `ended` when the export ended while asked, leaving nothing to cancel.
enum class ExportChoice { cancelExport, keepExporting, ended };

// The answer when the file a document is about to be saved over was replaced or changed by another
// program since it was opened or last saved.
enum class ChangedFileChoice { overwrite, saveAs, cancel };

// What the document machinery needs from the windows side: a window per document, and the panels and
// alerts it shows. The program's windows implement it; tests answer the questions themselves.
class DocumentHost {
  public:
    virtual ~DocumentHost() = default;

    // Shows the document's window, making one the first time.
    virtual void showDocument(ProjectDocument& document) = 0;
    // Makes the window of a document just read a pane per turn of the event loop, so that the program
    // keeps answering while a large project's window is made, and shows it; `shown` follows then, and
    // not if the window is closed first.
    virtual void showDocumentInSteps(ProjectDocument& document, std::function<void()> shown) = 0;
    // Closes the document's window as the user would, which asks about a running export and unsaved
    // changes (`DocumentController::confirmClose`). False when the window stays open.
    virtual bool closeDocument(ProjectDocument& document) = 0;

    virtual SaveChoice askToSave(const ProjectDocument& document, const QString& displayName) = 0;
    // Asked only while the document's window exports; the question goes by itself once the export ends.
    virtual ExportChoice askToCancelExport(const ProjectDocument& document, const QString& displayName) = 0;
    // The project files the user picked to open; none when cancelled.
    virtual std::vector<std::filesystem::path> chooseFilesToOpen() = 0;
    // Where to save a document first saved under `suggestedName`; none when cancelled.
    virtual std::optional<std::filesystem::path> chooseSaveLocation(const ProjectDocument& document,
                                                                    const QString& suggestedName) = 0;
    virtual void showError(const QString& title, const QString& message) = 0;
    // Whether to write over a file another program has replaced or changed, or save under another name.
    virtual ChangedFileChoice askAboutChangedFile(const ProjectDocument& document,
                                                  const QString& displayName) = 0;
    // An open of `file` under way: how far it has got (0…1); `finished` once it has ended either way.
    // What shows it may cancel the open (`DocumentController::cancelOpen`).
    virtual void showOpening(const std::filesystem::path& file, double fraction) = 0;
    virtual void finishOpening(const std::filesystem::path& file) = 0;
};

// The open documents of the program: New, Open, Save, Save As, Close and Quit, and the files named at
// launch. It owns every document; each has one window, made and closed through the host. A document
// is released when its window has closed (`discard`).
class DocumentController : public QObject {
    Q_OBJECT
  public:
    explicit DocumentController(DocumentHost& host, QObject* parent = nullptr);
    ~DocumentController() override;

    // A new "Untitled" project in a window of its own.
    ProjectDocument& newDocument();
    // Asks for files and opens each.
    void open();
    // Opens a project file in a window, or shows the window that has it already. The file is read on a
    // worker while the host shows how far it has got; `done` follows with the document, or with none
    // when the file could not be read, which is reported and opens nothing. One read during a quit
    // waits for the quit's end: it opens if the quit is given up, and nothing if the program ends.
    void openFile(const std::filesystem::path& file, std::function<void(ProjectDocument*)> done = {});
    // Opens are running.
    bool isOpening() const { return !opening_.empty(); }
    // Gives up the open of `file` (as `openFile` was handed it, or its absolute path) while it is read or
    // its window is made: nothing of it lands, and its `done` follows with none.
    void cancelOpen(const std::filesystem::path& file);
    // The files named on the command line; a new document when none of them opened, so the program
    // always starts with a window.
    void openAtLaunch(const QStringList& arguments);

    // Starts writing the document to its file on a worker; an untitled one, or one of the older
    // read-only type, asks where first, and a file another program replaced or changed since asks
    // whether to write over it. After a Save As the file is the new one, whether or not that write has
    // landed. False when cancelled. A write that fails is reported when it ends, and the old file stays
    // as it was.
    bool save(ProjectDocument& document);
    bool saveAs(ProjectDocument& document);

    // The questions before a document's window closes: while an export started in it runs, whether to
    // cancel that export; then, when modified, whether to save. True when the window may close (the
    // window then cancels its export); false when it stays, its export and document as they were.
    // While a save is written (one on its way, or the one just chosen) the window stays for now and
    // closes once the save has landed, through the host; a save that fails keeps it open. Asked again
    // meanwhile, or while its questions are up, it says false and asks nothing: no close ends the
    // document without the answer.
    bool confirmClose(ProjectDocument& document, bool exporting = false);
    // Closes the document's window (asking as above).
    bool close(ProjectDocument& document);
    // The window has closed: the document goes.
    void discard(ProjectDocument& document);
    // Closes every window, asking for each exporting or modified one; stops at the first the user keeps.
    // True when all have closed now. One that closes once its save lands holds the quit, which goes on
    // from there, and so does a window whose close's questions are up when the quit comes: its answer
    // comes first. Once every window has closed the opens under way end with nothing, and
    // `quitFinished` follows.
    bool quit();

    // The window title's name: the file name, or "Untitled", "Untitled 2", … while never saved.
    QString displayName(const ProjectDocument& document) const;
    std::vector<ProjectDocument*> documents() const;
    // The cancel token of the opens under way; they are not delivered once the controller has gone.
    std::stop_token workToken() const { return work_.get_token(); }
    // Stops the opens under way at their next step; none is delivered after.
    void stopWork();

  signals:
    // A document's display name changed (its first save, a Save As).
    void displayNameChanged(osterveil::ProjectDocument* document);
    // A quit has closed every window: the program may end.
    void quitFinished();

  private:
    struct Entry {
        std::unique_ptr<ProjectDocument> document;
        int untitledNumber = 0;
        // Its window closes once the saves on their way have landed.
        bool closeAfterSaves = false;
        // The question about its export was answered for the close under way.
        bool exportAnswered = false;
        // The next close goes ahead without asking: what was asked has been answered and saved.
        bool closeAnswered = false;
        bool lastSaveFailed = false;
        // Its close's questions are up, in a loop of their own.
        bool asking = false;
        // A quit came while they were up and waits for the answer.
        bool holdsQuit = false;
        // Told once its window is up, or with none if the window goes first.
        std::function<void(ProjectDocument*)> whenShown;
    };
    enum class Quit { none, waiting, finished };
    struct OpenOutcome {
        std::optional<ProjectDocument::Reading> reading;
        QString failure;
    };
    // A file being read: its read stops when `stop` does.
    struct Opening {
        std::filesystem::path file;
        std::stop_source stop;
        QTimer* poll = nullptr;
        std::function<void(ProjectDocument*)> done;
    };
    // An open that landed during a quit, until the quit ends.
    struct HeldOpen {
        std::filesystem::path file;
        OpenOutcome outcome;
        std::function<void(ProjectDocument*)> done;
    };

    Entry* entry(const ProjectDocument& document);
    const Entry* entry(const ProjectDocument& document) const;
    // Takes the document in, without a window.
    ProjectDocument& enlist(std::unique_ptr<ProjectDocument> document);
    void windowShown(ProjectDocument& document);
    bool write(ProjectDocument& document, const std::filesystem::path& file);
    // The questions of `confirmClose`, and the wait for a save on its way.
    bool askBeforeClose(ProjectDocument& document, bool exporting);
    // The document's saves have landed: a close waiting for them goes on.
    void savesLanded(ProjectDocument& document);
    // Closes the windows left, one after another; false while one stays or holds the quit.
    bool continueQuit();
    // A window that held the quit has gone: the quit goes on.
    void resumeQuit();
    void continueHeldQuit();
    // The user kept a window: the quit is over, and the opens it held go ahead.
    void abandonQuit();
    void openHeld();
    // A read has ended: its window, its error, or, during a quit, a wait for the quit's end.
    void landOpen(HeldOpen open);
    // The read of an open is given up: its panel goes, and its `done` hears none.
    void dropOpening(std::vector<Opening>::iterator opening);

    DocumentHost& host_;
    std::vector<Entry> entries_;
    Quit quit_ = Quit::none;
    // Files being read, by absolute path.
    std::vector<Opening> opening_;
    std::vector<HeldOpen> heldOpens_;
    std::stop_source work_;
};

} // namespace osterveil
