#include "App/DocumentController.hpp"
#include "App/Offload.hpp"

#include <QFileInfo>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <memory>
#include <set>

namespace osterveil {

namespace {

QString fileName(const std::filesystem::path& file) {
    return QString::fromStdString(file.filename().string());
}

bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code error;
    if (std::filesystem::equivalent(a, b, error)) return true;
    return std::filesystem::weakly_canonical(a, error) == std::filesystem::weakly_canonical(b, error);
}

// Only the current type is written: a file of another extension gets the current one added.
std::filesystem::path withProjectExtension(std::filesystem::path file) {
    const QString suffix = QFileInfo(QString::fromStdString(file.string())).suffix();
    if (!ProjectDocument::writableExtensions().contains(suffix, Qt::CaseInsensitive))
        file += "." + std::string(ProjectDocument::fileExtension);
    return file;
}

bool isWritableType(const std::filesystem::path& file) {
    return ProjectDocument::writableExtensions().contains(
        QFileInfo(QString::fromStdString(file.string())).suffix(), Qt::CaseInsensitive);
}

} // namespace

DocumentController::DocumentController(DocumentHost& host, QObject* parent) : QObject(parent), host_(host) {}

DocumentController::~DocumentController() {
    stopWork();
}

void DocumentController::stopWork() {
    WorkService::shared().cancel(work_);
}

ProjectDocument& DocumentController::newDocument() {
    ProjectDocument& document = enlist(std::make_unique<ProjectDocument>());
    host_.showDocument(document);
    return document;
}

void DocumentController::open() {
    for (const auto& file : host_.chooseFilesToOpen())
        openFile(file);
}

void DocumentController::openFile(const std::filesystem::path& file,
                                  std::function<void(ProjectDocument*)> done) {
    for (const Entry& e : entries_) {
        if (e.document->fileURL() && sameFile(*e.document->fileURL(), file)) {
            host_.showDocument(*e.document);
            if (done) done(e.document.get());
            return;
        }
    }
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(file, error);
    if (error) absolute = file;
    for (const Opening& other : opening_) {
        // Already on its way: one window is enough.
        if (sameFile(other.file, absolute)) {
            if (done) done(nullptr);
            return;
        }
    }
    host_.showOpening(absolute, 0);

    // The reader reports from its threads; the window hears it a few times a second.
    auto progress = std::make_shared<std::atomic<double>>(0.0);
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this,
            [this, absolute, progress] { host_.showOpening(absolute, progress->load()); });
    poll->start(100);
    const std::stop_source stop;
    opening_.push_back({absolute, stop, poll, std::move(done)});

    using Outcome = OpenOutcome;
    offload(
        WorkService::Lane::documents, this,
        [absolute, progress, stop](const std::stop_token& all) -> Outcome {
            // Given up by itself, or with every other job of the controller.
            std::stop_source read = stop;
            const std::stop_callback withAll(all, [read]() mutable { read.request_stop(); });
            try {
                return {ProjectDocument::readFile(
                            absolute, [progress](double f) { progress->store(f); }, read.get_token()),
                        {}};
            } catch (const ProjectError& error) {
                return {std::nullopt, QString::fromStdString(error.errorDescription())};
            } catch (const DocumentError& error) {
                return {std::nullopt, QString::fromUtf8(error.what())};
            } catch (const std::bad_alloc&) {
                return {std::nullopt, QStringLiteral("There is not enough memory to open it.")};
            }
        },
        [stop](DocumentController& controller, Outcome outcome) {
            auto& opening = controller.opening_;
            const auto it = std::find_if(opening.begin(), opening.end(),
                                         [&stop](const Opening& o) { return o.stop == stop; });
            // Given up meanwhile.
            if (it == opening.end()) return;
            Opening read = std::move(*it);
            opening.erase(it);
            delete read.poll;
            controller.landOpen({read.file, std::move(outcome), std::move(read.done)});
        });
}

