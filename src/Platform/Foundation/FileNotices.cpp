#include "Platform/Foundation/FileNotices.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace osterveil {

namespace {

constexpr std::uint32_t fileEvents = IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
constexpr std::uint32_t folderEvents =
    IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MOVE_SELF | IN_DELETE_SELF;

} // namespace

FileNotices::FileNotices() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), initError_(fd_ < 0 ? errno : 0) {}

FileNotices::~FileNotices() {
    if (fd_ >= 0) ::close(fd_);
}

FileNotices::Watched FileNotices::watch(const std::string& path, Kind kind) {
    if (fd_ < 0) return {-1, initError_};
    // Added to the kinds it is watched for already, since another path may lead to the same file.
    const int watch =
        inotify_add_watch(fd_, path.c_str(), (kind == Kind::file ? fileEvents : folderEvents) | IN_MASK_ADD);
    return {watch, watch < 0 ? errno : 0};
}

void FileNotices::unwatch(int watch) {
    if (fd_ >= 0 && watch >= 0) inotify_rm_watch(fd_, watch);
}

void FileNotices::letGo() {
    if (fd_ < 0) return;
    // Another file put in its place at once, so that the number never names what something else opens.
    const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nothing < 0) return;
    (void)::dup3(nothing, fd_, O_CLOEXEC);
    ::close(nothing);
}

std::vector<FileNotices::Notice> FileNotices::take() {
    std::vector<Notice> notices;
    if (fd_ < 0) return notices;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= got;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            Notice notice;
            if (event.mask & IN_Q_OVERFLOW) {
                notice.watch = -1;
            } else {
                notice.watch = event.wd;
                notice.ended = (event.mask & IN_IGNORED) != 0;
                if (event.len > 0)
                    notice.name.assign(buffer + at + sizeof(inotify_event),
                                       ::strnlen(buffer + at + sizeof(inotify_event), event.len));
                notice.self = notice.name.empty();
            }
            notices.push_back(std::move(notice));
            at += ssize_t(sizeof(inotify_event) + event.len);
        }
    }
    return notices;
}

} // namespace osterveil
