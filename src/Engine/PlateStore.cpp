#include "Engine/PlateStore.hpp"

#include <QStandardPaths>
#include <random>

#include "Platform/Media/AssetWriter.hpp"

namespace osterveil {

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFrames = 30;

// A name beside the plate that no other writer uses, so a half-written movie never sits at the
// plate's own path.
fs::path temporaryBeside(const fs::path& target) {
    std::random_device rd;
    return target.parent_path() / (target.filename().string() + ".partial-" + std::to_string(rd()));
}

bool usable(const std::shared_ptr<const media::Asset>& asset) {
    return asset && !asset->tracks(media::MediaType::video).empty();
}

} // namespace

PlateStore& PlateStore::shared() {
    static PlateStore store(defaultFolder());
    return store;
}

PlateStore::PlateStore(fs::path folder) : folder_(std::move(folder)) {}

fs::path PlateStore::defaultFolder() {
    const QString caches = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    const fs::path base = caches.isEmpty() ? fs::temp_directory_path() : fs::path(caches.toStdString());
    return base / "Osterveil";
}

std::shared_ptr<const media::Asset> PlateStore::asset() {
    std::lock_guard lock(mutex_);
    if (cached_) return cached_;
    fs::create_directories(folder_);
    cached_ = openOrRewrite();
    return cached_;
}

std::shared_ptr<const media::Asset> PlateStore::openOrRewrite() {
    const fs::path path = fileURL();
    std::error_code ec;
    if (fs::exists(path, ec)) {
        // A plate left broken (a crash while writing, a full disk) is replaced once rather than
        // failing every build that needs it.
        try {
            auto asset = media::Asset::open(path);
            if (usable(asset)) return asset;
        } catch (const media::AssetError&) {
        }
    }
    writePlate(path);
    auto asset = media::Asset::open(path);
    if (!usable(asset)) throw PlateError();
    return asset;
}

void PlateStore::writePlate(const fs::path& path) {
    const fs::path partial = temporaryBeside(path);
    try {
        media::AssetWriter writer(partial, media::FileType::quickTimeMovie);
        media::VideoSettings settings;
        settings.codec = media::VideoCodec::h264;
        settings.width = kWidth;
        settings.height = kHeight;
        settings.averageBitRate = 400000;
        settings.profile = media::H264Profile::baseline;
        settings.expectedFrameRate = 30;
        if (!writer.canAddVideoInput(settings)) throw PlateError();
        writer.addVideoInput(settings);
        writer.startWriting();
        writer.startSession(media::Time::zero());
        media::PixelBufferPool pool(kWidth, kHeight, 2);
        for (int i = 0; i < kFrames; ++i) {
            media::PixelBuffer frame = pool.get();
            frame.clear();
            writer.appendVideo(frame, media::Time(i, 30));
        }
        writer.finishWriting();
    } catch (...) {
        std::error_code ec;
        fs::remove(partial, ec);
        throw;
    }
    fs::rename(partial, path);
}

} // namespace osterveil
