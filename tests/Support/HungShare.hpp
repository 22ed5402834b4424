#pragma once

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <linux/fuse.h>
#include <mutex>
#include <poll.h>
#include <set>
#include <string>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace osterveil::testsupport {

// A file system mounted over a folder that answers the kernel's greeting and then nothing, as a network
// share whose server has gone: every look into it waits until the share is cut off, which it is when
// this goes. A look by the thread named `answered` is refused at once instead, and noted, so that a test
// that finds that thread in there goes on to fail rather than hang. Mounting needs root; `mounted()`
// says whether it could.
class HungShare {
  public:
    HungShare(const std::filesystem::path& at, pid_t answered) : at_(at), answered_(answered) {
        device_ = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (device_ < 0) return;
        const std::string options = "fd=" + std::to_string(device_) + ",rootmode=40000,user_id=0,group_id=0";
        if (::mount("hung", at.c_str(), "fuse", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
            ::close(std::exchange(device_, -1));
            return;
        }
        stop_ = ::eventfd(0, EFD_CLOEXEC);
        server_ = std::thread([this] { serve(); });
    }
    ~HungShare() {
        if (device_ < 0) return;
        const std::uint64_t one = 1;
        (void)!::write(stop_, &one, sizeof one);
        server_.join();
        ::close(stop_);
        ::umount2(at_.c_str(), MNT_DETACH);
        // The last hold on the connection: whatever still waits in there ends with an error.
        ::close(device_);
    }
    HungShare(const HungShare&) = delete;
    HungShare& operator=(const HungShare&) = delete;

    bool mounted() const { return device_ >= 0; }
    // Threads of this process waiting in the share now.
    std::set<pid_t> waiting() const {
        std::lock_guard lock(mutex_);
        return waiting_;
    }
    // The `answered` thread looked into the share.
    bool lookedInByAnswered() const { return lookedInByAnswered_; }

  private:
    void serve() {
        std::vector<char> buffer(FUSE_MIN_READ_BUFFER + 128 * 1024);
        pollfd fds[2] = {{device_, POLLIN, 0}, {stop_, POLLIN, 0}};
        while (::poll(fds, 2, -1) >= 0 || errno == EINTR) {
            if (fds[1].revents) return;
            if (!(fds[0].revents & POLLIN)) continue;
            const ssize_t got = ::read(device_, buffer.data(), buffer.size());
            if (got < ssize_t(sizeof(fuse_in_header))) {
                if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == ENOENT)) continue;
                return;
            }
            fuse_in_header in;
            std::memcpy(&in, buffer.data(), sizeof in);
            if (in.opcode == FUSE_INIT) {
                fuse_init_in asked;
                std::memcpy(&asked, buffer.data() + sizeof in, sizeof asked);
                fuse_init_out out{};
                out.major = FUSE_KERNEL_VERSION;
                out.minor = FUSE_KERNEL_MINOR_VERSION;
                out.max_readahead = asked.max_readahead;
                out.max_background = 16;
                out.congestion_threshold = 12;
                out.max_write = 4096;
                out.time_gran = 1;
                reply(in.unique, 0, &out, sizeof out);
            } else if (in.opcode == FUSE_INTERRUPT || in.opcode == FUSE_FORGET ||
                       in.opcode == FUSE_BATCH_FORGET) {
                continue;
            } else if (pid_t(in.pid) == answered_ || !ownThread(pid_t(in.pid))) {
                if (pid_t(in.pid) == answered_) lookedInByAnswered_ = true;
                reply(in.unique, -ENOENT, nullptr, 0);
            } else {
                std::lock_guard lock(mutex_);
                waiting_.insert(pid_t(in.pid));
            }
        }
    }
    void reply(std::uint64_t unique, int error, const void* body, std::size_t size) {
        fuse_out_header out{std::uint32_t(sizeof(fuse_out_header) + size), error, unique};
        std::vector<char> bytes(sizeof out + size);
        std::memcpy(bytes.data(), &out, sizeof out);
        if (size) std::memcpy(bytes.data() + sizeof out, body, size);
        (void)!::write(device_, bytes.data(), bytes.size());
    }
    static bool ownThread(pid_t thread) {
        return std::filesystem::exists("/proc/self/task/" + std::to_string(thread));
    }

    std::filesystem::path at_;
    pid_t answered_;
    int device_ = -1;
    int stop_ = -1;
    std::thread server_;
    mutable std::mutex mutex_;
    std::set<pid_t> waiting_;
    std::atomic<bool> lookedInByAnswered_{false};
};

} // namespace osterveil::testsupport
