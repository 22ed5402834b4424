#include "Platform/Media/PlayerItem.hpp"

#include <algorithm>
#include <fstream>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

namespace osterveil::media {

namespace {

bool isStillFormat(const std::string& formatName) {
    // libavformat reads pictures through its image demuxers: "png_pipe", "jpeg_pipe", "image2"…
    return formatName == "image2" || (formatName.size() > 5 && formatName.ends_with("_pipe"));
}

// Whether the file's first bytes are those of a still picture (which the asset layer does not read).
bool isStillPicture(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> head(4096 + AVPROBE_PADDING_SIZE, 0);
    in.read(reinterpret_cast<char*>(head.data()), 4096);
    const auto got = in.gcount();
    if (got <= 0) return false;
    const std::string name = path.filename().string();
    AVProbeData probe{name.c_str(), head.data(), int(got), nullptr};
    int score = 0;
    const AVInputFormat* format = av_probe_input_format2(&probe, 1, &score);
    return format && format->name && isStillFormat(format->name);
}

bool hasSound(const Composition& composition) {
    for (const CompositionTrack* t : composition.tracks(MediaType::audio))
        for (const auto& s : t->segments())
            if (!s.isEmpty()) return true;
    return false;
}

} // namespace

std::shared_ptr<const PlayerItem> PlayerItem::composition(std::shared_ptr<const Composition> composition,
                                                          std::optional<VideoComposition> videoComposition,
                                                          std::optional<AudioMix> audioMix) {
    std::shared_ptr<PlayerItem> item(new PlayerItem);
    if (!composition) composition = std::make_shared<Composition>();
    Time end = composition->duration();
    if (videoComposition) {
        if (!videoComposition->makeCompositor || !(videoComposition->frameDuration > Time::zero()) ||
            videoComposition->renderSize.width < 1 || videoComposition->renderSize.height < 1) {
            videoComposition.reset(); // nothing could draw it
        } else {
            item->frameDuration_ = videoComposition->frameDuration;
            if (!videoComposition->instructions.empty())
                end = std::max(end, videoComposition->instructions.back()->timeRange().end());
        }
    }
    item->duration_ = end.isNumeric() ? std::max(0.0, end.toSeconds()) : 0.0;
    item->hasAudio_ = hasSound(*composition);
    item->composition_ = std::move(composition);
    item->videoComposition_ = std::move(videoComposition);
    item->audioMix_ = std::move(audioMix);
    return item;
}

std::shared_ptr<const PlayerItem> PlayerItem::file(const std::filesystem::path& path, Size maximumSize) {
    std::shared_ptr<PlayerItem> item(new PlayerItem);
    std::shared_ptr<const Asset> asset;
    try {
        asset = Asset::open(path);
    } catch (const AssetError& e) {
        if (e.kind() == AssetError::Kind::unsupportedFormat && isStillPicture(path)) {
            item->composition_ = std::make_shared<Composition>();
            return item; // a still: nothing to play
        }
        throw;
    }
    auto composition = std::make_shared<Composition>();
    item->maximumSize_ = maximumSize;
    if (!isStillFormat(asset->formatName())) {
        const auto videos = asset->tracks(MediaType::video);
        if (!videos.empty()) {
            item->videoTrack_ = videos.front();
            const double fps = item->videoTrack_->nominalFrameRate;
            if (fps >= 1 && fps <= 1000) item->frameDuration_ = Time::seconds(1.0 / fps);
        }
        const auto sounds = asset->tracks(MediaType::audio);
        if (!sounds.empty() && !sounds.front()->timeRange.isEmpty()) {
            CompositionTrack* track = composition->addTrack(MediaType::audio);
            try {
                track->insertTimeRange(sounds.front()->timeRange, sounds.front(),
                                       sounds.front()->timeRange.start);
            } catch (const CompositionError&) {
                // A sound stream whose range cannot be placed plays as silence.
            }
        }
        Time end = asset->duration();
        if (!end.isNumeric()) {
            end = Time::zero();
            for (const auto& t : asset->tracks())
                if (t->timeRange.end().isNumeric()) end = std::max(end, t->timeRange.end());
        }
        item->duration_ = std::max(0.0, end.toSeconds());
    }
    item->hasAudio_ = hasSound(*composition);
    item->composition_ = std::move(composition);
    return item;
}

} // namespace osterveil::media
