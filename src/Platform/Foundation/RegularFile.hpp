#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace osterveil {

// Reading files that a project or the user names. Such a path may lead to a FIFO, a device or a
// directory, where an ordinary read would block forever or never end; these helpers open without
// blocking, look at what was opened (not at the name, which may change in between) and read only a
// regular file.

// Whether `path` names a regular file now (following links).
bool isRegularFile(const std::filesystem::path& path);

// The whole content of a regular file of at most `maxBytes`; none for anything else, for a larger
// file and for one that cannot be read.
std::optional<std::string> readRegularFile(const std::filesystem::path& path, std::uintmax_t maxBytes);

// A descriptor for reading the regular file at `path`, which the caller closes; -1 for anything else.
int openRegularFile(const std::filesystem::path& path);

// The first `count` bytes of a regular file (fewer when it is shorter); none like `readRegularFile`.
std::optional<std::string> readRegularFileHead(const std::filesystem::path& path, std::size_t count);

} // namespace osterveil
