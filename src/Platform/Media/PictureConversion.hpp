#pragma once

// Shared by the movie writer and its tests; not part of the media layer's interface.

#include <cstdint>

namespace osterveil::media::detail {

// One row of 8-bit BGRA (alpha ignored, as the library's scaler does) to limited-range BT.709 Y'CbCr
// of 10 bits, the same codes FFmpeg's scaler makes for the same picture, bit for bit: luma for each
// pixel, and chroma for each pixel (`halfChroma` false, 4:4:4) or each pair of pixels (4:2:2, the
// pair averaged; `width` even). The scaler's general path takes several times as long for this.
void bgraToYUV10Row(const std::uint8_t* bgra, int width, bool halfChroma, std::uint16_t* y, std::uint16_t* cb,
                    std::uint16_t* cr);

} // namespace osterveil::media::detail
