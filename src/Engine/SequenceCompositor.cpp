#include "Engine/SequenceCompositor.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "Engine/FrameImages.hpp"
#include "Platform/Media/FrameImage.hpp"

namespace osterveil {

using imaging::Image;

SequenceCompositor::SequenceCompositor(std::shared_ptr<const ImageSet> images, media::Size sequenceSize)
    : images_(std::move(images)), sequenceSize_(sequenceSize) {}

std::function<std::shared_ptr<media::VideoCompositor>()>
SequenceCompositor::factory(std::shared_ptr<const ImageSet> images, media::Size sequenceSize) {
    return [images = std::move(images), sequenceSize] {
        return std::make_shared<SequenceCompositor>(images, sequenceSize);
    };
}

void SequenceCompositor::cancelAllPendingRequests() {
    std::lock_guard lock(gate_);
    ++generation_;
}

Image SequenceCompositor::oriented(const Image& image, const StoredTransform& t) {
    // Files store the transform for y-down pictures; the same turn in y-up coordinates mirrors the
    // off-diagonal terms (the translation is replaced below anyway).
    const imaging::Affine up{t.a, -t.b, -t.c, t.d, t.tx, -t.ty};
    const Image out = image.transformed(up);
    const imaging::Rect e = out.extent();
    if (e.isInfinite() || e.isEmpty()) return image;
    if (std::abs(e.x()) < 0.5 && std::abs(e.y()) < 0.5) return out;
    return out.translated(-e.x(), -e.y());
}

Image SequenceCompositor::fit(const Image& image, media::Size size) {
    const imaging::Rect e = image.extent();
    if (e.isInfinite() || e.isEmpty() || !(size.width > 0) || !(size.height > 0)) return image;
    const double k = std::min(size.width / e.width(), size.height / e.height());
    const Image scaled = image.scaled(k, k);
    const imaging::Rect e2 = scaled.extent();
    return scaled.translated((size.width - e2.width()) * 0.5 - e2.x(), (size.height - e2.height()) * 0.5 - e2.y())
        .cropped(imaging::Rect::make(0, 0, size.width, size.height));
}

imaging::Affine SequenceCompositor::motionTransform(const ClipMotion& motion, media::Size size) {
    const double angle = -motion.rotation * std::numbers::pi / 180;
    return imaging::Affine::translation(-size.width * 0.5, -size.height * 0.5)
        .then(imaging::Affine::scale(motion.scale, motion.scale))
        .then(imaging::Affine::rotation(angle))
        .then(imaging::Affine::translation(size.width * 0.5 + motion.positionX,
                                           size.height * 0.5 + motion.positionY));
}

Image SequenceCompositor::applyMotion(const Image& image, const ClipMotion& motion, media::Size size) {
    return image.transformed(motionTransform(motion, size))
        .cropped(imaging::Rect::make(0, 0, size.width, size.height));
}

double SequenceCompositor::windowWeight(const RenderLayer& l, double t) {
    double w = 1;
    if (l.fadeIn) {
        const double lo = l.fadeIn->lowerBound, hi = l.fadeIn->upperBound, len = hi - lo;
        if (t < hi && len > 0) w = std::max(0.0, (t - lo) / len);
    }
    if (l.fadeOut) {
        const double lo = l.fadeOut->lowerBound, hi = l.fadeOut->upperBound, len = hi - lo;
        if (lo < t && len > 0) w *= std::max(0.0, (hi - t) / len);
    }
    if (l.dissolveIn) {
        const double lo = l.dissolveIn->lowerBound, hi = l.dissolveIn->upperBound, len = hi - lo;
        if (t <= lo) w *= 0;
        else if (t < hi && len > 0) w *= (t - lo) / len;
    }
    if (l.dissolveOut) {
        const double lo = l.dissolveOut->lowerBound, hi = l.dissolveOut->upperBound, len = hi - lo;
        if (t >= hi) w *= 0;
        else if (lo < t && len > 0) w *= (hi - t) / len;
    }
    return w;
}

Image SequenceCompositor::combine(const std::vector<std::pair<Image, double>>& items) const {
    std::vector<std::pair<Image, double>> kept;
    for (const auto& item : items)
        if (item.second > 0.0001) kept.push_back(item);
    if (kept.empty()) return Image();
    if (kept.size() == 1) return pipeline_.applyingOpacity(kept[0].first, kept[0].second);
    const double a1 = kept[0].second, a2 = kept[1].second, s = a1 + a2;
    Image out = pipeline_.applyingOpacity(kept[0].first.dissolved(kept[1].first, a2 / s), std::min(s, 1.0));
    for (std::size_t i = 2; i < kept.size(); ++i)
        out = pipeline_.applyingOpacity(kept[i].first, kept[i].second).compositedOver(out);
    return out;
}

std::optional<Image> SequenceCompositor::picture(const RenderLayer& layer,
                                                  const media::CompositionRequest& request) const {
    if (layer.kind == RenderKind::video) {
        const auto frame = request.sourceFrame(layer.sourceTrackID);
        if (!frame) return std::nullopt;
        const Image stored = media::imageOf(*frame);
        // Widened to the shape it is shown in first, so that it is fitted and moved at that shape.
        return oriented(layer.pixelAspect == 1 ? stored : stored.scaled(layer.pixelAspect, 1),
                        layer.transform);
    }
    if (!layer.imageKey) return std::nullopt;
    if (images_) {
        auto it = images_->find(*layer.imageKey);
        if (it != images_->end()) return Image::fromBitmap(it->second);
    }
    if (auto box = FrameImages::cache().object(*layer.imageKey)) return Image::fromBitmap((*box)->image);
    return std::nullopt;
}

namespace {

// The rectangle of `r` moved by an affine transform of uniform scale `scale` (a rotation turns it in
// place, which keeps its centre and diagonal): its centre carried over, its sides scaled.
imaging::Rect carried(const imaging::Rect& r, const imaging::Affine& m, double scaleX, double scaleY) {
    const imaging::Point c = m.apply(imaging::Point{r.x() + r.width() / 2, r.y() + r.height() / 2});
    const double w = r.width() * std::abs(scaleX), h = r.height() * std::abs(scaleY);
    return imaging::Rect::make(c.x - w / 2, c.y - h / 2, w, h);
}

} // namespace

Image SequenceCompositor::compose(const media::CompositionRequest& request) {
    const auto* instruction = dynamic_cast<const CompositeInstruction*>(request.instruction());
    const media::Size size = request.renderSize();
    const double t = request.compositionTime().toSeconds();
    Image canvas = Image::constant({0, 0, 0, 1}).cropped(imaging::Rect::make(0, 0, size.width, size.height));
    if (!instruction) return canvas;

    // Groups by timeline track, in the order their first layers appear, then by stacking order.
    std::vector<std::vector<const RenderLayer*>> groups;
    for (const auto& layer : instruction->layers()) {
        auto g = std::find_if(groups.begin(), groups.end(),
                              [&](const auto& grp) { return grp.front()->timelineTrackID == layer.timelineTrackID; });
        if (g == groups.end()) groups.push_back({&layer});
        else g->push_back(&layer);
    }
    std::stable_sort(groups.begin(), groups.end(),
                     [](const auto& a, const auto& b) { return a.front()->zOrder < b.front()->zOrder; });

    // Layers are laid out in the sequence's frame (fit, motion in its pixels), and that frame maps
    // into the render frame with one uniform scale, centred: at another aspect the picture gains bands
    // and keeps its layout. A band under a pixel (a render size rounded to even) is stretched away.
    const media::Size frame = sequenceSize_.width > 1 && sequenceSize_.height > 1 ? sequenceSize_ : size;
    double kx = size.width / frame.width, ky = size.height / frame.height;
    const double k = std::min(kx, ky);
    if (std::abs(frame.width * k - size.width) >= 1 || std::abs(frame.height * k - size.height) >= 1)
        kx = ky = k;
    const double ox = (size.width - frame.width * kx) * 0.5, oy = (size.height - frame.height * ky) * 0.5;
    const imaging::Affine place = imaging::Affine::scale(kx, ky).then(imaging::Affine::translation(ox, oy));
    const imaging::Rect placed = imaging::Rect::make(ox, oy, frame.width * kx, frame.height * ky);

    // One layer fitted, moved, placed, graded and weighted; none when it has no picture now.
    auto draw = [&](const RenderLayer& layer) -> std::optional<std::pair<Image, double>> {
        auto source = picture(layer, request);
        if (!source) return std::nullopt;
        Image image = fit(*source, frame);
        // The whole picture, also where it leaves the frame.
        imaging::Rect whole = image.extent();
        const ClipMotion& m = layer.motion;
        if (std::abs(m.scale - 1) >= 0.0001 || std::abs(m.rotation) >= 0.0001 ||
            std::abs(m.positionX * kx) >= 0.5 || std::abs(m.positionY * ky) >= 0.5) {
            image = applyMotion(image, m, frame);
            whole = carried(whole, motionTransform(m, frame), m.scale, m.scale);
        }
        if (!place.isIdentity()) {
            image = image.transformed(place).cropped(placed);
            whole = carried(whole, place, kx, ky);
        }
        const double u = t - layer.gradeOrigin;
        image = pipeline_.apply(image, layer.grade.evaluated(u), whole);
        const double o = layer.opacity.evaluated(u);
        const double opacity = std::isnan(o) ? 0 : std::clamp(o, 0.0, 1.0);
        const double w = windowWeight(layer, t);
        return std::pair{std::move(image), w >= 1 ? opacity : opacity * std::max(w, 0.0)};
    };

    for (const auto& group : groups) {
        std::vector<std::pair<Image, double>> items;
        for (std::size_t i = 0; i < group.size(); ++i) {
            auto item = draw(*group[i]);
            // A frame-blending copy and its clip become one picture first, so that a dissolve weighs
            // the clip once, like any other.
            if (group[i]->blendsWithNext && i + 1 < group.size()) {
                auto own = draw(*group[++i]);
                if (item && own)
                    item = std::pair{item->first.dissolved(own->first, 0.5), own->second};
                else if (own)
                    item = std::move(own);
            }
            if (item) items.push_back(std::move(*item));
        }
        Image combined = combine(items);
        if (!combined.isEmpty()) canvas = combined.compositedOver(canvas);
    }
    return canvas.cropped(imaging::Rect::make(0, 0, size.width, size.height));
}

void SequenceCompositor::startRequest(media::CompositionRequest& request) {
    std::int64_t g0;
    {
        std::lock_guard lock(gate_);
        g0 = generation_;
    }
    if (!dynamic_cast<const CompositeInstruction*>(request.instruction())) {
        request.finish(CompositorError(CompositorError::Kind::badInstruction).what());
        return;
    }
    media::PixelBuffer buffer = request.newPixelBuffer();
    if (buffer.isNull()) {
        request.finish(CompositorError(CompositorError::Kind::noBuffer).what());
        return;
    }
    const Image frame = compose(request);
    const imaging::PixelRect all{0, 0, buffer.width(), buffer.height()};
    if (buffer.format() == media::PixelFormat::bgra8) {
        context_.renderBGRA8(frame, all, buffer.data(), static_cast<std::ptrdiff_t>(buffer.bytesPerRow()));
    } else {
        imaging::YUVPlanes planes;
        planes.bitDepth = buffer.format() == media::PixelFormat::yuv422p10 ? 10 : 8;
        planes.halfHeight = buffer.format() == media::PixelFormat::yuv420p8;
        for (int p = 0; p < 3; ++p) {
            planes.planes[p] = buffer.plane(p);
            planes.bytesPerRow[p] = static_cast<std::ptrdiff_t>(buffer.planeBytesPerRow(p));
        }
        context_.renderYUV(frame, all, planes);
    }
    std::int64_t g1;
    {
        std::lock_guard lock(gate_);
        g1 = generation_;
    }
    if (g1 == g0) request.finish(std::move(buffer));
    else request.finishCancelled();
}

} // namespace osterveil
