#include "App/ProjectDocument.hpp"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace osterveil {

namespace {

QString displayName(const std::filesystem::path& file) {
    return QString::fromStdString(file.filename().string());
}

} // namespace

DocumentError DocumentError::fileReadCorruptFile(const std::filesystem::path& file) {
    return DocumentError(
        Kind::fileReadCorruptFile,
        QStringLiteral("The file “%1” could not be opened because it is not in the right format.")
            .arg(displayName(file))
            .toStdString());
}

DocumentError DocumentError::fileWriteFailed(const std::filesystem::path& file, const QString& reason) {
    return DocumentError(Kind::fileWriteFailed, QStringLiteral("The document “%1” could not be saved. %2")
                                                    .arg(displayName(file), reason)
                                                    .toStdString());
}

QStringList ProjectDocument::readableExtensions() {
    return {QString::fromLatin1(fileExtension.data(), qsizetype(fileExtension.size())),
            QString::fromLatin1(olderFileExtension.data(), qsizetype(olderFileExtension.size()))};
}

QStringList ProjectDocument::writableExtensions() {
    return {QString::fromLatin1(fileExtension.data(), qsizetype(fileExtension.size()))};
}

Project ProjectDocument::newProject() {
    Project p;
    p.fileVersion = 1;
    p.name = "Untitled";
    p.sequence = Sequence::makeNew();
    return p;
}

Project ProjectDocument::decode(std::string_view contents) {
    // A newer file's version is worth telling the user; every other way of not being a project reads
    // the same to them.
    try {
        return Project::decode(contents);
    } catch (const DecodingError&) {
        throw ProjectError::corrupt();
    }
}

Project ProjectDocument::read(const std::filesystem::path& file) {
    const QString name = QString::fromStdString(file.string());
    if (!QFileInfo(name).isFile()) throw DocumentError::fileReadCorruptFile(file);
    QFile f(name);
    if (!f.open(QIODevice::ReadOnly)) throw DocumentError::fileReadCorruptFile(file);
    const QByteArray bytes = f.readAll();
    if (f.error() != QFileDevice::NoError) throw DocumentError::fileReadCorruptFile(file);
    return decode(std::string_view(bytes.constData(), std::size_t(bytes.size())));
}

std::string ProjectDocument::contents(const Project& project) {
    return project.encode();
}

ProjectDocument::ProjectDocument(Project project, std::optional<std::filesystem::path> fileURL,
                                 QObject* parent)
    : QObject(parent), project_(std::move(project)), announced_(project_), fileURL_(std::move(fileURL)) {
    undoStack_.setUndoLimit(undoLimit);
    connect(&undoStack_, &QUndoStack::cleanChanged, this,
            [this](bool clean) { emit modifiedChanged(!clean); });
}

std::unique_ptr<ProjectDocument> ProjectDocument::open(const std::filesystem::path& file) {
    return std::make_unique<ProjectDocument>(read(file), file);
}

void ProjectDocument::setProject(Project project) {
    project_ = std::move(project);
    if (announcementQueued_) return;
    announcementQueued_ = true;
    QMetaObject::invokeMethod(this, &ProjectDocument::announceChange, Qt::QueuedConnection);
}

void ProjectDocument::announceChange() {
    announcementQueued_ = false;
    if (project_ == announced_) return;
    announced_ = project_;
    emit projectChanged();
}

void ProjectDocument::save(const std::filesystem::path& file) {
    const std::string bytes = contents(project_);
    QSaveFile out(QString::fromStdString(file.string()));
    if (!out.open(QIODevice::WriteOnly)) throw DocumentError::fileWriteFailed(file, out.errorString());
    // The bytes are flushed here and checked: a write that fails in the flush at commit (a full disk)
    // is not reported by the commit, which would put a cut-short file in place of the old one.
    if (out.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size()) || !out.flush()) {
        const QString reason = out.errorString();
        out.cancelWriting();
        throw DocumentError::fileWriteFailed(file, reason);
    }
    if (!out.commit()) throw DocumentError::fileWriteFailed(file, out.errorString());
    undoStack_.setClean();
    if (fileURL_ != file) {
        fileURL_ = file;
        emit fileURLChanged();
    }
}

} // namespace osterveil
