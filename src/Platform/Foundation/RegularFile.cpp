#include "Platform/Foundation/RegularFile.hpp"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace osterveil {

namespace {

class Descriptor {
public:
    explicit Descriptor(const std::filesystem::path& path)
        // Non-blocking: opening a FIFO for reading would otherwise wait for a writer.
        : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    // Hands the descriptor over, closed no longer here.
    int release() { return std::exchange(fd_, -1); }

    // The size of what was opened when it is a regular file.
    std::optional<std::uintmax_t> regularSize() const {
        struct stat info {};
        if (fd_ < 0 || ::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return std::nullopt;
        return static_cast<std::uintmax_t>(info.st_size);
    }

    // Up to `limit` bytes from the start; none on a read error.
    std::optional<std::string> read(std::uintmax_t limit, std::uintmax_t expected) const {
        std::string out;
        out.resize(static_cast<std::size_t>(std::min(limit, expected)));
        std::size_t done = 0;
        for (;;) {
            if (done == out.size()) {
                // The file may have grown since it was measured; take what fits the limit.
                if (out.size() >= limit) break;
                out.resize(static_cast<std::size_t>(std::min<std::uintmax_t>(limit, out.size() + 65536)));
            }
            const ssize_t n = ::read(fd_, out.data() + done, out.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return std::nullopt;
            if (n == 0) break;
            done += static_cast<std::size_t>(n);
        }
        out.resize(done);
        return out;
    }

private:
    int fd_;
};

} // namespace

bool isRegularFile(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<std::string> readRegularFile(const std::filesystem::path& path, std::uintmax_t maxBytes) {
    const Descriptor file(path);
    const auto size = file.regularSize();
    if (!size || *size > maxBytes) return std::nullopt;
    auto bytes = file.read(maxBytes + 1, *size);
    if (!bytes || bytes->size() > maxBytes) return std::nullopt;
    return bytes;
}

int openRegularFile(const std::filesystem::path& path) {
    Descriptor file(path);
    return file.regularSize() ? file.release() : -1;
}

std::optional<std::string> readRegularFileHead(const std::filesystem::path& path, std::size_t count) {
    const Descriptor file(path);
    const auto size = file.regularSize();
    if (!size) return std::nullopt;
    return file.read(count, std::min<std::uintmax_t>(*size, count));
}

} // namespace osterveil
