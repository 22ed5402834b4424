#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Model/Project.hpp"

namespace osterveil {

// Whether the file an item resolves to still is the item's media. A file can be there and yet not
// be it: overwritten with something unreadable, replaced by another recording, or never a file at
// all (a folder, a FIFO, a device). Such an item is as offline as one whose file is missing: its
// clips are left out of the preview and an export that needs them fails, naming the file.
namespace MediaCheck {

// Why an item is offline.
struct Problem {
    enum class Kind { missing, undecodable, changed };
    Kind kind = Kind::missing;
    std::string file; // the file's name
    // One sentence naming the file.
    std::string text() const;
    bool operator==(const Problem&) const = default;
};

// Why `file` cannot stand for `item`; none when it can. A file is looked at once, and again only
// when its size or modification time changes (or it is replaced). Safe from any thread.
std::optional<Problem> problem(const MediaItem& item, const std::filesystem::path& file);

// Why an item whose file was not found is offline.
Problem missing(const MediaItem& item);

// Several problems in one paragraph, in their order: the files of one kind of problem named together
// in one sentence, a few of them, the rest counted ("a.mp4, b.mp4, c.mp4 and 2 more could not be
// found."). A single problem reads as its own `text`.
std::string describe(const std::vector<Problem>& problems);

} // namespace MediaCheck
} // namespace osterveil
