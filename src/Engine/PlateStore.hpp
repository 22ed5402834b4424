#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "Platform/Media/Asset.hpp"
#include "Platform/Media/MediaErrors.hpp"

namespace osterveil {

// The timing movie could not be made or opened.
class PlateError : public media::Error {
public:
    enum class Kind { unusable };
    explicit PlateError(Kind kind = Kind::unusable)
        : media::Error("Osterveil could not create the timing movie used for stills and titles."), kind_(kind) {}
    Kind kind() const { return kind_; }
    bool operator==(const PlateError& o) const { return kind_ == o.kind_; }

private:
    Kind kind_;
};

// The timing plate: a one-second black movie laid under the whole composition so that every instant
// has a picture source, also where only stills or titles are on screen. It is written once into the
// user's cache folder, reused across launches, and opened once per process. Calls are serialised.
class PlateStore {
public:
    static constexpr const char* fileName = "timing-plate-720p30.mov";

    // The process-wide store, keeping the plate in the user's cache folder.
    static PlateStore& shared();
    // A store keeping its plate in `folder` (created when missing).
    explicit PlateStore(std::filesystem::path folder);

    // The opened plate movie. Throws `PlateError`, or the media layer's error when the movie written
    // cannot be opened, or std::filesystem::filesystem_error when the folder cannot be made.
    std::shared_ptr<const media::Asset> asset();

    // Where the plate lives.
    std::filesystem::path fileURL() const { return folder_ / fileName; }

    // Writes the plate movie to `path`. Throws as `asset()` does.
    static void writePlate(const std::filesystem::path& path);

    // The plate's folder in the user's cache directory, else in the temporary directory.
    static std::filesystem::path defaultFolder();

private:
    std::shared_ptr<const media::Asset> openOrRewrite();

    std::filesystem::path folder_;
    std::mutex mutex_;
    std::shared_ptr<const media::Asset> cached_;
};

} // namespace osterveil
