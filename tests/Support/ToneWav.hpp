#pragma once

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

// WAV files of 32-bit float samples computed by a function, for tests that measure sound.
namespace osterveil::testsupport {

// sample(frame, channel) gives each sample. With `channelMask` the format is WAVE_FORMAT_EXTENSIBLE
// with that speaker mask (0, as multitrack recorders write, places no channel).
inline void writeFloatWav(const std::filesystem::path& path, int sampleRate, int channels,
                          std::int64_t frames, const std::function<float(std::int64_t, int)>& sample,
                          std::optional<std::uint32_t> channelMask = std::nullopt) {
    std::ofstream f(path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    const std::uint32_t bytes = static_cast<std::uint32_t>(frames * channels * 4);
    const std::uint32_t format = channelMask ? 40 : 16;
    f.write("RIFF", 4);
    u32(4 + 8 + format + 8 + bytes);
    f.write("WAVEfmt ", 8);
    u32(format);
    u16(channelMask ? 0xFFFE : 3); // extensible, or IEEE float
    u16(static_cast<std::uint16_t>(channels));
    u32(static_cast<std::uint32_t>(sampleRate));
    u32(static_cast<std::uint32_t>(sampleRate * channels * 4));
    u16(static_cast<std::uint16_t>(channels * 4));
    u16(32);
    if (channelMask) {
        u16(22);
        u16(32); // valid bits
        u32(*channelMask);
        // KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
        const unsigned char subtype[16] = {0x03, 0, 0, 0,    0, 0,    0x10, 0,
                                           0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
        f.write(reinterpret_cast<const char*>(subtype), 16);
    }
    f.write("data", 4);
    u32(bytes);
    std::vector<float> row(channels);
    for (std::int64_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) row[c] = sample(i, c);
        f.write(reinterpret_cast<const char*>(row.data()), channels * 4);
    }
    if (!f) throw std::runtime_error("cannot write " + path.string());
}

// A sine of `hz` at `amplitude` on every channel.
inline void writeToneWav(const std::filesystem::path& path, double hz, double seconds, float amplitude = 0.5f,
                         int sampleRate = 48000, int channels = 2) {
    writeFloatWav(path, sampleRate, channels, static_cast<std::int64_t>(std::llround(seconds * sampleRate)),
                  [&](std::int64_t i, int) {
                      return static_cast<float>(amplitude * std::sin(2 * M_PI * hz * double(i) / sampleRate));
                  });
}

} // namespace osterveil::testsupport
