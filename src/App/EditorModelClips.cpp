// The clip inspector's and the sequence settings sheet's edits: transitions, speed, titles and the
// sequence's size and rate.

#include <QStringList>
#include <algorithm>

#include "App/EditorMeasures.hpp"
#include "App/EditorModel.hpp"
#include "Engine/FrameImages.hpp"
#include "Model/Numeric.hpp"
#include "Model/TransitionPlanner.hpp"

namespace osterveil {

namespace {

// The gain curve each transition kind plays its sound with.
TransitionCurve curveFor(TransitionKind kind) {
    switch (kind) {
    case TransitionKind::constantPower:
        return TransitionCurve::equalPower;
    case TransitionKind::exponentialFade:
        return TransitionCurve::exponential;
    default:
        return TransitionCurve::linear;
    }
}

QString clipGone() {
    return QStringLiteral("That clip is no longer in the sequence.");
}

} // namespace

EditResult EditorModel::announced(EditResult result) {
    if (!result) setStatus(result.reason);
    return result;
}

EditResult EditorModel::changeClip(const Uuid& clipID, const std::optional<QString>& name, bool needsTitle,
                                   const std::function<void(TimelineClip&)>& body) {
    // A clip an undo took away since the panel showed it: no edit, so no open gesture is committed either.
    const std::optional<TimelineClip> clip = project().sequence.clip(clipID);
    if (!clip) return EditResult::refused(clipGone());
    if (needsTitle && !clip->title) return EditResult::refused(QStringLiteral("That clip is not a title."));
    const auto change = [&](Project& p) { p.sequence.updateClip(clipID, body); };
    if (name)
        edit(*name, change);
    else
        live(change);
    return EditResult::done();
}

EditResult EditorModel::liveClip(const Uuid& id, const std::function<void(TimelineClip&)>& body) {
    return changeClip(id, std::nullopt, false, body);
}

EditResult EditorModel::updateClip(const Uuid& id, const QString& name,
                                   const std::function<void(TimelineClip&)>& body) {
    return changeClip(id, name, false, body);
}

// ----- Transitions -----------------------------------------------------------------------------------------

EditResult EditorModel::setTransition(const Uuid& clipID, ClipEdge edge, TransitionKind kind) {
    const std::optional<TimelineClip> clip = project().sequence.clip(clipID);
    if (!clip) return announced(EditResult::refused(clipGone()));
    const ClipTransition& was = edge == ClipEdge::incoming ? clip->incoming : clip->outgoing;
    ClipTransition next{kind, was.duration, curveFor(kind)};
    if (kind != TransitionKind::none && next.duration <= 0) next.duration = 0.5;
    if (edge == ClipEdge::outgoing)
        return announced(updateClip(clipID, QStringLiteral("Outgoing Transition"),
                                    [&](TimelineClip& c) { c.outgoing = next; }));

    // A dissolve into a linked clip dissolves its partners with it, in the same step.
    edit(QStringLiteral("Incoming Transition"), [&](Project& p) {
        p.sequence.updateClip(clipID, [&](TimelineClip& c) { c.incoming = next; });
        if (next.kind != TransitionKind::crossDissolve || !clip->linkGroup) return;
        for (std::size_t t = 0; t < p.sequence.tracks.size(); ++t) {
            const Track& track = p.sequence.tracks[t];
            for (std::size_t i = 0; i < track.clips.size(); ++i)
                if (track.clips[i].linkGroup == clip->linkGroup)
                    p.sequence.tracks.mut(t).clips.mut(i).incoming = next;
        }
    });
    return EditResult::done();
}

EditResult EditorModel::liveTransitionDuration(const Uuid& clipID, ClipEdge edge, double seconds) {
    return announced(liveClip(clipID, [&](TimelineClip& c) {
        (edge == ClipEdge::incoming ? c.incoming : c.outgoing).duration = seconds;
    }));
}

std::optional<QString> EditorModel::dissolveNote(const Project& project, const TimelineClip& clip) {
    // A shortfall this small is not worth a word.
    constexpr double unnoticed = 0.02;
    const auto length = TransitionPlanner::incomingDissolve(project, clip);
    if (!length || !(length->requested > 0 && length->requested > length->achieved + unnoticed))
        return std::nullopt;
    return QStringLiteral(
               "Incoming dissolve is %1 of the %2 you asked for. Trim the clips shorter so unused picture "
               "remains on both sides of the cut.")
        .arg(QString::asprintf("%.2fs", length->achieved), QString::asprintf("%.2fs", length->requested));
}

// ----- Speed -----------------------------------------------------------------------------------------------

EditResult EditorModel::liveSpeed(const Uuid& clipID, double percent) {
    return announced(liveClip(clipID, [&](TimelineClip& c) { c.timeRemap.setSignedSpeed(percent / 100); }));
}

EditResult EditorModel::setReversed(const Uuid& clipID, bool on) {
    return announced(
        updateClip(clipID, QStringLiteral("Reverse"), [&](TimelineClip& c) { c.timeRemap.setReversed(on); }));
}

EditResult EditorModel::setFrameBlending(const Uuid& clipID, bool on) {
    return announced(updateClip(clipID, QStringLiteral("Frame Blending"),
                                [&](TimelineClip& c) { c.timeRemap.frameBlending = on; }));
}

EditResult EditorModel::clearSpeedRamp(const Uuid& clipID) {
    return announced(updateClip(clipID, QStringLiteral("Clear Remap"),
                                [](TimelineClip& c) { c.timeRemap.keyframes = {}; }));
}

QString EditorModel::rampSummary(const TimeRemap& remap) {
    std::vector<TimeRemapKeyframe> keys(remap.keyframes.begin(), remap.keyframes.end());
    std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.when < b.when; });
    if (keys.size() < 2) return QStringLiteral("Imported speed ramp.");
    QStringList segments;
    for (std::size_t i = 0; i + 1 < std::min<std::size_t>(keys.size(), 4); ++i) {
        const double dt = keys[i + 1].when - keys[i].when;
        if (!(dt > EditorMeasures::emptyLength)) continue;
        const double percent = roundHalfAway((keys[i + 1].source - keys[i].source) / dt * 100);
        segments << QString::number(static_cast<long long>(percent)) + QLatin1Char('%');
    }
    return QStringLiteral("Imported ramp: ") + segments.join(QStringLiteral(" \u2192 "));
}

