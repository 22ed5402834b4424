#include "App/ProjectDocument.hpp"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <cstring>
#include <unistd.h>

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

DocumentError DocumentError::fileWriteFailed(const QString& reason) {
    return DocumentError(Kind::fileWriteFailed, reason.toStdString());
}

QString DocumentError::writeFailure(int error) {
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        return QStringLiteral("The disk is full.");
    case EROFS:
        return QStringLiteral("The disk is read-only.");
    case EACCES:
    case EPERM:
        return QStringLiteral("You don\u2019t have permission to save it there.");
    case 0:
        return QStringLiteral("The file could not be written.");
    default:
        return QString::fromLocal8Bit(std::strerror(error)) + QLatin1Char('.');
    }
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

void ProjectDocument::write(const std::string& bytes, const std::filesystem::path& file) {
    QSaveFile out(QString::fromStdString(file.string()));
    errno = 0;
    if (!out.open(QIODevice::WriteOnly)) throw DocumentError::fileWriteFailed(DocumentError::writeFailure(errno));
    // Written here rather than through the device, so that a failure keeps the system's reason: a full
    // disk would otherwise read "Unknown error" by the time the device reports it.
    const char* at = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(out.handle(), at, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            out.cancelWriting();
            throw DocumentError::fileWriteFailed(DocumentError::writeFailure(error));
        }
        at += n;
        left -= std::size_t(n);
    }
    errno = 0;
    if (!out.commit()) throw DocumentError::fileWriteFailed(DocumentError::writeFailure(errno));
}

void ProjectDocument::save(const std::filesystem::path& file) {
    write(contents(project_), file);
    undoStack_.setClean();
    if (fileURL_ != file) {
        fileURL_ = file;
        emit fileURLChanged();
    }
}

} // namespace osterveil
