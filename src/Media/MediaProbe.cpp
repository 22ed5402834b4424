#include "Media/MediaProbe.hpp"

#include <array>
#include <cmath>
#include <cstdio>
#include <utility>

#include <QFile>
#include <QMimeDatabase>

#include "Platform/Foundation/RegularFile.hpp"
#include "Platform/Media/Asset.hpp"
#include "Platform/Media/AudioDecoder.hpp"
#include "Platform/Media/VideoDecoder.hpp"
#include "Platform/Stills/StillReader.hpp"

namespace osterveil {

namespace fs = std::filesystem;

namespace {

std::string describe(MediaError::Kind kind, const std::string& name, std::int64_t figure) {
    const std::string n = std::to_string(figure);
    switch (kind) {
    case MediaError::Kind::pictureTooLarge:
        return name + " is too large a picture: Osterveil imports stills of up to " + n + " megapixels.";
    case MediaError::Kind::tooManyChannels:
        return name + " has " + n + " sound channels: Osterveil imports sound of up to " +
               std::to_string(MediaProbe::mostSoundChannels) + " channels.";
    case MediaError::Kind::unsupportedSampleRate:
        return name + " has sound sampled at " + n + " Hz: Osterveil imports sound sampled at up to " +
               std::to_string(media::highestSampleRate / 1000) + " kHz.";
    case MediaError::Kind::unsupported:
        break;
    }
    return name + " is not a video, audio, or still Osterveil can import.";
}

bool isImageType(const QMimeType& type) {
    if (type.name().startsWith(QLatin1String("image/"))) return true;
    for (const QString& ancestor : type.allAncestors())
        if (ancestor.startsWith(QLatin1String("image/"))) return true;
    return false;
}

// Stills are decoded at this size to check that they decode; their facts come from the header.
constexpr int kProbeSide = 480;

// Whether a file is taken for a still: by its content, which a wrong extension (a PNG saved as
// ".mp4", a movie as ".jpg") does not change; by its name only when the content says nothing known.
bool isStill(const fs::path& file) {
    const QMimeDatabase db;
    const QMimeType byName = db.mimeTypeForFile(QFile::decodeName(file.c_str()), QMimeDatabase::MatchExtension);
    const auto head = readRegularFileHead(file, 64 * 1024);
    if (!head) return isImageType(byName);
    const QMimeType byContent = db.mimeTypeForData(QByteArray(head->data(), static_cast<qsizetype>(head->size())));
    if (byContent.isValid() && !byContent.isDefault()) return isImageType(byContent);
    return isImageType(byName);
}

// Whether the first picture of a stream decodes.
bool firstPictureDecodes(const std::shared_ptr<const media::AssetTrack>& track) {
    try {
        media::VideoDecoder decoder(track, 1);
        return decoder.frameAt(media::Time::zero()) != nullptr;
    } catch (const media::Error&) {
        return false;
    }
}

// Whether a sound stream's decoder starts and its first stretch decodes, converted as the mix
// takes it. A stream with no sound in it at all passes: it plays as silence, as it is.
bool firstSoundDecodes(const std::shared_ptr<const media::AssetTrack>& track) {
    try {
        media::AudioDecoder decoder(track, 48000, 2);
        decoder.next();
        return true;
    } catch (const media::Error&) {
        return false;
    }
}

std::int64_t roundedExtent(double v) {
    v = std::fabs(v);
    // llround rounds halves away from zero; an impossible size is no size.
    return std::isfinite(v) && v < 9.0e18 ? std::llround(v) : 0;
}

StoredTransform stored(const media::AffineTransform& t) {
    return StoredTransform{t.a, t.b, t.c, t.d, t.tx, t.ty};
}

} // namespace

MediaError::MediaError(Kind kind, std::string fileName, std::int64_t figure)
    : kind_(kind), fileName_(std::move(fileName)), figure_(figure),
      description_(describe(kind_, fileName_, figure_)) {}

MediaItem MediaProbe::makeItem(const fs::path& path, const std::optional<fs::path>& projectURL) {
    // Items keep absolute paths; bookmarks and security scopes have no counterpart on this platform.
    fs::path file = fs::absolute(path).lexically_normal();
    std::optional<std::string> relative = relativePath(file, projectURL);
    std::string name = file.stem().string();
    std::string fileName = file.filename().string();

    if (isStill(file)) return imageItem(file, std::move(name), std::move(relative));

    std::shared_ptr<const media::Asset> asset;
    try {
        asset = media::Asset::open(file);
    } catch (const media::AssetError& e) {
        if (e.kind() == media::AssetError::Kind::unsupportedFormat ||
            e.kind() == media::AssetError::Kind::damaged)
            throw MediaError::unsupported(fileName);
        throw;
    }
    auto pictures = asset->tracks(media::MediaType::video);
    auto sounds = asset->tracks(media::MediaType::audio);
    if (pictures.empty() && sounds.empty()) throw MediaError::unsupported(fileName);
    // Before anything is decoded: the resampler for a rate like this would take seconds to build, and
    // the mix takes no more channels than this.
    if (!sounds.empty() && sounds.front()->sampleRate > media::highestSampleRate)
        throw MediaError::unsupportedSampleRate(fileName, sounds.front()->sampleRate);
    if (!sounds.empty() && sounds.front()->channelCount > mostSoundChannels)
        throw MediaError::tooManyChannels(fileName, sounds.front()->channelCount);
    // A movie whose picture never decodes would only ever show black; sound that does not decode
    // would play silence and fail every export that uses it.
    if (!pictures.empty() && !firstPictureDecodes(pictures.front())) throw MediaError::unsupported(fileName);
    if (!sounds.empty() && !firstSoundDecodes(sounds.front())) throw MediaError::unsupported(fileName);

    MediaItem item;
    item.id = Uuid::make();
    item.name = std::move(name);
    item.path = file.string();
    item.relativePath = std::move(relative);
    double seconds = asset->duration().toSeconds();
    item.duration = std::isfinite(seconds) ? seconds : 0;
    item.hasAudio = !sounds.empty();
    if (!pictures.empty()) {
        const media::AssetTrack& picture = *pictures.front();
        // The size the picture is shown at: widened by its pixels' shape (a 16:9 DVD's 720 × 576 is
        // 1024 × 576), then turned, so a portrait recording stored sideways reports its upright size. A
        // sequence made from the item takes this shape, as the picture fills it.
        const media::Size widened{picture.naturalSize.width * picture.pixelAspect,
                                  picture.naturalSize.height};
        media::Size shown = media::applyToSize(picture.preferredTransform, widened);
        item.kind = MediaKind::video;
        item.width = roundedExtent(shown.width);
        item.height = roundedExtent(shown.height);
        item.nominalFrameRate = picture.nominalFrameRate;
        item.codec = picture.mediaSubtype != 0 ? codecName(picture.mediaSubtype) : "Video";
        item.hasVideo = true;
        item.transform = stored(picture.preferredTransform);
    } else {
        const media::AssetTrack& sound = *sounds.front();
        item.kind = MediaKind::audio;
        item.codec = sound.mediaSubtype != 0                 ? codecName(sound.mediaSubtype)
                     : sound.codecName.starts_with("adpcm_") ? "ADPCM"
                                                             : "Audio";
    }
    return item;
}

MediaItem MediaProbe::imageItem(const fs::path& path, std::string name, std::optional<std::string> relative) {
    // Decoded once here: a still that cannot be drawn is of no use in the project, and the build
    // would otherwise find that out only as a black picture.
    const auto still = stills::load(path, kProbeSide);
    if (!still) {
        if (const auto megapixels = stills::megapixelLimitExceeded(path))
            throw MediaError::pictureTooLarge(path.filename().string(), *megapixels);
        throw MediaError::unsupported(path.filename().string());
    }
    const QSize size = still->storedSize.isValid() ? still->storedSize : still->image.size();
    std::int64_t width = size.width() > 0 ? size.width() : 0;
    std::int64_t height = size.height() > 0 ? size.height() : 0;

    MediaItem item;
    item.id = Uuid::make();
    item.name = std::move(name);
    item.kind = MediaKind::image;
    item.path = path.string();
    item.relativePath = std::move(relative);
    item.width = width;
    item.height = height;
    item.codec = width > 0 ? "Still " + std::to_string(width) + "\u00D7" + std::to_string(height) : "Still";
    return item;
}

std::optional<std::string> MediaProbe::relativePath(const fs::path& path,
                                                    const std::optional<fs::path>& projectURL) {
    if (!projectURL) return std::nullopt;
    std::string folder = fs::absolute(*projectURL).lexically_normal().parent_path().string();
    std::string file = path.string();
    // The folder itself followed by a separator: "/work/film" must not claim "/work/film-old/a.mov".
    if (folder.empty() || folder.back() != '/') folder += '/';
    if (file.size() <= folder.size() || file.compare(0, folder.size(), folder) != 0) return std::nullopt;
    return file.substr(folder.size());
}

std::string MediaProbe::codecName(std::uint32_t code) {
    static const std::array<std::pair<std::uint32_t, const char*>, 19> table{{
        {fourCC("apch"), "ProRes 422 HQ"},
        {fourCC("apcn"), "ProRes 422"},
        {fourCC("apcs"), "ProRes 422 LT"},
        {fourCC("apco"), "ProRes 422 Proxy"},
        {fourCC("ap4h"), "ProRes 4444"},
        {fourCC("ap4x"), "ProRes 4444 XQ"},
        {fourCC("avc1"), "H.264"},
        {fourCC("hvc1"), "HEVC"},
        {fourCC("hev1"), "HEVC"},
        {fourCC("jpeg"), "JPEG"},
        {fourCC("lpcm"), "Linear PCM"},
        {fourCC("aac "), "AAC"},
        {fourCC("mp4a"), "AAC"},
        {fourCC("alac"), "ALAC"},
        {fourCC("ulaw"), "\u03BC-law"},
        {fourCC("alaw"), "A-law"},
        {fourCC("ima4"), "IMA 4:1"},
        {0x6D730002, "MS ADPCM"}, // "ms" and the WAV format tag 0x0002
        {0x6D730011, "IMA ADPCM"}, // "ms" and 0x0011
    }};
    for (const auto& [known, name] : table)
        if (known == code) return name;
    return fourCCString(code);
}

std::uint32_t MediaProbe::fourCC(std::string_view text) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < text.size() && i < 4; ++i)
        v = v * 256 + static_cast<std::uint8_t>(text[i]);
    return v;
}

std::string MediaProbe::fourCCString(std::uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        auto byte = static_cast<unsigned char>((code >> shift) & 0xFF);
        if (byte < 0x20 || byte > 0x7E) {
            char hex[9];
            std::snprintf(hex, sizeof hex, "%08X", code);
            return hex;
        }
        text += static_cast<char>(byte);
    }
    std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

} // namespace osterveil
