#pragma once

// Branch-free log2, exp2 and pow for the per-pixel loops, which the vectoriser can turn into packed code
// (the C library's powf cannot be). Relative error below 1e-5 over the range colour values take.

#include <bit>
#include <cstdint>

// Row loops marked with this are compiled three times, for the x86-64 baseline, for AVX2 and for
// AVX-512 machines, and picked at load time; the binary stays portable while 8- and 16-wide vectors
// are used where they exist (16-wide makes an export's composing about 15% cheaper). All copies
// compute the same results (the library is built without floating-point contraction).
// ThreadSanitizer builds keep one copy: its instrumented load-time resolvers crash before it starts.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define OSTERVEIL_WIDE_LOOP __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define OSTERVEIL_WIDE_LOOP
#endif

namespace osterveil::imaging::detail {

// For positive normal x.
inline float fastLog2(float x) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    float e = static_cast<float>(static_cast<std::int32_t>(bits >> 23) - 127);
    float m = std::bit_cast<float>((bits & 0x007FFFFFu) | 0x3F800000u); // [1, 2)
    const bool high = m > 1.41421356f;                                   // into [√½, √2)
    m = high ? m * 0.5f : m;
    e = high ? e + 1.0f : e;
    // ln m = 2·atanh(z) with |z| ≤ 0.172: five odd terms are exact to float precision.
    const float z = (m - 1.0f) / (m + 1.0f);
    const float z2 = z * z;
    const float ln = 2.0f * z * (1.0f + z2 * (1.0f / 3 + z2 * (1.0f / 5 + z2 * (1.0f / 7 + z2 * (1.0f / 9)))));
    return e + ln * 1.44269504f;
}

inline float fastExp2(float x) {
    x = x < -126.0f ? -126.0f : x;
    x = x > 127.0f ? 127.0f : x;
    const float n = (x + 12582912.0f) - 12582912.0f; // round to nearest (1.5·2^23 trick)
    const float t = (x - n) * 0.693147181f;          // |t| ≤ ln2 / 2
    const float p = 1.0f + t * (1.0f + t * (0.5f + t * (1.0f / 6 + t * (1.0f / 24 + t * (1.0f / 120 + t * (1.0f / 720))))));
    const std::int32_t i = static_cast<std::int32_t>(n);
    return p * std::bit_cast<float>(static_cast<std::uint32_t>(i + 127) << 23);
}

// x^p for x > 0; 0 for x ≤ 0 (and NaN).
inline float fastPow(float x, float p) {
    const float safe = x > 1e-30f ? x : 1e-30f;
    const float r = fastExp2(p * fastLog2(safe));
    return x > 0.0f ? r : 0.0f;
}

// NaN to 0. On the bit pattern, as unsigned: negative values (−0 too) and NaNs lie above +∞ and go to
// +0, and among the rest the order is the values' own. Two integer operations per vector; the float
// comparisons the same clamp is written with otherwise get merged with the arithmetic around them
// into chains of masks and blends.
inline float clamp01(float v) {
    std::uint32_t b = std::bit_cast<std::uint32_t>(v);
    b = b > 0x7F800000u ? 0u : b;
    return std::bit_cast<float>(b < 0x3F800000u ? b : 0x3F800000u);
}

inline float unpremultiplier(float a) { return a > 0.0f ? 1.0f / a : 0.0f; }

// Whether all `n` values are exactly 1 (alpha of an opaque row). Compares bit patterns: an integer
// reduction vectorises, a float comparison does not.
bool allOnes(const float* v, int n);

} // namespace osterveil::imaging::detail
