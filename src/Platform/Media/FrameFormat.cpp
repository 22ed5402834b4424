#include "Platform/Media/FrameFormat.hpp"

#include <algorithm>
#include <optional>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace osterveil::media::detail {

namespace {

struct FrameOwner {
    AVFrame* frame = nullptr;
    ~FrameOwner() { av_frame_free(&frame); }
};

DecodeError outOfMemory() { return DecodeError("Not enough memory to decode the picture."); }
DecodeError unconvertible() { return DecodeError("The picture's format cannot be converted."); }

imaging::YUVRange rangeOf(const AVFrame* f) {
    switch (f->format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P: return imaging::YUVRange::full;
    default: return f->color_range == AVCOL_RANGE_JPEG ? imaging::YUVRange::full : imaging::YUVRange::limited;
    }
}

imaging::YUVMatrix matrixOf(const AVFrame* f) {
    switch (f->colorspace) {
    case AVCOL_SPC_BT709: return imaging::YUVMatrix::bt709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return imaging::YUVMatrix::bt601;
    // Constant-luminance coding is all but unused; its matrix is the nearest reading there is.
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return imaging::YUVMatrix::bt2020;
    case AVCOL_SPC_FCC: return imaging::YUVMatrix::fcc;
    case AVCOL_SPC_SMPTE240M: return imaging::YUVMatrix::smpte240m;
    default:
        // Untagged: wide-gamut sources use their own matrix; otherwise standard definition is BT.601.
        if (f->color_primaries == AVCOL_PRI_BT2020) return imaging::YUVMatrix::bt2020;
        return f->height < 720 ? imaging::YUVMatrix::bt601 : imaging::YUVMatrix::bt709;
    }
}

imaging::ColorPrimaries primariesOf(const AVFrame* f) {
    switch (f->color_primaries) {
    case AVCOL_PRI_BT2020: return imaging::ColorPrimaries::bt2020;
    case AVCOL_PRI_SMPTE432: return imaging::ColorPrimaries::displayP3;
    default: return imaging::ColorPrimaries::bt709;
    }
}

imaging::TransferFunction transferOf(const AVFrame* f) {
    switch (f->color_trc) {
    case AVCOL_TRC_SMPTE2084: return imaging::TransferFunction::pq;
    case AVCOL_TRC_ARIB_STD_B67: return imaging::TransferFunction::hlg;
    default: return imaging::TransferFunction::sdr;
    }
}

struct NativeLayout {
    FrameLayout layout;
    int depth;
    bool msbAligned;
    bool alpha;
};

// Whether the imaging layer reads the format as it is: Y'CbCr of 8 to 16 bits in native byte order,
// each chroma direction subsampled by 1, 2 or 4, in separate planes (with or without an alpha plane) or
// with Cb, Cr interleaved in one plane.
std::optional<NativeLayout> nativeLayout(const AVPixFmtDescriptor* d) {
    constexpr auto unreadable = AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_FLOAT |
                                AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_BAYER;
    if (!d || (d->flags & unreadable) || !(d->flags & AV_PIX_FMT_FLAG_PLANAR)) return std::nullopt;
    const bool alpha = (d->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
    if (d->nb_components != (alpha ? 4 : 3) || d->log2_chroma_w > 2 || d->log2_chroma_h > 2) return std::nullopt;
    const int depth = d->comp[0].depth;
    if (depth < 8 || depth > 16) return std::nullopt;
    for (int c = 1; c < d->nb_components; ++c)
        if (d->comp[c].depth != depth) return std::nullopt;
    const int bytes = depth > 8 ? 2 : 1;
    auto is = [d](int c, int plane, int step, int offset, int shift) {
        const AVComponentDescriptor& k = d->comp[c];
        return k.plane == plane && k.step == step && k.offset == offset && k.shift == shift;
    };
    if (is(0, 0, bytes, 0, 0) && is(1, 1, bytes, 0, 0) && is(2, 2, bytes, 0, 0) && (!alpha || is(3, 3, bytes, 0, 0)))
        return NativeLayout{FrameLayout::yuvPlanar, depth, false, alpha};
    const int shift = d->comp[0].shift;
    if (!alpha && (shift == 0 || (bytes == 2 && shift + depth == 16)) && is(0, 0, bytes, 0, shift) &&
        is(1, 1, 2 * bytes, 0, shift) && is(2, 1, 2 * bytes, bytes, shift))
        return NativeLayout{FrameLayout::yuvSemiPlanar, depth, shift > 0, false};
    return std::nullopt;
}

} // namespace

FrameFormat::~FrameFormat() { sws_freeContext(sws_); }

void FrameFormat::describe(const AVFrame* f, VideoFrame& out) {
    if (f->width <= 0 || f->height <= 0) throw DecodeError("The picture could not be decoded.");
    out.width = f->width;
    out.height = f->height;
    out.matrix = matrixOf(f);
    out.range = rangeOf(f);
    out.primaries = primariesOf(f);
    out.transfer = transferOf(f);

    const auto format = static_cast<AVPixelFormat>(f->format);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM))) throw unconvertible();
    if (const auto native = nativeLayout(desc)) {
        auto owner = std::make_shared<FrameOwner>();
        owner->frame = av_frame_clone(f);
        if (!owner->frame) throw outOfMemory();
        out.layout = native->layout;
        out.bitDepth = native->depth;
        out.msbAligned = native->msbAligned;
        out.chromaShiftX = desc->log2_chroma_w;
        out.chromaShiftY = desc->log2_chroma_h;
        const int planes = native->layout == FrameLayout::yuvPlanar ? (native->alpha ? 4 : 3) : 2;
        for (int i = 0; i < planes; ++i) {
            out.planes[i] = owner->frame->data[i];
            out.bytesPerRow[i] = owner->frame->linesize[i];
        }
        out.keepAlive = std::move(owner);
        return;
    }

    // Anything else is converted once: Y'CbCr (packed, grey, chroma first in Cr, big-endian) to planar
    // 4:4:4 of its own range and matrix, RGB, XYZ and palettes to BGRA.
    const bool rgb = (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BAYER)) != 0 ||
                     format == AV_PIX_FMT_XYZ12LE || format == AV_PIX_FMT_XYZ12BE;
    const bool alpha = (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
    int depth = 0;
    for (int c = 0; c < desc->nb_components; ++c) depth = std::max(depth, desc->comp[c].depth);
    const bool deep = depth > 8;
    const AVPixelFormat target = rgb     ? AV_PIX_FMT_BGRA
                                 : deep  ? (alpha ? AV_PIX_FMT_YUVA444P16LE : AV_PIX_FMT_YUV444P16LE)
                                 : alpha ? AV_PIX_FMT_YUVA444P
                                         : AV_PIX_FMT_YUV444P;
    sws_ = sws_getCachedContext(sws_, f->width, f->height, format, f->width, f->height, target,
                                SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
    if (!sws_) throw unconvertible();
    if (!rgb) {
        // Same range in and out: the samples are repacked, not recoded.
        const int full = out.range == imaging::YUVRange::full ? 1 : 0;
        const int* table = sws_getCoefficients(SWS_CS_DEFAULT);
        sws_setColorspaceDetails(sws_, table, full, table, full, 0, 1 << 16, 1 << 16);
    }
    auto converted = std::make_shared<FrameOwner>();
    converted->frame = av_frame_alloc();
    if (!converted->frame) throw outOfMemory();
    AVFrame* c = converted->frame;
    c->format = target;
    c->width = f->width;
    c->height = f->height;
    if (av_frame_get_buffer(c, 64) < 0) throw outOfMemory();
    if (sws_scale(sws_, f->data, f->linesize, 0, f->height, c->data, c->linesize) != f->height) throw unconvertible();
    out.layout = rgb ? FrameLayout::bgra : FrameLayout::yuvPlanar;
    out.bitDepth = deep && !rgb ? 16 : 8;
    out.msbAligned = false;
    out.chromaShiftX = out.chromaShiftY = 0;
    const int planes = rgb ? 1 : alpha ? 4 : 3;
    for (int i = 0; i < planes; ++i) {
        out.planes[i] = c->data[i];
        out.bytesPerRow[i] = c->linesize[i];
    }
    out.keepAlive = std::move(converted);
}

} // namespace osterveil::media::detail