void DocumentController::cancelOpen(const std::filesystem::path& file) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(file, error);
    if (error) absolute = file;
    // Still being read: the read stops at its next step, and its outcome is let be.
    const auto reading =
        std::find_if(opening_.begin(), opening_.end(), [&](const Opening& o) { return o.file == absolute; });
    if (reading != opening_.end()) return dropOpening(reading);
    // Read, its window still being made: the window goes, and the open with it (`discard`).
    for (const Entry& e : entries_)
        if (e.whenShown && e.document->fileURL() == absolute) {
            host_.closeDocument(*e.document);
            return;
        }
}

void DocumentController::dropOpening(std::vector<Opening>::iterator opening) {
    Opening dropped = std::move(*opening);
    opening_.erase(opening);
    dropped.stop.request_stop();
    delete dropped.poll;
    host_.finishOpening(dropped.file);
    if (dropped.done) dropped.done(nullptr);
}

void DocumentController::landOpen(HeldOpen open) {
    const QString name = fileName(open.file);
    // The user is quitting: the window waits to see whether the program ends.
    if (quit_ == Quit::waiting) {
        host_.finishOpening(open.file);
        heldOpens_.push_back(std::move(open));
        return;
    }
    if (quit_ == Quit::finished) {
        host_.finishOpening(open.file);
        if (open.done) open.done(nullptr);
        return;
    }
    if (!open.outcome.reading) {
        host_.finishOpening(open.file);
        host_.showError(QStringLiteral("The document “%1” could not be opened.").arg(name),
                        open.outcome.failure);
        if (open.done) open.done(nullptr);
        return;
    }
    // Two reads of one file held by a quit: one window is enough.
    for (const Entry& e : entries_) {
        if (e.document->fileURL() && sameFile(*e.document->fileURL(), open.file)) {
            host_.finishOpening(open.file);
            host_.showDocument(*e.document);
            if (open.done) open.done(e.document.get());
            return;
        }
    }
    ProjectDocument& opened =
        enlist(std::make_unique<ProjectDocument>(std::move(*open.outcome.reading), open.file));
    // The "Opening…" panel, if up, stays until the window is: something shows all along.
    entry(opened)->whenShown = [this, file = open.file,
                                done = std::move(open.done)](ProjectDocument* document) {
        host_.finishOpening(file);
        if (done) done(document);
    };
    host_.showDocumentInSteps(opened, [this, &opened] { windowShown(opened); });
}

void DocumentController::windowShown(ProjectDocument& document) {
    Entry* e = entry(document);
    if (e && e->whenShown) std::exchange(e->whenShown, {})(&document);
}

void DocumentController::openAtLaunch(const QStringList& arguments) {
    if (arguments.isEmpty()) {
        newDocument();
        return;
    }
    struct Launch {
        qsizetype left = 0;
        bool opened = false;
    };
    auto launch = std::make_shared<Launch>(Launch{arguments.size(), false});
    for (const QString& argument : arguments) {
        openFile(argument.toStdString(), [this, launch](ProjectDocument* document) {
            launch->opened = launch->opened || document;
            if (--launch->left == 0 && !launch->opened && quit_ == Quit::none) newDocument();
        });
    }
}

bool DocumentController::save(ProjectDocument& document) {
    const auto file = document.saveTarget();
    if (!file || !isWritableType(*file)) return saveAs(document);
    // A Save As on its way: that file is ours, being written.
    if (file == document.fileURL() && document.changedOnDisk()) {
        switch (host_.askAboutChangedFile(document, displayName(document))) {
        case ChangedFileChoice::overwrite:
            break;
        case ChangedFileChoice::saveAs:
            return saveAs(document);
        case ChangedFileChoice::cancel:
            return false;
        }
    }
    return write(document, *file);
}

bool DocumentController::saveAs(ProjectDocument& document) {
    QString suggested = displayName(document);
    if (document.fileURL()) suggested = QFileInfo(suggested).completeBaseName();
    suggested += "." + QString::fromLatin1(ProjectDocument::fileExtension.data(),
                                           qsizetype(ProjectDocument::fileExtension.size()));
    const auto chosen = host_.chooseSaveLocation(document, suggested);
    if (!chosen) return false;
    return write(document, withProjectExtension(*chosen));
}

