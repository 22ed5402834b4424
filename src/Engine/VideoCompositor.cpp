#include "Engine/VideoCompositor.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "Engine/FrameImages.hpp"
#include "Platform/Media/FrameImage.hpp"

namespace osterveil {

using imaging::Image;

KestwaterCompositor::KestwaterCompositor(std::shared_ptr<const ImageSet> images, media::Size sequenceSize)
    : images_(std::move(images)), sequenceSize_(sequenceSize) {}

std::function<std::shared_ptr<media::VideoCompositor>()>
KestwaterCompositor::factory(std::shared_ptr<const ImageSet> images, media::Size sequenceSize) {
    return [images = std::move(images), sequenceSize] {
        return std::make_shared<KestwaterCompositor>(images, sequenceSize);
    };
}

void KestwaterCompositor::cancelAllPendingRequests() {
    std::lock_guard lock(gate_);
    ++generation_;
}

Image KestwaterCompositor::oriented(const Image& image, const StoredTransform& t) {
    // Files store the transform for y-down pictures; the same turn in y-up coordinates mirrors the
    // off-diagonal terms (the translation is replaced below anyway).
    const imaging::Affine up{t.a, -t.b, -t.c, t.d, t.tx, -t.ty};
    const Image out = image.transformed(up);
    const imaging::Rect e = out.extent();
    if (e.isInfinite() || e.isEmpty() || !(e.width() > 1) || !(e.height() > 1)) return image;
    if (std::abs(e.x()) < 0.5 && std::abs(e.y()) < 0.5) return out;
    return out.translated(-e.x(), -e.y());
}

Image KestwaterCompositor::fit(const Image& image, media::Size size) {
    const imaging::Rect e = image.extent();
    if (e.isInfinite() || !(e.width() > 1) || !(e.height() > 1) || !(size.width > 1) || !(size.height > 1)) return image;
    const double k = std::min(size.width / e.width(), size.height / e.height());
    const Image scaled = image.scaled(k, k);
    const imaging::Rect e2 = scaled.extent();
    return scaled.translated((size.width - e2.width()) * 0.5 - e2.x(), (size.height - e2.height()) * 0.5 - e2.y())
        .cropped(imaging::Rect::make(0, 0, size.width, size.height));
}

Image KestwaterCompositor::applyMotion(const Image& image, const ClipMotion& motion, media::Size size) {
    const double angle = -motion.rotation * std::numbers::pi / 180;
    const imaging::Affine m = imaging::Affine::translation(-size.width * 0.5, -size.height * 0.5)
                                  .then(imaging::Affine::scale(motion.scale, motion.scale))
                                  .then(imaging::Affine::rotation(angle))
                                  .then(imaging::Affine::translation(size.width * 0.5 + motion.positionX,
                                                                              size.height * 0.5 + motion.positionY));
    return image.transformed(m).cropped(imaging::Rect::make(0, 0, size.width, size.height));
}

double KestwaterCompositor::windowWeight(const RenderLayer& l, double t) {
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

Image KestwaterCompositor::combine(const std::vector<std::pair<Image, double>>& items) const {
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

std::optional<Image> KestwaterCompositor::picture(const RenderLayer& layer,
                                                  const media::CompositionRequest& request) const {
    if (layer.kind == RenderKind::video) {
        const auto frame = request.sourceFrame(layer.sourceTrackID);
        if (!frame) return std::nullopt;
        return oriented(media::imageOf(*frame), layer.transform);
    }
    if (!layer.imageKey) return std::nullopt;
    if (images_) {
        auto it = images_->find(*layer.imageKey);
        if (it != images_->end()) return Image::fromBitmap(it->second);
    }
    if (auto box = FrameImages::cache().object(*layer.imageKey)) return Image::fromBitmap((*box)->image);
    return std::nullopt;
}

Image KestwaterCompositor::compose(const media::CompositionRequest& request) {
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

    // Motion positions are pixels of the sequence frame; at another render size they scale with it,
    // so a moved picture sits at the same place in the preview and in every export size.
    const double sx = sequenceSize_.width > 0 ? size.width / sequenceSize_.width : 1;
    const double sy = sequenceSize_.height > 0 ? size.height / sequenceSize_.height : 1;

    for (const auto& group : groups) {
        std::vector<std::pair<Image, double>> items;
        for (const RenderLayer* layer : group) {
            auto source = picture(*layer, request);
            if (!source) continue;
            Image image = fit(*source, size);
            const ClipMotion& m = layer->motion;
            const double px = m.positionX * sx, py = m.positionY * sy;
            if (std::abs(m.scale - 1) >= 0.0001 || std::abs(m.rotation) >= 0.0001 || std::abs(px) >= 0.5 ||
                std::abs(py) >= 0.5) {
                ClipMotion scaled = m;
                scaled.positionX = px;
                scaled.positionY = py;
                image = applyMotion(image, scaled, size);
            }
            const double u = t - layer->gradeOrigin;
            image = pipeline_.apply(image, layer->grade.evaluated(u));
            const double o = layer->opacity.evaluated(u);
            const double opacity = std::isnan(o) ? 0 : std::clamp(o, 0.0, 1.0);
            const double w = windowWeight(*layer, t);
            items.emplace_back(std::move(image), w >= 1 ? opacity : opacity * std::max(w, 0.0));
        }
        Image combined = combine(items);
        if (!combined.isEmpty()) canvas = combined.compositedOver(canvas);
    }
    return canvas.cropped(imaging::Rect::make(0, 0, size.width, size.height));
}

void KestwaterCompositor::startRequest(media::CompositionRequest& request) {
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
    context_.renderBGRA8(frame, imaging::PixelRect{0, 0, buffer.width(), buffer.height()}, buffer.data(),
                         static_cast<std::ptrdiff_t>(buffer.bytesPerRow()));
    std::int64_t g1;
    {
        std::lock_guard lock(gate_);
        g1 = generation_;
    }
    if (g1 == g0) request.finish(std::move(buffer));
    else request.finishCancelled();
}

} // namespace osterveil
