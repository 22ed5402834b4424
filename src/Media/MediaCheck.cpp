#include "Media/MediaCheck.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <unordered_map>

#include <QImageReader>
#include <sys/stat.h>

#include "Platform/Media/Asset.hpp"
#include "Platform/Media/MediaErrors.hpp"
#include "Platform/Stills/TiffMessages.hpp"

namespace osterveil::MediaCheck {

namespace fs = std::filesystem;

namespace {

// A file differs from the item's record by this much in length before it counts as another
// recording: lengths worked out by different versions of the readers, or written by the header
// and by the data, differ by a frame or two.
double lengthTolerance(double recorded) {
    return std::max(0.5, 0.02 * recorded);
}

Problem changed(const fs::path& file) {
    return {Problem::Kind::changed, file.filename().string()};
}

std::optional<Problem> look(const MediaItem& item, const fs::path& file) {
    const Problem unreadable{Problem::Kind::undecodable, file.filename().string()};
    if (item.kind == MediaKind::image) {
        const stills::TiffMessages messages(file);
        QImageReader reader(QString::fromStdString(file.string()));
        reader.setDecideFormatFromContent(true);
        if (!reader.canRead() || !reader.size().isValid()) return unreadable;
        return std::nullopt;
    }
    std::shared_ptr<const media::Asset> asset;
    try {
        asset = media::Asset::open(file);
    } catch (const media::Error&) {
        return unreadable;
    }
    const bool pictures = !asset->tracks(media::MediaType::video).empty();
    const bool sound = !asset->tracks(media::MediaType::audio).empty();
    if (!pictures && !sound) return unreadable;
    // What the probe would call it now.
    if ((item.kind == MediaKind::video) != pictures) return changed(file);
    if (item.hasAudio && !sound) return changed(file);
    const double length = asset->duration().toSeconds();
    if (item.duration > 0 && std::isfinite(length) && std::fabs(length - item.duration) > lengthTolerance(item.duration))
        return changed(file);
    return std::nullopt;
}

struct Key {
    std::string path;
    std::uint64_t device = 0, inode = 0;
    std::int64_t size = 0, modified = 0;
    MediaKind kind = MediaKind::video;
    double duration = 0;
    bool hasAudio = false;
    bool operator==(const Key&) const = default;
};

struct KeyHash {
    std::size_t operator()(const Key& k) const noexcept {
        std::size_t h = std::hash<std::string>()(k.path);
        for (std::uint64_t v : {k.device, k.inode, std::uint64_t(k.size), std::uint64_t(k.modified),
                                std::uint64_t(k.kind), std::uint64_t(k.hasAudio),
                                std::uint64_t(std::hash<double>()(k.duration))})
            h ^= std::hash<std::uint64_t>()(v) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        return h;
    }
};

std::mutex lock;
std::unordered_map<Key, std::optional<Problem>, KeyHash> verdicts;
// Far more files than a project holds; past it the record starts again.
constexpr std::size_t kRemembered = 8192;

} // namespace

std::optional<Problem> problem(const MediaItem& item, const fs::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return missing(item);
    // A folder, a FIFO or a device is no media file, whatever it is called.
    if (!S_ISREG(info.st_mode)) return Problem{Problem::Kind::undecodable, file.filename().string()};
    const Key key{file.string(),
                  std::uint64_t(info.st_dev),
                  std::uint64_t(info.st_ino),
                  std::int64_t(info.st_size),
                  std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
                  item.kind,
                  item.duration,
                  item.hasAudio};
    {
        const std::lock_guard guard(lock);
        if (const auto found = verdicts.find(key); found != verdicts.end()) return found->second;
    }
    std::optional<Problem> verdict = look(item, file);
    const std::lock_guard guard(lock);
    if (verdicts.size() >= kRemembered) verdicts.clear();
    verdicts.insert_or_assign(key, verdict);
    return verdict;
}

Problem missing(const MediaItem& item) {
    const std::string name = fs::path(item.path).filename().string();
    return {Problem::Kind::missing, name.empty() ? item.name : name};
}

namespace {

// Files named in one sentence at most; the rest are counted.
constexpr std::size_t kNamed = 3;

// What is said of files with one kind of problem, for one file and for several.
std::string said(Problem::Kind kind, bool several) {
    switch (kind) {
    case Problem::Kind::missing:
        return several ? " could not be found. Relink them to use them again."
                       : " could not be found. Relink it to use it again.";
    case Problem::Kind::changed:
        return several ? " have changed since they were imported. Relink them to use them again."
                       : " has changed since it was imported. Relink it to use it again.";
    case Problem::Kind::undecodable:
        return " could not be decoded.";
    }
    return {};
}

} // namespace

std::string Problem::text() const {
    return file + said(kind, false);
}

std::string describe(const std::vector<Problem>& problems) {
    std::vector<std::pair<Problem::Kind, std::vector<std::string>>> groups;
    for (const Problem& p : problems) {
        auto group =
            std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == p.kind; });
        if (group == groups.end()) group = groups.insert(groups.end(), {p.kind, {}});
        if (std::find(group->second.begin(), group->second.end(), p.file) == group->second.end())
            group->second.push_back(p.file);
    }
    std::string out;
    for (const auto& [kind, files] : groups) {
        if (!out.empty()) out += ' ';
        if (files.size() == 1) {
            out += Problem{kind, files.front()}.text();
            continue;
        }
        const std::size_t named = files.size() > kNamed ? kNamed : files.size() - 1;
        for (std::size_t i = 0; i < named; ++i)
            out += (i > 0 ? ", " : "") + files[i];
        out += " and ";
        out += files.size() > kNamed ? std::to_string(files.size() - kNamed) + " more" : files.back();
        out += said(kind, true);
    }
    return out;
}

} // namespace osterveil::MediaCheck
