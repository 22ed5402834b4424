#pragma once

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <unordered_map>
#include <vector>

#include "App/DesktopServices.hpp"
#include "Model/Project.hpp"

namespace osterveil {

// Media files by name: the types the import and locate panels offer, and the index of a folder tree that
// matches offline media to files.
namespace MediaFiles {

// Movies, sound and stills, in that order: what the media import and the locate-file panels accept.
const std::vector<FileFilter>& importTypes();
// Final Cut Pro XML as Premiere writes it.
const FileFilter& premiereXMLType();
// Look-up tables.
const FileFilter& lutType();

// The kind of media a file's extension stands for (compared without regard to letter case); none for an
// extension of no importable type.
std::optional<MediaKind> kindOfFile(const std::filesystem::path& file);

// A name as the index keys it: lower case (Unicode), UTF-8.
std::string key(const std::filesystem::path& name);

// The files of a folder tree under two keys each: the lower-cased file name and the lower-cased name
// without its last extension. Each key lists its files in walk order, so the first is the one met first.
struct Index {
    std::unordered_map<std::string, std::vector<std::filesystem::path>> files;

    bool empty() const { return files.empty(); }
    // The first file under `key`; none when there is none.
    std::optional<std::filesystem::path> first(const std::string& key) const;
    // The first file under `key` whose extension is of `kind`; the first of all when none is.
    std::optional<std::filesystem::path> find(const std::string& key, MediaKind kind) const;
};

// Walks `folder` and every folder below it, depth first, each folder's entries in byte order of their
// names. Regular files (and links to them) are entered; names starting with a dot are skipped, files and
// folders alike; links to folders are never followed; folders that cannot be read are passed over. An
// unreadable `folder` gives an empty index, and so does a walk stopped through `stop`.
Index mediaIndex(const std::filesystem::path& folder, const std::stop_token& stop = {});

// Where an offline item's file is in `index`: by the file name of its path, then that name without its
// extension, then its display name, each compared in lower case. Within the first key that has files, one
// whose extension is of the item's kind wins over one met earlier of another kind.
std::optional<std::filesystem::path> match(const MediaItem& item, const Index& index);

} // namespace MediaFiles
} // namespace osterveil
