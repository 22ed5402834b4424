#include "App/DocumentController.hpp"

#include <QFileInfo>
#include <algorithm>
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

DocumentController::~DocumentController() = default;

ProjectDocument& DocumentController::newDocument() {
    return adopt(std::make_unique<ProjectDocument>());
}

void DocumentController::open() {
    for (const auto& file : host_.chooseFilesToOpen())
        openFile(file);
}

ProjectDocument* DocumentController::openFile(const std::filesystem::path& file) {
    for (const Entry& e : entries_) {
        if (e.document->fileURL() && sameFile(*e.document->fileURL(), file)) {
            host_.showDocument(*e.document);
            return e.document.get();
        }
    }
    std::unique_ptr<ProjectDocument> document;
    try {
        document = ProjectDocument::open(std::filesystem::absolute(file));
    } catch (const ProjectError& error) {
        host_.showError(QStringLiteral("The document “%1” could not be opened.").arg(fileName(file)),
                        QString::fromStdString(error.errorDescription()));
        return nullptr;
    } catch (const DocumentError& error) {
        host_.showError(QStringLiteral("The document “%1” could not be opened.").arg(fileName(file)),
                        QString::fromUtf8(error.what()));
        return nullptr;
    }
    return &adopt(std::move(document));
}

void DocumentController::openAtLaunch(const QStringList& arguments) {
    bool opened = false;
    for (const QString& argument : arguments)
        opened = openFile(argument.toStdString()) != nullptr || opened;
    if (!opened) newDocument();
}

bool DocumentController::save(ProjectDocument& document) {
    const auto& file = document.fileURL();
    if (!file || !isWritableType(*file)) return saveAs(document);
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
    const QString before = displayName(document);
    try {
        document.save(file);
    } catch (const DocumentError& error) {
        host_.showError(QStringLiteral("The document “%1” could not be saved.").arg(fileName(file)),
                        QString::fromUtf8(error.what()));
        return false;
    } catch (const EncodingError& error) {
        host_.showError(QStringLiteral("The document “%1” could not be saved.").arg(fileName(file)),
                        QString::fromUtf8(error.what()));
        return false;
    }
    if (Entry* e = entry(document)) e->untitledNumber = 0;
    if (displayName(document) != before) emit displayNameChanged(&document);
    return true;
}

bool DocumentController::confirmClose(ProjectDocument& document, bool exporting) {
    // The export first: keeping it settles the matter without a word about saving.
    if (exporting && host_.askToCancelExport(document, displayName(document)) == ExportChoice::keepExporting)
        return false;
    if (!document.isModified()) return true;
    switch (host_.askToSave(document, displayName(document))) {
    case SaveChoice::save:
        return save(document);
    case SaveChoice::dontSave:
        return true;
    case SaveChoice::cancel:
        break;
    }
    return false;
}

bool DocumentController::close(ProjectDocument& document) {
    return host_.closeDocument(document);
}

void DocumentController::discard(ProjectDocument& document) {
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [&](const Entry& e) { return e.document.get() == &document; });
    if (it == entries_.end()) return;
    // The window and its model may still be unwinding from the close that got us here.
    it->document.release()->deleteLater();
    entries_.erase(it);
}

bool DocumentController::quit() {
    for (ProjectDocument* document : documents()) {
        if (!host_.closeDocument(*document)) return false;
    }
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

ProjectDocument& DocumentController::adopt(std::unique_ptr<ProjectDocument> document) {
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
    entries_.push_back(std::move(e));
    host_.showDocument(adopted);
    return adopted;
}

} // namespace osterveil
