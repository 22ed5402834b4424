#pragma once

#include <QObject>
#include <QStringList>
#include <QUndoStack>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Model/Project.hpp"

namespace osterveil {

// A project file that could not be taken as a file at all (a folder, a missing or unreadable path),
// or a save that did not reach the disk. Bad contents are `ProjectError`s instead.
class DocumentError : public std::runtime_error {
  public:
    enum class Kind { fileReadCorruptFile, fileWriteFailed };

    static DocumentError fileReadCorruptFile(const std::filesystem::path& file);
    // A save that failed, told by its cause alone ("The disk is full."): the caller names the document.
    static DocumentError fileWriteFailed(const QString& reason);
    // The cause of a failed write, from the system's error number.
    static QString writeFailure(int error);

    Kind kind() const { return kind_; }

  private:
    DocumentError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind_;
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

    // The project in a file's bytes, unchanged. Throws `ProjectError`: `newerFile` as the model reports
    // it, `corrupt` for bytes that are not a project (empty, not JSON, wrong shape).
    static Project decode(std::string_view contents);
    // Reads a file. Throws `DocumentError::fileReadCorruptFile` when the path is no readable regular
    // file, else as `decode`.
    static Project read(const std::filesystem::path& file);
    // The bytes of a project file: pretty-printed JSON with sorted keys, the same for the same project.
    // Throws the model's `EncodingError`.
    static std::string contents(const Project& project);

    explicit ProjectDocument(Project project = newProject(),
                             std::optional<std::filesystem::path> fileURL = {}, QObject* parent = nullptr);
    // A document read from `file`, which becomes its file URL. Throws as `read`.
    static std::unique_ptr<ProjectDocument> open(const std::filesystem::path& file);

    const Project& project() const { return project_; }
    void setProject(Project project);

    // Absent while the document has never been saved.
    const std::optional<std::filesystem::path>& fileURL() const { return fileURL_; }

    // Writes the whole file atomically at `file`; on success that becomes the file URL and the document
    // is no longer modified. On failure nothing changes and the old file stays as it was. Throws the
    // model's `EncodingError`, or `DocumentError::fileWriteFailed`.
    void save(const std::filesystem::path& file);
    // Writes `bytes` as the whole file at `file`, atomically: the old file stays as it was unless all of
    // them reached the disk. Throws `DocumentError::fileWriteFailed`. Safe on any thread.
    static void write(const std::string& bytes, const std::filesystem::path& file);

    QUndoStack* undoStack() { return &undoStack_; }
    bool isModified() const { return !undoStack_.isClean(); }

  signals:
    // Deferred and coalesced, as told above.
    void projectChanged();
    void fileURLChanged();
    void modifiedChanged(bool modified);

  private:
    void announceChange();

    Project project_;
    // The value `projectChanged` last told about.
    Project announced_;
    bool announcementQueued_ = false;
    std::optional<std::filesystem::path> fileURL_;
    QUndoStack undoStack_;
};

} // namespace osterveil
