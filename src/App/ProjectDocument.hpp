#pragma once

#include <QObject>
#include <QStringList>
#include <QUndoStack>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>

#include "Model/Project.hpp"

namespace osterveil {

// A project file that could not be taken as a file at all (a folder, a missing or unreadable path),
// or a save that did not reach the disk. Bad contents are `ProjectError`s instead.
class DocumentError : public std::runtime_error {
  public:
    enum class Kind { fileReadCorruptFile, fileReadNoSuchFile, fileWriteFailed, readStopped };

    static DocumentError fileReadCorruptFile(const std::filesystem::path& file);
    // Nothing is at the path, or a folder on the way to it is not there.
    static DocumentError fileReadNoSuchFile();
    // A read whose reader has gone: nobody is told.
    static DocumentError readStopped();
    // A save that failed, told by its cause alone ("The disk is full."): the caller names the document.
    static DocumentError fileWriteFailed(const QString& reason);
    // The cause of a failed write, from the system's error number.
    static QString writeFailure(int error);

    Kind kind() const { return kind_; }

  private:
    DocumentError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind_;
};

// What tells one state of a file from another: which file it is (a file replaced by another has a
// new identity) and its size and modification time as the file system keeps them.
struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modified = 0; // nanoseconds
    bool operator==(const FileStamp&) const = default;

    // The stamp of what is at `file` now; none when nothing is, or it cannot be looked at.
    static std::optional<FileStamp> of(const std::filesystem::path& file);
};

// One open project: the value every window edit reads and replaces whole, the file it belongs to, and
// its undo history. The document is modified exactly when the undo stack is not at its clean index.
//
// The binding: `setProject` stores the new value at once, so whoever reads next sees it; the
// `projectChanged` signal follows deferred, once per event-loop turn however many sets there were,
// and not at all when the value ends the turn equal to the one last announced. Ending a gesture relies
// on that order: the commit compares against the stored value, and the change hook then sees the
// gesture closed.
class ProjectDocument : public QObject {
    Q_OBJECT
  public:
    // The file types: ".osterveil" is read and written, the older ".kestwater" only read; both hold the
    // same JSON.
    static constexpr std::string_view fileExtension = "osterveil";
    static constexpr std::string_view olderFileExtension = "kestwater";
    static constexpr std::string_view mimeType = "application/x-osterveil+json";
    // Undo steps a document keeps; the oldest goes when one more is recorded. A step holds the project
    // on either side of its edit, and the two share what the edit left alone, but a long session of
    // edits to a large project would otherwise hold hundreds of megabytes.
    static constexpr int undoLimit = 300;
    static QStringList readableExtensions();
    static QStringList writableExtensions();

    // A new document's project: version 1, "Untitled", no media, a new default sequence, no nests.
    // Every call draws new identifiers.
    static Project newProject();

    // The largest file taken for a project. Projects of tens of thousands of clips run to a few
    // hundred megabytes; anything larger is refused before more than its start is read.
    static constexpr std::uintmax_t largestFile = std::uintmax_t(1) << 30;
    // A file is read this much at a time, its stop token looked at between pieces.
    static constexpr std::size_t readPiece = std::size_t(1) << 20;
    // A file is written this much at a time. A kernel that preempts no system call keeps a thread woken
    // meanwhile waiting until the write returns, and may charge it that wait as its own running time: on
    // busy cores the window's thread, so charged for a megabyte's write, went unanswered for tens of
    // milliseconds.
    static constexpr std::size_t writePiece = std::size_t(1) << 16;

    // The project in a file's bytes, unchanged. Throws `ProjectError`: `newerFile` as the model reports
    // it, `corrupt` for bytes that are not a project (empty, not JSON, wrong shape).
    static Project decode(std::string_view contents);
    // A file read, and its stamp as it was read.
    struct Reading {
        Project project;
        FileStamp stamp;
    };
    // Reads a file. Throws `DocumentError::fileReadCorruptFile` when the path is no readable regular
    // file; at once, having read only as far as its first byte that is not blank, `ProjectError::corrupt`
    // for one that does not start like a project and `ProjectError::tooLarge` for one beyond
    // `largestFile`; else as `decode`. `progress`
    // hears how far it has got (0…1), from any thread. Safe on any thread. A file of a gigabyte takes
    // seconds: `stop` is looked at for every chunk read and every hundredth of the decoding, and throws
    // `DocumentError::readStopped` once it is.
    static Reading readFile(const std::filesystem::path& file,
                            const std::function<void(double)>& progress = {},
                            const std::stop_token& stop = {});
    static Project read(const std::filesystem::path& file) { return readFile(file).project; }
    // The bytes of a project file: pretty-printed JSON with sorted keys, the same for the same project.
    // Throws the model's `EncodingError`.
    static std::string contents(const Project& project);

