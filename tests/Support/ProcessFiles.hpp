#pragma once

#include <filesystem>
#include <system_error>

// The process's own open files as the kernel lists them, for tests and benchmarks.
namespace osterveil::testsupport {

// Whether this process has `file` open.
inline bool isOpen(const std::filesystem::path& file) {
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::error_code unreadable;
        if (std::filesystem::read_symlink(fd.path(), unreadable) == file) return true;
    }
    return false;
}

} // namespace osterveil::testsupport
