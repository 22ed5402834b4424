#include <algorithm>
#include <cmath>

#include "PremiereXMLInternal.hpp"

namespace osterveil::premiere_xml {

namespace {

// Premiere's time unit: `cutPointTicks` counts these from the transition's start.
constexpr double ticksPerSecond = 254016000000.0;

bool earlierEdge(double t1, std::size_t i1, double t2, std::size_t i2) { return t1 < t2 || (t1 == t2 && i1 < i2); }

} // namespace

std::optional<std::pair<TransitionKind, TransitionCurve>> audioTransition(std::string_view name,
                                                                          std::string_view id) {
    const std::string n = lowered(name);
    const std::string i = lowered(id);
    if (contains(n, "exponential") || contains(i, "exponential"))
        return std::pair{TransitionKind::exponentialFade, TransitionCurve::exponential};
    if (contains(n, "constant gain") || contains(i, "0db") || (contains(i, "gain") && contains(n, "cross")))
        return std::pair{TransitionKind::constantGain, TransitionCurve::linear};
    if (contains(n, "cross fade") || contains(n, "crossfade") || contains(n, "constant power") ||
        contains(i, "crossfade") || contains(i, "3db"))
        return std::pair{TransitionKind::constantPower, TransitionCurve::equalPower};
    return std::nullopt;
}

bool isCrossDissolve(std::string_view name, std::string_view id) {
    const std::string n = lowered(name);
    const std::string i = lowered(id);
    if (contains(n, "dip to") || contains(i, "dip to")) return false;
    return contains(n, "cross dissolve") || i == "cross dissolve" || i == "dissolve";
}

ParsedTransition parseTransition(Element item, const XMLRate& rate, SkippedSet& skipped) {
    ParsedTransition t;
    const Element effect = item.child("effect");
    std::optional<std::string> name = effect ? text(effect, "name") : std::nullopt;
    if (!name) name = text(item, "name");
    t.name = name.value_or("Transition");
    const std::string id = effect ? text(effect, "effectid").value_or("") : "";
    t.alignment = text(item, "alignment").value_or("center");

    const double fps = rate.fps();
    const std::optional<double> startFrame = number(item, "start");
    const std::optional<double> endFrame = number(item, "end");
    t.startFrame = startFrame.value_or(0);
    const double end = endFrame.value_or(t.startFrame);
    t.start = t.startFrame / fps;
    t.end = end / fps;

    if (startFrame && endFrame && *endFrame >= *startFrame) {
        // Premiere states the cut exactly; without it the alignment says where it is.
        const std::optional<std::int64_t> ticks = integer(item, "cutPointTicks");
        const double length = *endFrame - *startFrame;
        const std::string a = lowered(t.alignment);
        if (ticks && *ticks >= 0) {
            const double offset = std::round(static_cast<double>(*ticks) / ticksPerSecond * fps);
            t.cutFrame = *startFrame + std::min(offset, length);
        } else if (contains(a, "end"))
            t.cutFrame = *endFrame;
        else if (contains(a, "start"))
            t.cutFrame = *startFrame;
        else
            t.cutFrame = *startFrame + std::floor(length / 2);
    }

    if (auto audio = audioTransition(t.name, id)) {
        t.kind = audio->first;
        t.curve = audio->second;
    } else if (isCrossDissolve(t.name, id)) {
        t.kind = TransitionKind::crossDissolve;
        t.curve = TransitionCurve::linear;
    } else {
        t.kind = TransitionKind::none;
        t.curve = TransitionCurve::linear;
        if (!t.name.empty()) skipped.insert(t.name);
    }
    return t;
}

ClipEdgeIndex::ClipEdgeIndex(const std::vector<ParsedClip>& clips) {
    byStart_.reserve(clips.size());
    byEnd_.reserve(clips.size());
    for (std::size_t i = 0; i < clips.size(); ++i) {
        byStart_.push_back({clips[i].start, i});
        byEnd_.push_back({clips[i].end(), i});
    }
    std::sort(byStart_.begin(), byStart_.end(),
              [](const Edge& a, const Edge& b) { return earlierEdge(a.time, a.index, b.time, b.index); });
    // Equal ends keep the earliest clip last, where an upper-bound search lands.
    std::sort(byEnd_.begin(), byEnd_.end(), [](const Edge& a, const Edge& b) {
        return a.time < b.time || (a.time == b.time && a.index > b.index);
    });
    longestUpTo_.reserve(clips.size());
    for (const Edge& e : byStart_) {
        const Edge candidate{clips[e.index].end(), e.index};
        if (longestUpTo_.empty()) {
            longestUpTo_.push_back(candidate);
            continue;
        }
        const Edge& best = longestUpTo_.back();
        const bool better = candidate.time > best.time || (candidate.time == best.time && candidate.index < best.index);
        longestUpTo_.push_back(better ? candidate : best);
    }
}

namespace {

// First position in `edges` whose time is not below t.
template <class Edges> std::size_t lowerBound(const Edges& edges, double t) {
    return static_cast<std::size_t>(
        std::partition_point(edges.begin(), edges.end(), [t](const auto& e) { return e.time < t; }) - edges.begin());
}

// First position in `edges` whose time is above t.
template <class Edges> std::size_t upperBound(const Edges& edges, double t) {
    return static_cast<std::size_t>(
        std::partition_point(edges.begin(), edges.end(), [t](const auto& e) { return e.time <= t; }) - edges.begin());
}

} // namespace

std::optional<std::size_t> ClipEdgeIndex::latestEndIn(double lo, double hi) const {
    const std::size_t k = upperBound(byEnd_, hi);
    if (k == 0 || !(byEnd_[k - 1].time > lo)) return std::nullopt;
    return byEnd_[k - 1].index;
}

std::optional<std::size_t> ClipEdgeIndex::earliestStartIn(double lo, double hi) const {
    const std::size_t k = lowerBound(byStart_, lo);
    if (k == byStart_.size() || !(byStart_[k].time < hi)) return std::nullopt;
    return byStart_[k].index;
}

std::optional<std::size_t> ClipEdgeIndex::endingNear(double t, double frame) const {
    const double tol = std::max(0.05, 2 * frame);
    std::optional<Edge> best;
    const auto consider = [&](const Edge& e) {
        if (!best || e.time > best->time || (e.time == best->time && e.index < best->index)) best = e;
    };
    // Ending within the tolerance: the greatest such end.
    if (const std::size_t k = upperBound(byEnd_, t + tol); k > 0 && byEnd_[k - 1].time >= t - tol)
        consider(byEnd_[k - 1]);
    // Running through t: of the clips starting before t, the one reaching furthest.
    if (const std::size_t k = lowerBound(byStart_, t); k > 0 && longestUpTo_[k - 1].time >= t - frame)
        consider(longestUpTo_[k - 1]);
    if (!best) return std::nullopt;
    return best->index;
}

std::optional<std::size_t> ClipEdgeIndex::startingNear(double t, double frame) const {
    const double tol = std::max(0.05, 2 * frame);
    std::optional<Edge> best;
    const auto consider = [&](const Edge& e) {
        const double d = std::fabs(e.time - t);
        if (d > tol) return;
        if (!best) {
            best = e;
            return;
        }
        const double bd = std::fabs(best->time - t);
        if (d < bd || (d == bd && e.index < best->index)) best = e;
    };
    const std::size_t k = lowerBound(byStart_, t);
    if (k < byStart_.size()) consider(byStart_[k]);
    if (k > 0) consider(byStart_[lowerBound(byStart_, byStart_[k - 1].time)]); // earliest of equal starts
    if (!best) return std::nullopt;
    return best->index;
}

void applyDissolves(std::vector<ParsedClip>& clips, const std::vector<ParsedTransition>& transitions,
                    const XMLRate& rate) {
    if (clips.empty() || transitions.empty()) return;
    const double f = 1.0 / rate.fps();
    // Transitions change only the clips' transition fields, so one index serves the whole track.
    const ClipEdgeIndex index(clips);
    for (const ParsedTransition& t : transitions) {
        if (t.kind == TransitionKind::none) continue;
        const double d = t.end - t.start;
        if (!(d > 0.25 * f)) continue;
        const std::string a = lowered(t.alignment);
        if (contains(a, "end")) {
            if (auto k = index.endingNear(t.end, f))
                clips[*k].outgoingTransition = {TransitionKind::fade, d, t.curve};
        } else if (contains(a, "start")) {
            if (auto k = index.startingNear(t.start, f))
                clips[*k].incomingTransition = {TransitionKind::fade, d, t.curve};
        } else {
            // Premiere's stated cut, where known, rather than the middle: the two may be frames apart.
            const double cut = t.cutFrame ? *t.cutFrame * f : (t.start + t.end) / 2;
            if (auto k = index.latestEndIn(t.start - f, cut + f)) clips[*k].outgoingTransition = {t.kind, d, t.curve};
            if (auto k = index.earliestStartIn(cut - f, t.end + f)) clips[*k].incomingTransition = {t.kind, d, t.curve};
        }
    }
}

} // namespace osterveil::premiere_xml