bool DocumentController::write(ProjectDocument& document, const std::filesystem::path& file) {
    QPointer<ProjectDocument> target(&document);
    document.saveInBackground(file, [this, target, file](const QString& failure) {
        Entry* e = target ? entry(*target) : nullptr;
        if (e) e->lastSaveFailed = !failure.isEmpty();
        if (!failure.isEmpty()) {
            host_.showError(QStringLiteral("The document “%1” could not be saved.").arg(fileName(file)),
                            failure);
            return;
        }
        if (!target) return;
        if (e) e->untitledNumber = 0;
        emit displayNameChanged(target.data());
    });
    return true;
}

bool DocumentController::confirmClose(ProjectDocument& document, bool exporting) {
    Entry* e = entry(document);
    // Its questions are up: their answer decides, and nothing more is asked.
    if (e && e->asking) return false;
    if (e && std::exchange(e->closeAnswered, false)) return true;
    // Closing already: it goes once its save has landed.
    if (e && e->closeAfterSaves) return false;
    if (e) e->asking = true;
    const bool closes = askBeforeClose(document, exporting);
    // The questions let other work in: the entry is looked up again.
    Entry* asked = entry(document);
    if (!asked) return closes;
    asked->asking = false;
    // A quit that came meanwhile goes on once the window has gone (`discard`), or once its save has
    // landed; kept, the window ends it.
    if (!closes && !asked->closeAfterSaves && std::exchange(asked->holdsQuit, false) &&
        quit_ == Quit::waiting)
        abandonQuit();
    return closes;
}

bool DocumentController::askBeforeClose(ProjectDocument& document, bool exporting) {
    const Entry* e = entry(document);
    // The export first: keeping it settles the matter without a word about saving.
    if (exporting && !(e && e->exportAnswered) &&
        host_.askToCancelExport(document, displayName(document)) == ExportChoice::keepExporting)
        return false;
    if (!document.isSaving()) {
        if (!document.isModified()) return true;
        switch (host_.askToSave(document, displayName(document))) {
        case SaveChoice::save:
            if (!save(document)) return false;
            break;
        case SaveChoice::dontSave:
            return true;
        case SaveChoice::cancel:
            return false;
        }
    }
    // A save on its way ends first: closing must not cut it short, and its outcome decides whether
    // anything is left unsaved. The window stays until it lands (`savesLanded`), with no loop of its
    // own waiting in here. The questions may have let other work in: the entry is looked up again.
    if (Entry* waiting = entry(document)) {
        waiting->closeAfterSaves = true;
        waiting->exportAnswered = exporting;
    }
    return false;
}

void DocumentController::savesLanded(ProjectDocument& document) {
    Entry* e = entry(document);
    if (!e || !e->closeAfterSaves) return;
    e->closeAfterSaves = false;
    bool closed = false;
    if (document.isModified() && e->lastSaveFailed) {
        // The alert has said why; the window stays with its edits.
        e->exportAnswered = false;
    } else {
        // Saved, the window goes without a word; edited since the save was asked for, it asks again.
        e->closeAnswered = !document.isModified();
        closed = host_.closeDocument(document);
        if (Entry* stays = closed ? nullptr : entry(document); stays && !stays->closeAfterSaves) {
            stays->exportAnswered = false;
            stays->closeAnswered = false;
        }
    }
    if (quit_ != Quit::waiting) return;
    if (closed) {
        resumeQuit();
    } else if (const Entry* stays = entry(document); !stays || !stays->closeAfterSaves) {
        abandonQuit();
    }
}

bool DocumentController::close(ProjectDocument& document) {
    return host_.closeDocument(document);
}

