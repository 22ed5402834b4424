#include <algorithm>
#include <cmath>
#include <exception>
#include <variant>

#include "App/EditorMeasures.hpp"
#include "App/EditorModel.hpp"
#include "App/Offload.hpp"
#include "Engine/Log.hpp"
#include "Media/ThumbnailService.hpp"
#include "Media/WaveformService.hpp"

namespace osterveil {

namespace {

double finiteSeconds(const media::Time& time) {
    const double s = time.toSeconds();
    return std::isfinite(s) ? s : 0;
}

// Peak buckets per waveform: enough for a clip drawn across a wide timeline.
constexpr int waveformBuckets = 1400;

} // namespace

EditorModel::PreviewServices EditorModel::defaultPreviewServices() {
    PreviewServices services;
    services.build = [](const Project& project, const std::optional<std::filesystem::path>& url, media::Size size) {
        return CompositionBuilder::build(project, url, size, project.sequence.frameRate);
    };
    services.thumbnail = [](const MediaItem& item, const std::optional<std::filesystem::path>& url,
                            const std::stop_token& stop) { return ThumbnailService::image(item, url, stop); };
    services.peaks = [](const MediaItem& item, const std::optional<std::filesystem::path>& url,
                        const std::stop_token& stop) {
        return WaveformService::peaks(item, url, waveformBuckets, stop);
    };
    return services;
}

void EditorModel::setPreviewServices(PreviewServices services) {
    previewServices_ = std::make_shared<const PreviewServices>(std::move(services));
}

void EditorModel::scheduleRebuild(std::chrono::milliseconds delay) {
    RebuildRequest request;
    request.project = project();
    request.projectURL = projectURL_;
    // Any stored scale is accepted; the build itself stays between a quarter and full size.
    const double scale = request.project.sequence.previewScale;
    request.scale = scale >= 0.25 ? std::min(scale, 1.0) : 0.25;
    // While a gesture moves, previews follow one another as fast as they build: the first waits as
    // usual and later steps do not restart that wait; once one has landed, a step builds at once when
    // none is building, else as soon as the one building lands.
    const bool moving = transientBefore_.has_value() && delay == gestureRebuildDelay;
    if (!transientBefore_) gesturePreviewShown_ = false;
    const bool now = moving && gesturePreviewShown_ && !transport_.isBuilding;
    rebuilds_.schedule(std::move(request), now ? std::chrono::milliseconds(0) : delay, moving);
}

void EditorModel::performRebuild(const RebuildRequest& request) {
    setBuilding(true);
    const Sequence& sequence = request.project.sequence;
    // Unrounded: an odd sequence size may give a fractional render size, as the compositor expects.
    const media::Size size{sequence.width * request.scale, sequence.height * request.scale};

    using Outcome = std::variant<std::shared_ptr<const CompositionBuild>, QString>;
    offload(
        WorkService::Lane::preview, this,
        [services = previewServices_, request, size]() -> Outcome {
            try {
                return std::make_shared<const CompositionBuild>(services->build(request.project, request.projectURL, size));
            } catch (const std::exception& error) {
                return QString::fromStdString(error.what());
            }
        },
        [token = request.token, serial = request.serial, project = request.project](EditorModel& model,
                                                                                     Outcome outcome) {
            // The latest scheduled rebuild owns the status and the flag; an older one that finished
            // after the player got a newer item has nothing to show.
            const bool latest = model.rebuilds_.token() == token;
            if (auto* build = std::get_if<std::shared_ptr<const CompositionBuild>>(&outcome)) {
                if (serial > model.appliedRebuild_) {
                    model.appliedRebuild_ = serial;
                    if (model.transientBefore_) model.gesturePreviewShown_ = true;
                    model.apply(*build);
                    model.setOfflineIDs(UuidSet((*build)->offline.begin(), (*build)->offline.end()));
                    model.setStatus(model.statusLine(project));
                }
            } else if (latest) {
                const QString& message = std::get<QString>(outcome);
                model.setStatus(message);
                Log::build().error("Preview rebuild failed: " + message.toStdString());
            }
            if (latest) model.setBuilding(false);
            if (model.transientBefore_ && model.rebuilds_.isPending()) model.rebuilds_.fireNow();
        });
}

void EditorModel::apply(std::shared_ptr<const CompositionBuild> build) {
    // Playing, the player is ahead of the playhead's last tick.
    const double playhead =
        player_->rate() != 0 ? finiteSeconds(player_->currentTime()) : transport_.currentTime;
    // Playback or shuttling goes on at the same speed on the new item; a paused player stays paused.
    player_->replaceItem(PlayerItem::composition(std::move(build)),
                         CompositionBuilder::mediaTime(std::max(0.0, playhead)));
    syncVolume();
}

QString EditorModel::statusLine(const Project& project) const {
    const Sequence& sequence = project.sequence;
    QString line = QString::fromStdString(sequence.name) + QStringLiteral("   ") +
                   QString::number(sequence.width) + QChar(0x00D7) + QString::number(sequence.height) +
                   QStringLiteral("   ") + QString::fromStdString(sequence.frameRate.label()) +
                   QStringLiteral("   Preview ") + EditorMeasures::previewQualityName(sequence.previewScale);
    if (!pictures_.offlineIDs.empty())
        line += QStringLiteral("  ") + QChar(0x00B7) + QStringLiteral("  ") +
                QString::number(pictures_.offlineIDs.size()) + QStringLiteral(" offline");
    return line;
}

void EditorModel::loadAuxiliary() {
    const Project current = project();
    const std::optional<std::filesystem::path> url = projectURL_;
    for (const MediaItem& item : current.media) {
        const Uuid id = item.id;
        if (item.kind != MediaKind::audio && !pictures_.thumbnails.contains(id) &&
            !thumbInFlight_.contains(id)) {
            thumbInFlight_.insert(id);
            offload(
                this,
                [services = previewServices_, item, url](const std::stop_token& stop) {
                    return services->thumbnail(item, url, stop);
                },
                [id](EditorModel& model, std::optional<QImage> image) {
                    if (image) model.setThumbnail(id, std::move(*image));
                    model.thumbInFlight_.erase(id);
                });
        }
        if (item.hasAudio && !pictures_.waveforms.contains(id) && !waveInFlight_.contains(id)) {
            waveInFlight_.insert(id);
            offload(
                this,
                [services = previewServices_, item, url](const std::stop_token& stop) {
                    return services->peaks(item, url, stop);
                },
                [id](EditorModel& model, std::vector<float> peaks) {
                    // An empty outline means the sound could not be read: ask again at the next change.
                    if (!peaks.empty()) model.setWaveform(id, std::move(peaks));
                    model.waveInFlight_.erase(id);
                });
        }
    }
}

} // namespace osterveil
