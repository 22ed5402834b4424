#pragma once

#include <cstddef>
#include <memory>

namespace osterveil::imaging {

// Y'CbCr to R'G'B' matrices (non-constant luminance), by the luma weights Kr, Kb they use.
enum class YUVMatrix {
    bt601,     // 0.299, 0.114
    bt709,     // 0.2126, 0.0722
    bt2020,    // 0.2627, 0.0593
    fcc,       // 0.30, 0.11
    smpte240m, // 0.212, 0.087
};
enum class YUVRange { limited, full };
enum class ChromaLayout {
    planar,      // separate Cb and Cr planes (yuv420p, yuv422p10le, ...)
    interleaved, // one plane of Cb, Cr pairs (NV12, P010)
};

// The colour space the decoded R'G'B' values are in. Pictures whose primaries or transfer differ from the
// BT.709 working space are converted into it as they are read (see Image::fromYUV).
enum class ColorPrimaries {
    bt709,     // also standard-definition (SMPTE C, EBU) sources, shown as BT.709 as broadcast practice does
    bt2020,
    displayP3, // P3 primaries, D65 white
};
enum class TransferFunction {
    sdr, // a standard-range camera or display curve (BT.709, BT.601, BT.2020, sRGB)
    pq,  // SMPTE ST 2084 perceptual quantiser
    hlg, // hybrid log-gamma (ARIB STD-B67, BT.2100)
};

// A decoded planar Y'CbCr picture as the decoder left it; the image made from it samples the planes in
// place, so `keepAlive` must own them (for example the decoded frame). Rows are top-down.
//
// Samples of 8 bits take one byte; deeper samples take two bytes in native order, holding the value in
// the low bits, or in the high bits when `msbAligned` (P010). Chroma planes are 2^chromaShiftX times
// narrower and 2^chromaShiftY times shorter than luma (rounded up), any shift from 0 to 2: 4:2:0 is (1, 1),
// 4:2:2 (1, 0), 4:4:0 (0, 1), 4:1:1 (2, 0), 4:1:0 (2, 2). Chroma is sited as in MPEG-2 and H.264:
// horizontally on the first luma column of its group, vertically in the middle of its group of rows.
struct YUVFrame {
    int width = 0;
    int height = 0;
    int bitDepth = 8; // 8 to 16
    bool msbAligned = false;
    int chromaShiftX = 1;
    int chromaShiftY = 1;
    ChromaLayout chromaLayout = ChromaLayout::planar;
    YUVMatrix matrix = YUVMatrix::bt709;
    YUVRange range = YUVRange::limited;
    ColorPrimaries primaries = ColorPrimaries::bt709;
    TransferFunction transfer = TransferFunction::sdr;
    // Y, Cb, Cr (or Y and the CbCr plane when interleaved; the third is then unused), and an optional
    // alpha plane at luma size and depth, full range, not premultiplied (planar layout only).
    const void* planes[4] = {nullptr, nullptr, nullptr, nullptr};
    std::ptrdiff_t bytesPerRow[4] = {0, 0, 0, 0};
    std::shared_ptr<const void> keepAlive;
};

} // namespace osterveil::imaging