void DocumentController::discard(ProjectDocument& document) {
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [&](const Entry& e) { return e.document.get() == &document; });
    if (it == entries_.end()) return;
    // A quit held by this window's save or questions goes on without it.
    const bool heldQuit = (it->closeAfterSaves || it->holdsQuit) && quit_ == Quit::waiting;
    std::function<void(ProjectDocument*)> whenShown = std::move(it->whenShown);
    // The window and its model may still be unwinding from the close that got us here.
    it->document.release()->deleteLater();
    entries_.erase(it);
    // Closed before it was up: the open came to nothing.
    if (whenShown) whenShown(nullptr);
    if (heldQuit) resumeQuit();
}

bool DocumentController::quit() {
    // One under way goes on by itself.
    if (quit_ == Quit::waiting) return false;
    quit_ = Quit::waiting;
    return continueQuit();
}

void DocumentController::resumeQuit() {
    // Once the close that got us here has unwound.
    QMetaObject::invokeMethod(this, &DocumentController::continueHeldQuit, Qt::QueuedConnection);
}

void DocumentController::continueHeldQuit() {
    if (quit_ == Quit::waiting) continueQuit();
}

void DocumentController::abandonQuit() {
    quit_ = Quit::none;
    if (!heldOpens_.empty())
        QMetaObject::invokeMethod(this, &DocumentController::openHeld, Qt::QueuedConnection);
}

void DocumentController::openHeld() {
    // Held again should another quit have begun meanwhile.
    for (HeldOpen& open : std::exchange(heldOpens_, {}))
        landOpen(std::move(open));
}

bool DocumentController::continueQuit() {
    // A window's questions are up: their answer comes first, and the quit goes on from there.
    for (Entry& e : entries_) {
        if (e.asking) {
            e.holdsQuit = true;
            return false;
        }
    }
    for (ProjectDocument* document : documents()) {
        // Gone while an earlier window's questions were up.
        if (!entry(*document)) continue;
        if (host_.closeDocument(*document)) continue;
        const Entry* e = entry(*document);
        // Kept by the user, the quit ends here; closing once its save lands, it holds the quit.
        if (!e || !e->closeAfterSaves) abandonQuit();
        return false;
    }
    quit_ = Quit::finished;
    // Nothing held or still read opens: the program ends.
    for (HeldOpen& open : std::exchange(heldOpens_, {}))
        if (open.done) open.done(nullptr);
    while (!opening_.empty())
        dropOpening(opening_.begin());
    emit quitFinished();
    return true;
}

QString DocumentController::displayName(const ProjectDocument& document) const {
    if (document.fileURL()) return fileName(*document.fileURL());
    const Entry* e = entry(document);
    const int number = e ? e->untitledNumber : 1;
    return number <= 1 ? QStringLiteral("Untitled") : QStringLiteral("Untitled %1").arg(number);
}

std::vector<ProjectDocument*> DocumentController::documents() const {
    std::vector<ProjectDocument*> all;
    all.reserve(entries_.size());
    for (const Entry& e : entries_)
        all.push_back(e.document.get());
    return all;
}

DocumentController::Entry* DocumentController::entry(const ProjectDocument& document) {
    for (Entry& e : entries_)
        if (e.document.get() == &document) return &e;
    return nullptr;
}

const DocumentController::Entry* DocumentController::entry(const ProjectDocument& document) const {
    for (const Entry& e : entries_)
        if (e.document.get() == &document) return &e;
    return nullptr;
}

ProjectDocument& DocumentController::enlist(std::unique_ptr<ProjectDocument> document) {
    Entry e{std::move(document)};
    if (!e.document->fileURL()) {
        // The lowest number no open untitled document has, as "Untitled", "Untitled 2", …
        std::set<int> taken;
        for (const Entry& other : entries_)
            if (other.untitledNumber > 0) taken.insert(other.untitledNumber);
        e.untitledNumber = 1;
        while (taken.count(e.untitledNumber))
            ++e.untitledNumber;
    }
    ProjectDocument& adopted = *e.document;
    connect(&adopted, &ProjectDocument::savesFinished, this, [this, &adopted] { savesLanded(adopted); });
    entries_.push_back(std::move(e));
    return adopted;
}

} // namespace osterveil
