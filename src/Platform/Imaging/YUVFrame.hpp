#pragma once

#include <cstddef>
#include <memory>

namespace osterveil::imaging {

enum class ChromaSubsampling { s420, s422, s444 };
enum class YUVMatrix { bt601, bt709 };
enum class YUVRange { limited, full };
enum class ChromaLayout {
    planar,      // separate Cb and Cr planes (yuv420p, yuv422p10le, ...)
    interleaved, // one plane of Cb, Cr pairs (NV12, P010)
};

// A decoded planar Y'CbCr picture as the decoder left it; the image made from it samples the planes in
// place, so `keepAlive` must own them (for example the decoded frame). Rows are top-down.
//
// Samples of 8 bits take one byte; deeper samples take two bytes in native order, holding the value in
// the low bits, or in the high bits when `msbAligned` (P010). Chroma is sited as in MPEG-2 and H.264:
// horizontally on the even luma columns, and for 4:2:0 vertically midway between two luma rows.
struct YUVFrame {
    int width = 0;
    int height = 0;
    int bitDepth = 8; // 8 to 16
    bool msbAligned = false;
    ChromaSubsampling subsampling = ChromaSubsampling::s420;
    ChromaLayout chromaLayout = ChromaLayout::planar;
    YUVMatrix matrix = YUVMatrix::bt709;
    YUVRange range = YUVRange::limited;
    // Y, Cb, Cr (or Y and the CbCr plane when interleaved; the third is then unused).
    const void* planes[3] = {nullptr, nullptr, nullptr};
    std::ptrdiff_t bytesPerRow[3] = {0, 0, 0};
    std::shared_ptr<const void> keepAlive;
};

} // namespace osterveil::imaging