    explicit ProjectDocument(Project project = newProject(),
                             std::optional<std::filesystem::path> fileURL = {}, QObject* parent = nullptr);
    // A document of a file read, which becomes its file URL.
    explicit ProjectDocument(Reading reading, const std::filesystem::path& file, QObject* parent = nullptr);
    // A document read from `file`, which becomes its file URL. Throws as `read`.
    static std::unique_ptr<ProjectDocument> open(const std::filesystem::path& file);

    const Project& project() const { return project_; }
    void setProject(Project project);

    // Absent while the document has never been saved.
    const std::optional<std::filesystem::path>& fileURL() const { return fileURL_; }
    // Where a save asked for now belongs: the file of the newest save still on its way (a Save As not
    // yet written), else the file URL.
    std::optional<std::filesystem::path> saveTarget() const;

    // Writes the whole file atomically at `file`, here and now; on success that becomes the file URL
    // and the document is no longer modified. On failure nothing changes and the old file stays as it
    // was. Throws the model's `EncodingError`, or `DocumentError::fileWriteFailed`.
    void save(const std::filesystem::path& file);
    // Writes the bytes of a project as the whole file at `file`, atomically: the old file stays as it
    // was unless all of them reached the disk. The stamp of the file written. Throws
    // `DocumentError::fileWriteFailed`. Safe on any thread.
    static FileStamp write(const std::string& bytes, const std::filesystem::path& file);
    // What a save on a worker writes the file with: `write` unless replaced (tests hold a save back).
    using FileWriter = std::function<FileStamp(const std::string& bytes, const std::filesystem::path& file)>;
    void setFileWriter(FileWriter writer) { writer_ = std::move(writer); }

    // Saves the project as it is now on a worker, the document staying editable meanwhile; a save
    // asked for while another runs waits for it. On success `file` becomes the file URL, and the step
    // of the history that holds what was written is the clean one: edited meanwhile, the document
    // stays modified until undone back to it. `done` follows on this thread with the failure's cause,
    // or an empty text; never once the document has gone.
    void saveInBackground(const std::filesystem::path& file, std::function<void(const QString& failure)> done);
    bool isSaving() const { return saving_; }
    // The cancel token of the document's saves, which is never used: a save once started is finished.
    std::stop_token workToken() const { return work_.get_token(); }
    // Returns once no save runs, the events of the program going on meanwhile.
    void waitForSaves();

    // The file as this document last read or wrote it; none before either.
    const std::optional<FileStamp>& diskStamp() const { return diskStamp_; }
    // Another program replaced or changed the document's file since: writing would lose its version.
    // A file that has gone is no loss.
    bool changedOnDisk() const;

    QUndoStack* undoStack() { return &undoStack_; }
    bool isModified() const { return !undoStack_.isClean(); }

  signals:
    // No save runs any longer.
    void savesFinished();
    // Deferred and coalesced, as told above.
    void projectChanged();
    void fileURLChanged();
    void modifiedChanged(bool modified);

  private:
    struct SaveJob {
        std::filesystem::path file;
        Project snapshot;
        std::function<void(const QString&)> done;
    };
    void announceChange();
    void startNextSave();
    // `snapshot` reached `file`, which now has `stamp`.
    void saved(const std::filesystem::path& file, const Project& snapshot, const FileStamp& stamp);

    Project project_;
    // The value `projectChanged` last told about.
    Project announced_;
    bool announcementQueued_ = false;
    std::optional<std::filesystem::path> fileURL_;
    std::optional<FileStamp> diskStamp_;
    QUndoStack undoStack_;
    std::deque<SaveJob> pendingSaves_;
    bool saving_ = false;
    std::filesystem::path savingTo_;
    // What a save wrote while the project had moved on: the history becomes clean where it holds this.
    std::optional<Project> savedAway_;
    FileWriter writer_ = &ProjectDocument::write;
    std::stop_source work_;
};

} // namespace osterveil
