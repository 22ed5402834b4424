#include "App/ProjectDocument.hpp"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSaveFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "App/Offload.hpp"

#include "Platform/Foundation/LargeBuffer.hpp"
#include "Platform/Foundation/Log.hpp"
#include "Platform/Foundation/WindowTurn.hpp"

namespace osterveil {

namespace {

QString displayName(const std::filesystem::path& file) {
    return QString::fromStdString(file.filename().string());
}

// Whether the document's project is still what a save wrote. An edit copies only the lists and the
// items it changes, so most of even a large project is the very storage the save was handed: where
// both sides hold the same item it is not compared again, which spares the window tens of
// milliseconds for 20,000 clips. (A saved project holds no number that differs from itself: one that
// is not finite is not written.)
template <class T, class Same> bool sameList(const CowVector<T>& a, const CowVector<T>& b, Same same) {
    if (a.sharesStorageWith(b)) return true;
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (&a[i] != &b[i] && !same(a[i], b[i])) return false;
    return true;
}

bool sameTrack(const Track& a, const Track& b) {
    if (!sameList(a.clips, b.clips, std::equal_to<TimelineClip>())) return false;
    // The rest as the value compares it, whatever fields it gains.
    Track x = a, y = b;
    x.clips.clear();
    y.clips.clear();
    return x == y;
}

bool sameSequence(const Sequence& a, const Sequence& b) {
    if (!sameList(a.tracks, b.tracks, sameTrack) ||
        !sameList(a.markers, b.markers, std::equal_to<SequenceMarker>()))
        return false;
    Sequence x = a, y = b;
    x.tracks.clear();
    y.tracks.clear();
    x.markers.clear();
    y.markers.clear();
    return x == y;
}

bool sameNest(const NestedSequence& a, const NestedSequence& b) {
    if (!sameSequence(a.sequence, b.sequence)) return false;
    NestedSequence x = a, y = b;
    x.sequence = {};
    y.sequence = {};
    return x == y;
}

bool sameProject(const Project& a, const Project& b) {
    if (!sameSequence(a.sequence, b.sequence) || !sameList(a.media, b.media, std::equal_to<MediaItem>()) ||
        !sameList(a.nests, b.nests, sameNest))
        return false;
    Project x = a, y = b;
    x.sequence = {};
    y.sequence = {};
    x.media.clear();
    y.media.clear();
    x.nests.clear();
    y.nests.clear();
    return x == y;
}

} // namespace

DocumentError DocumentError::fileReadCorruptFile(const std::filesystem::path& file) {
    return DocumentError(
        Kind::fileReadCorruptFile,
        QStringLiteral("The file “%1” could not be opened because it is not in the right format.")
            .arg(displayName(file))
            .toStdString());
}

DocumentError DocumentError::fileReadNoSuchFile() {
    return DocumentError(Kind::fileReadNoSuchFile, "This file cannot be found.");
}

DocumentError DocumentError::readStopped() {
    return DocumentError(Kind::readStopped, "The file was not read to its end.");
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
    case ENOENT:
    case ENOTDIR:
        return QStringLiteral("The folder it goes in is no longer there.");
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

namespace {

FileStamp stampOf(const struct stat& info) {
    return FileStamp{std::uint64_t(info.st_dev), std::uint64_t(info.st_ino), std::int64_t(info.st_size),
                     std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

} // namespace

std::optional<FileStamp> FileStamp::of(const std::filesystem::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return std::nullopt;
    return stampOf(info);
}

namespace {

// Whether a file can hold a project, from its first byte that is not blank: a project is a JSON object,
// which may follow a byte-order mark and white space. Reads only as far as that byte, from the start.
bool mayBeProject(int fd) {
    char buffer[65536];
    bool atStart = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false; // blank to its end, or unreadable: the decoder would say the same
        std::string_view text(buffer, std::size_t(n));
        if (std::exchange(atStart, false) && text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
        const std::size_t first = text.find_first_not_of(" \t\r\n");
        if (first != std::string_view::npos) return text[first] == '{';
    }
}

} // namespace

ProjectDocument::Reading ProjectDocument::readFile(const std::filesystem::path& file,
                                                   const std::function<void(double)>& progress,
                                                   const std::stop_token& stop) {
    const auto stopPoint = [&stop] {
        if (stop.stop_requested()) throw DocumentError::readStopped();
    };
    // Opened without blocking (a FIFO would wait for a writer) and judged by what was opened.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) throw DocumentError::fileReadNoSuchFile();
    if (fd < 0) throw DocumentError::fileReadCorruptFile(file);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) throw DocumentError::fileReadCorruptFile(file);
    // Whatever its size, a file that cannot be a project is told so before it is read whole.
    if (!mayBeProject(fd)) throw ProjectError::corrupt();
    if (std::uintmax_t(info.st_size) > largestFile) throw ProjectError::tooLarge();
    if (::lseek(fd, 0, SEEK_SET) != 0) throw DocumentError::fileReadCorruptFile(file);
    const FileStamp stamp = stampOf(info);

    // Reading is the first fifth of the way, decoding the rest.
    // A byte more than it measured, so that its end is found without making room for more.
    LargeBuffer bytes(std::size_t(info.st_size) + 1);
    std::size_t done = 0;
    for (;;) {
        stopPoint();
        if (done == bytes.size()) {
            // Grown since it was measured: as much as the limit allows.
            if (bytes.size() > largestFile) throw ProjectError::tooLarge();
            bytes.resize(bytes.size() + 65536);
        }
        const std::size_t chunk = std::min(bytes.size() - done, readPiece);
        const ssize_t n = ::read(fd, bytes.data() + done, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw DocumentError::fileReadCorruptFile(file);
        if (n == 0) break;
        done += std::size_t(n);
        if (progress && bytes.size() > 0)
            progress(0.2 * double(std::min(done, bytes.size())) / double(bytes.size()));
    }
    bytes.resize(done);
    try {
        // The decoder's workers hear of it at their next report; what one throws ends them all.
        Project project = Project::decode(bytes.view(), [&progress, &stopPoint](double f) {
            stopPoint();
            if (progress) progress(0.2 + 0.8 * f);
        });
        if (project.boundTimes())
            Log("project").error("Times and lengths beyond a day in " + file.filename().string() +
                                 " were held at a day: no media runs that long.");
        return {std::move(project), stamp};
    } catch (const DecodingError&) {
        // A newer file's version is worth telling the user; every other way of not being a project
        // reads the same to them.
        throw ProjectError::corrupt();
    }
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
    // The stack keeps its clean mark at one index, set only where it stands: a save that landed after
    // further edits marks its step once the history comes back to it.
    connect(&undoStack_, &QUndoStack::indexChanged, this, [this] {
        if (savedAway_ && sameProject(project_, *savedAway_)) {
            savedAway_.reset();
            undoStack_.setClean();
        }
    });
}

ProjectDocument::ProjectDocument(Reading reading, const std::filesystem::path& file, QObject* parent)
    : ProjectDocument(std::move(reading.project), file, parent) {
    diskStamp_ = reading.stamp;
}

std::unique_ptr<ProjectDocument> ProjectDocument::open(const std::filesystem::path& file) {
    return std::make_unique<ProjectDocument>(readFile(file), file);
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

FileStamp ProjectDocument::write(const std::string& bytes, const std::filesystem::path& file) {
    QSaveFile out(QString::fromStdString(file.string()));
    errno = 0;
    if (!out.open(QIODevice::WriteOnly)) throw DocumentError::fileWriteFailed(DocumentError::writeFailure(errno));
    // Written here rather than through the device, so that a failure keeps the system's reason: a full
    // disk would otherwise read "Unknown error" by the time the device reports it.
    const char* at = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        WindowTurn::giveWay();
        const ssize_t n = ::write(out.handle(), at, std::min(left, writePiece));
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
    if (auto stamp = FileStamp::of(file)) return *stamp;
    return {};
}

void ProjectDocument::save(const std::filesystem::path& file) {
    const Project snapshot = project_;
    saved(file, snapshot, write(contents(snapshot), file));
}

void ProjectDocument::saved(const std::filesystem::path& file, const Project& snapshot, const FileStamp& stamp) {
    diskStamp_ = stamp;
    savedAway_.reset();
    if (sameProject(project_, snapshot)) {
        undoStack_.setClean();
    } else {
        // Edited while the save ran: what is on disk is a step behind (or ahead) of what the window holds.
        undoStack_.resetClean();
        savedAway_ = snapshot;
    }
    if (fileURL_ != file) {
        fileURL_ = file;
        emit fileURLChanged();
    }
}

void ProjectDocument::saveInBackground(const std::filesystem::path& file,
                                       std::function<void(const QString&)> done) {
    pendingSaves_.push_back({file, project_, std::move(done)});
    if (!saving_) startNextSave();
}

void ProjectDocument::startNextSave() {
    if (pendingSaves_.empty()) {
        saving_ = false;
        emit savesFinished();
        return;
    }
    saving_ = true;
    SaveJob job = std::move(pendingSaves_.front());
    pendingSaves_.pop_front();
    savingTo_ = job.file;
    struct Outcome {
        std::optional<FileStamp> stamp;
        QString failure;
    };
    const std::filesystem::path file = job.file;
    const Project snapshot = job.snapshot;
    offload(
        WorkService::Lane::documents, this,
        [file, snapshot, writer = writer_]() -> Outcome {
            try {
                return {writer(contents(snapshot), file), {}};
            } catch (const DocumentError& error) {
                return {std::nullopt, QString::fromUtf8(error.what())};
            } catch (const EncodingError& error) {
                return {std::nullopt, QString::fromUtf8(error.what())};
            }
        },
        [job = std::move(job)](ProjectDocument& document, Outcome outcome) {
            if (outcome.stamp) document.saved(job.file, job.snapshot, *outcome.stamp);
            QPointer<ProjectDocument> self(&document);
            if (job.done) job.done(outcome.failure);
            if (self) self->startNextSave();
        });
}

void ProjectDocument::waitForSaves() {
    if (!saving_) return;
    QEventLoop loop;
    connect(this, &ProjectDocument::savesFinished, &loop, &QEventLoop::quit);
    loop.exec();
}

std::optional<std::filesystem::path> ProjectDocument::saveTarget() const {
    if (!pendingSaves_.empty()) return pendingSaves_.back().file;
    if (saving_) return savingTo_;
    return fileURL_;
}

bool ProjectDocument::changedOnDisk() const {
    if (!fileURL_ || !diskStamp_) return false;
    const std::optional<FileStamp> now = FileStamp::of(*fileURL_);
    return now && *now != *diskStamp_;
}

} // namespace osterveil
