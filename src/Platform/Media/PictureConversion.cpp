#include "Platform/Media/PictureConversion.hpp"

#include <algorithm>

// Compiled for the x86-64 baseline and for AVX2 machines, picked at load time (not in ThreadSanitizer
// builds, whose load-time resolvers crash).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define OSTERVEIL_CONVERSION_LOOP __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define OSTERVEIL_CONVERSION_LOOP
#endif

// The pictures read here were mostly rendered on TBB's workers, whose hand-off ThreadSanitizer cannot
// see; it would report every byte and take minutes over each picture. Left uninstrumented, like the
// scaler these loops stand in for.
#if defined(__SANITIZE_THREAD__)
#define OSTERVEIL_CONVERSION_ROW __attribute__((no_sanitize_thread))
#else
#define OSTERVEIL_CONVERSION_ROW
#endif

namespace osterveil::media::detail {

namespace {

// The scaler's BT.709 limited-range table (15 fractional bits) for R'G'B' in 0…255: it works in
// 14-bit codes, widens them to 15 bits and rounds to 10.
constexpr int kRY = 5983, kGY = 20127, kBY = 2032;
constexpr int kRU = -3298, kGU = -11094, kBU = 14392;
constexpr int kRV = 14392, kGV = -13073, kBV = -1320;

inline std::uint16_t to10(int code14) {
    const int v = std::min(2 * code14, 32767);
    return static_cast<std::uint16_t>(std::clamp((v + 16) >> 5, 0, 1023));
}

OSTERVEIL_CONVERSION_LOOP OSTERVEIL_CONVERSION_ROW void lumaRow(const std::uint8_t* __restrict s, int n, std::uint16_t* __restrict y) {
    for (int i = 0; i < n; ++i) {
        const int b = s[4 * i], g = s[4 * i + 1], r = s[4 * i + 2];
        y[i] = to10((kRY * r + kGY * g + kBY * b + (32 << 14) + (1 << 8)) >> 9);
    }
}

OSTERVEIL_CONVERSION_LOOP OSTERVEIL_CONVERSION_ROW void chromaRow(const std::uint8_t* __restrict s, int n, std::uint16_t* __restrict cb,
                                         std::uint16_t* __restrict cr) {
    for (int i = 0; i < n; ++i) {
        const int b = s[4 * i], g = s[4 * i + 1], r = s[4 * i + 2];
        cb[i] = to10((kRU * r + kGU * g + kBU * b + (256 << 14) + (1 << 8)) >> 9);
        cr[i] = to10((kRV * r + kGV * g + kBV * b + (256 << 14) + (1 << 8)) >> 9);
    }
}

// Each pair's sums, with one more bit of precision dropped at the end.
OSTERVEIL_CONVERSION_LOOP OSTERVEIL_CONVERSION_ROW void pairChromaRow(const std::uint8_t* __restrict s, int pairs, std::uint16_t* __restrict cb,
                                             std::uint16_t* __restrict cr) {
    for (int i = 0; i < pairs; ++i) {
        const int b = s[8 * i] + s[8 * i + 4], g = s[8 * i + 1] + s[8 * i + 5], r = s[8 * i + 2] + s[8 * i + 6];
        cb[i] = to10((kRU * r + kGU * g + kBU * b + (256 << 15) + (1 << 9)) >> 10);
        cr[i] = to10((kRV * r + kGV * g + kBV * b + (256 << 15) + (1 << 9)) >> 10);
    }
}

} // namespace

void bgraToYUV10Row(const std::uint8_t* bgra, int width, bool halfChroma, std::uint16_t* y, std::uint16_t* cb,
                    std::uint16_t* cr) {
    lumaRow(bgra, width, y);
    if (halfChroma) pairChromaRow(bgra, width / 2, cb, cr);
    else chromaRow(bgra, width, cb, cr);
}

} // namespace osterveil::media::detail
