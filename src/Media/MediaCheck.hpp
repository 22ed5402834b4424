#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "Model/Project.hpp"

namespace osterveil {

// Whether the file an item resolves to still is the item's media. A file can be there and yet not
// be it: overwritten with something unreadable, replaced by another recording, or never a file at
// all (a folder, a FIFO, a device). Such an item is as offline as one whose file is missing: its
// clips are left out of the preview and an export that needs them fails, naming the file.
namespace MediaCheck {

// Why `file` cannot stand for `item`, as a sentence naming the file; none when it can. A file is
// looked at once, and again only when its size or modification time changes (or it is replaced).
// Safe from any thread.
std::optional<std::string> problem(const MediaItem& item, const std::filesystem::path& file);

// Why an item whose file was not found is offline, naming the file.
std::string missing(const MediaItem& item);

} // namespace MediaCheck
} // namespace osterveil
