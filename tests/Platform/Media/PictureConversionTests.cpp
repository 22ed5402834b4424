#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "Platform/Media/PictureConversion.hpp"

using namespace osterveil::media;

// ProRes pictures are converted by a loop of our own; it must give FFmpeg's scaler's codes exactly,
// as it is set up for the other codecs, so that a movie does not depend on which one ran. Random
// pixels and the extremes, at a width that is no multiple of a vector, 4:2:2 and 4:4:4.
TEST(PictureConversion, GivesTheScalersCodes) {
    const int w = 1922, h = 9;
    std::vector<std::uint8_t> bgra(4 * std::size_t(w) * h);
    std::uint32_t seed = 7;
    for (std::size_t i = 0; i < bgra.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        bgra[i] = static_cast<std::uint8_t>(seed >> 24);
    }
    for (int x = 0; x < w; ++x) // the first row runs through black, white and the primaries
        for (int c = 0; c < 3; ++c) bgra[4 * x + c] = (x / 2 >> c) & 1 ? 255 : 0;

    for (const AVPixelFormat format : {AV_PIX_FMT_YUV422P10LE, AV_PIX_FMT_YUVA444P10LE}) {
        const bool half = format == AV_PIX_FMT_YUV422P10LE;
        const int cw = half ? w / 2 : w;
        SwsContext* sws = sws_alloc_context();
        av_opt_set_int(sws, "srcw", w, 0);
        av_opt_set_int(sws, "srch", h, 0);
        av_opt_set_int(sws, "src_format", AV_PIX_FMT_BGRA, 0);
        av_opt_set_int(sws, "dstw", w, 0);
        av_opt_set_int(sws, "dsth", h, 0);
        av_opt_set_int(sws, "dst_format", format, 0);
        av_opt_set_int(sws, "sws_flags", SWS_BICUBIC | SWS_ACCURATE_RND, 0);
        ASSERT_GE(sws_init_context(sws, nullptr, nullptr), 0);
        sws_setColorspaceDetails(sws, sws_getCoefficients(SWS_CS_ITU709), 1, sws_getCoefficients(SWS_CS_ITU709), 0, 0,
                                 1 << 16, 1 << 16);
        std::vector<std::uint16_t> planes[4] = {std::vector<std::uint16_t>(std::size_t(w) * h),
                                                std::vector<std::uint16_t>(std::size_t(cw) * h),
                                                std::vector<std::uint16_t>(std::size_t(cw) * h),
                                                std::vector<std::uint16_t>(std::size_t(w) * h)};
        std::uint8_t* dst[4] = {};
        int dstStride[4] = {};
        for (int p = 0; p < 4; ++p) {
            dst[p] = reinterpret_cast<std::uint8_t*>(planes[p].data());
            dstStride[p] = 2 * (p == 1 || p == 2 ? cw : w);
        }
        const std::uint8_t* src[4] = {bgra.data()};
        const int srcStride[4] = {4 * w};
        sws_scale(sws, src, srcStride, 0, h, dst, dstStride);
        sws_freeContext(sws);

        std::vector<std::uint16_t> y(w), cb(cw), cr(cw);
        for (int row = 0; row < h; ++row) {
            detail::bgraToYUV10Row(bgra.data() + 4 * std::size_t(w) * row, w, half, y.data(), cb.data(), cr.data());
            for (int x = 0; x < w; ++x) ASSERT_EQ(y[x], planes[0][std::size_t(row) * w + x]) << row << "," << x;
            for (int x = 0; x < cw; ++x) {
                ASSERT_EQ(cb[x], planes[1][std::size_t(row) * cw + x]) << row << "," << x;
                ASSERT_EQ(cr[x], planes[2][std::size_t(row) * cw + x]) << row << "," << x;
            }
        }
    }
}
