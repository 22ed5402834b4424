#include "App/MediaFiles.hpp"

#include <QFile>
#include <algorithm>
#include <array>
#include <system_error>
#include <utility>

namespace osterveil::MediaFiles {

namespace fs = std::filesystem;

namespace {

struct KindFilter {
    MediaKind kind;
    FileFilter filter;
};

// What the media layer reads: the containers its demuxers open (QuickTime and MP4, Matroska, AVI, MXF,
// DV, Flash, ASF, Ogg, IVF, MPEG program streams as DVDs and camcorders write them, transport streams as
// broadcasts and HD camcorders do), the sound formats, and the stills the image readers decode.
const std::array<KindFilter, 3>& kindFilters() {
    static const std::array<KindFilter, 3> filters{{
        {MediaKind::video,
         {QStringLiteral("Movies"),
          {"mov", "mp4", "m4v", "mkv", "mk3d", "webm", "avi", "divx", "mxf", "mts", "m2ts", "m2t",
           "ts",  "tp",  "trp", "tod", "mpg",  "mpeg", "mpe", "m2p",  "vob", "mod", "vro",  "dv",
           "dif", "3gp", "3g2", "mj2", "ogv",  "ogm",  "flv", "f4v",  "wmv", "asf", "ivf"}}},
        {MediaKind::audio,
         {QStringLiteral("Audio"),
          {"wav",  "bwf", "rf64", "w64", "mp3",  "mp2", "mpa", "m2a", "aif",  "aiff", "aifc",
           "m4a",  "m4b", "aac",  "ac3", "eac3", "ec3", "dts", "thd", "flac", "ogg",  "oga",
           "opus", "spx", "caf",  "wma", "amr",  "au",  "snd", "wv",  "ape",  "tta",  "mka"}}},
        {MediaKind::image,
         {QStringLiteral("Stills"),
          {"png", "jpg", "jpeg", "jpe", "tif", "tiff", "bmp", "gif",  "webp", "tga", "ppm",
           "pgm", "pbm", "pnm",  "xbm", "xpm", "ico",  "cur", "icns", "wbmp", "svg", "svgz"}}},
    }};
    return filters;
}

QString qtName(const fs::path& name) {
    return QFile::decodeName(name.c_str());
}

bool isHidden(const fs::path& path) {
    const std::string name = path.filename().string();
    return !name.empty() && name.front() == '.';
}

// One folder's entries in byte order of their names; as many as could be read before a stop.
std::vector<fs::directory_entry> listing(const fs::path& folder, const std::stop_token& stop) {
    std::vector<fs::directory_entry> entries;
    std::error_code error;
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::directory_iterator() && !stop.stop_requested(); it.increment(error))
        entries.push_back(*it);
    std::sort(entries.begin(), entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
        return a.path().filename().native() < b.path().filename().native();
    });
    return entries;
}

void enter(std::vector<fs::path>& files, const fs::path& file) {
    if (std::find(files.begin(), files.end(), file) == files.end()) files.push_back(file);
}

} // namespace

const std::vector<FileFilter>& importTypes() {
    static const std::vector<FileFilter> types = [] {
        std::vector<FileFilter> list;
        for (const KindFilter& entry : kindFilters())
            list.push_back(entry.filter);
        return list;
    }();
    return types;
}

const FileFilter& premiereXMLType() {
    static const FileFilter type{QStringLiteral("Premiere XML"), {"xml", "xmeml"}};
    return type;
}

const FileFilter& lutType() {
    static const FileFilter type{QStringLiteral("Look-Up Tables"), {"cube"}};
    return type;
}

std::optional<MediaKind> kindOfFile(const fs::path& file) {
    QString extension = qtName(file.extension()).toLower();
    if (extension.isEmpty()) return std::nullopt;
    extension.remove(0, 1);
    for (const KindFilter& entry : kindFilters())
        if (entry.filter.extensions.contains(extension)) return entry.kind;
    return std::nullopt;
}

std::string key(const fs::path& name) {
    return qtName(name).toLower().toStdString();
}

std::optional<fs::path> Index::first(const std::string& key) const {
    const auto found = files.find(key);
    if (found == files.end() || found->second.empty()) return std::nullopt;
    return found->second.front();
}

std::optional<fs::path> Index::find(const std::string& key, MediaKind kind) const {
    const auto found = files.find(key);
    if (found == files.end() || found->second.empty()) return std::nullopt;
    for (const fs::path& file : found->second)
        if (kindOfFile(file) == kind) return file;
    return found->second.front();
}

Index mediaIndex(const fs::path& folder, const std::stop_token& stop) {
    Index result;
    // Depth first: a folder's contents come where the folder stands among its siblings.
    struct Level {
        std::vector<fs::directory_entry> entries;
        std::size_t next = 0;
    };
    std::vector<Level> stack;
    stack.push_back({listing(folder, stop)});
    while (!stack.empty()) {
        // A tree can hold hundreds of thousands of entries: its owner may have gone meanwhile.
        if (stop.stop_requested()) return {};
        Level& level = stack.back();
        if (level.next == level.entries.size()) {
            stack.pop_back();
            continue;
        }
        const fs::directory_entry entry = level.entries[level.next++];
        if (isHidden(entry.path())) continue;
        std::error_code error;
        const bool link = entry.is_symlink(error);
        if (!link && entry.is_directory(error)) {
            stack.push_back({listing(entry.path(), stop)});
            continue;
        }
        if (!entry.is_regular_file(error)) continue;
        const fs::path& file = entry.path();
        // The full name first: a file met later never takes a key from one met earlier.
        enter(result.files[key(file.filename())], file);
        enter(result.files[key(file.stem())], file);
    }
    return result;
}

std::optional<fs::path> match(const MediaItem& item, const Index& index) {
    const fs::path stored = fs::path(item.path).filename();
    const std::array<std::string, 3> keys{key(stored), key(stored.stem()), key(fs::path(item.name))};
    for (const std::string& k : keys) {
        if (k.empty()) continue;
        if (auto file = index.find(k, item.kind)) return file;
    }
    return std::nullopt;
}

} // namespace osterveil::MediaFiles
