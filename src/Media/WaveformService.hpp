#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <vector>

#include "Model/Project.hpp"

namespace osterveil {

// The outline of a file's sound for drawing inside clips: peaks of the first sound track in equal
// slices of the whole file. Never throws: what cannot be read gives an empty list. Safe from
// several threads.
namespace WaveformService {

// max(8, buckets) values in 0…1: each the largest magnitude among the frames looked at (every 16th,
// all channels) in its slice; 0 where none was looked at. A file of hours decodes for seconds: `stop`
// is looked at before each decoded stretch, and a stopped outline is empty.
std::vector<float> peaks(const MediaItem& item, const std::optional<std::filesystem::path>& projectURL,
                         int buckets, const std::stop_token& stop = {});

// Folds one stretch of interleaved samples starting at `startSeconds` into `peaks`, the file being
// `duration` seconds long. Frames whose slice cannot be worked out (a rate of 0, times that are not
// numbers) are passed over.
void accumulate(std::vector<float>& peaks, const float* samples, std::int64_t sampleCount, int channels,
                double sampleRate, double startSeconds, double duration);

} // namespace WaveformService
} // namespace osterveil
