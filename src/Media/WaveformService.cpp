#include "Media/WaveformService.hpp"

#include <algorithm>
#include <cmath>

#include "Platform/Media/AudioDecoder.hpp"

namespace osterveil::WaveformService {

void accumulate(std::vector<float>& peaks, const float* samples, std::int64_t sampleCount, int channels,
                double sampleRate, double startSeconds, double duration) {
    const int c = std::max(channels, 1);
    const std::int64_t frames = sampleCount / c;
    const double n = double(peaks.size());
    for (std::int64_t f = 0; f < frames; f += 16) {
        float peak = 0;
        for (int k = 0; k < c; ++k) {
            const std::int64_t i = f * c + k;
            if (i >= sampleCount) break;
            const float v = std::abs(samples[i]);
            if (v > peak) peak = v; // NaN never compares greater
        }
        const double position = n * ((double(f) / sampleRate + startSeconds) / duration);
        // Checked before converting: a position that is not a number or out of range has no bucket.
        if (!(position >= 0 && position < n)) continue;
        float& slot = peaks[static_cast<std::size_t>(position)];
        slot = std::max(slot, std::min(peak, 1.0f));
    }
}

std::vector<float> peaks(const MediaItem& item, const std::optional<std::filesystem::path>& projectURL,
                         int buckets, const std::stop_token& stop) {
    if (!item.hasAudio) return {};
    const auto url = item.resolveURL(projectURL);
    if (!url) return {};
    std::vector<float> out(std::size_t(std::max(8, buckets)), 0.0f);
    try {
        const auto asset = media::Asset::open(*url);
        const double duration = asset->duration().toSeconds();
        if (!(duration > 0)) return {};
        const auto sound = asset->tracks(media::MediaType::audio);
        if (sound.empty()) return {};
        media::AudioDecoder decoder(sound.front());
        try {
            while (auto b = decoder.next()) {
                if (stop.stop_requested()) return {};
                accumulate(out, b->samples.data(), std::int64_t(b->samples.size()), b->channels, b->sampleRate,
                           b->presentationTime.toSeconds(), duration);
            }
        } catch (const media::Error&) {
            // Damage part way: the peaks read so far still outline the sound.
        }
    } catch (const media::Error&) {
        return {};
    }
    return out;
}

} // namespace osterveil::WaveformService