// ----- Titles ----------------------------------------------------------------------------------------------

EditResult EditorModel::liveTitleText(const Uuid& clipID, const std::string& text) {
    return announced(liveClip(clipID, [&](TimelineClip& c) {
        if (c.title) c.title->text = text;
        c.name = text.empty() ? std::string("Title") : text;
    }));
}

EditResult EditorModel::liveTitleColor(const Uuid& clipID, const std::string& hex) {
    return announced(
        changeClip(clipID, std::nullopt, true, [&](TimelineClip& c) { c.title->colorHex = hex; }));
}

EditResult EditorModel::liveTitleSize(const Uuid& clipID, double points) {
    return announced(
        changeClip(clipID, std::nullopt, true, [&](TimelineClip& c) { c.title->fontSize = points; }));
}

const std::vector<std::string>& EditorModel::titleFontNames() {
    return TitleFonts::names();
}

EditResult EditorModel::setTitleFont(const Uuid& clipID, const std::string& family) {
    return announced(changeClip(clipID, QStringLiteral("Title Font"), true,
                                [&](TimelineClip& c) { c.title->fontName = family; }));
}

EditResult EditorModel::setTitleAlignment(const Uuid& clipID, TitleAlignment alignment) {
    return announced(changeClip(clipID, QStringLiteral("Title Alignment"), true,
                                [&](TimelineClip& c) { c.title->alignment = alignment; }));
}

EditResult EditorModel::setTitleVertical(const Uuid& clipID, TitleVertical vertical) {
    return announced(changeClip(clipID, QStringLiteral("Title Position"), true,
                                [&](TimelineClip& c) { c.title->vertical = vertical; }));
}

// ----- Sequence settings -----------------------------------------------------------------------------------

std::int64_t EditorModel::appliedSide(std::int64_t typed) {
    const std::int64_t side = typed < 17 ? 16 : std::min(typed, EditorMeasures::maximumFrameSide);
    return side & ~std::int64_t(1);
}

EditResult EditorModel::applySequenceSettings(const SequenceSettingsDraft& draft) {
    edit(QStringLiteral("Sequence Settings"), [&](Project& project) {
        Sequence& sequence = project.sequence;
        if (!draft.name.empty()) sequence.name = draft.name;
        sequence.width = appliedSide(draft.width);
        sequence.height = appliedSide(draft.height);
        sequence.frameRate = draft.rate;
    });
    return EditResult::done();
}

std::optional<MediaItem> EditorModel::pictureSourceOfSelection() const {
    const std::optional<Uuid> clipID = primaryClipID();
    if (!clipID) return std::nullopt;
    const Project current = project();
    const std::optional<TimelineClip> clip = current.sequence.clip(*clipID);
    if (!clip || !clip->mediaID) return std::nullopt;
    std::optional<MediaItem> item = current.mediaItem(*clip->mediaID);
    // Only a source with a picture has a size to match.
    if (!item || item->width <= 0) return std::nullopt;
    return item;
}

} // namespace osterveil
