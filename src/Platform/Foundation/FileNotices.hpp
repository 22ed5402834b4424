#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace osterveil {

// The kernel's notices of what happens to files and folders (inotify). A watch is on the file or folder
// that is at a path when it is made, not on the path: it follows that file through renames, and ends
// when the file goes (its last name removed and its last holder closed), when the file system under it
// is unmounted, or when it is taken off. One file has one watch, however many paths lead to it.
//
// Not thread-safe: one thread makes the watches and takes the notices, waiting for `descriptor()` to
// become readable in between.
class FileNotices {
  public:
    enum class Kind { file, folder };
    struct Notice {
        // The watch it is about; -1 when notices were lost, the queue having filled.
        int watch = -1;
        // Of the file or folder itself: written to, its attributes changed, moved, deleted.
        bool self = false;
        // The watch has ended: no notice of it follows.
        bool ended = false;
        // In a watched folder: the name of the entry created, deleted, renamed or changed in it.
        std::string name;
    };

    // A watch made, or why none was.
    struct Watched {
        int watch = -1;
        // When there is no watch: ENOENT or ENOTDIR when nothing is there; any other (ENOSPC at the
        // user's limit of watches, EACCES, EMFILE when the kernel gave no instance) when what is there
        // cannot be watched.
        int error = 0;
        bool unwatchable() const { return watch < 0 && error != ENOENT && error != ENOTDIR; }
    };

    FileNotices();
    ~FileNotices();
    FileNotices(const FileNotices&) = delete;
    FileNotices& operator=(const FileNotices&) = delete;

    // Readable while notices wait; -1 when the kernel would give no notices at all.
    int descriptor() const { return fd_; }
    // Watches what is at `path` now (following links): a file for changes to its content and attributes
    // and its going; a folder for its entries coming, going, renamed or changed, and its own going. The
    // same watch comes back for a file watched already, a kind added to what it was watched for.
    Watched watch(const std::string& path, Kind kind);
    void unwatch(int watch);
    // The notices that have come, without waiting.
    std::vector<Notice> take();
    // Gives the kernel's instance and its watches back now, from any thread, while the thread that uses
    // it may still be held elsewhere (by a share that does not answer): from then on there are no
    // notices and no watches, and the descriptor stays readable, with nothing to read.
    void letGo();

  private:
    const int fd_;
    const int initError_;
};

} // namespace osterveil
