#include "App/ExportJob.hpp"

#include "App/WorkService.hpp"

#include <QCoreApplication>
#include <QPointer>
#include <algorithm>
#include <cmath>
#include <exception>

namespace osterveil {

namespace {

class EngineExporter : public MovieExporter {
  public:
    std::optional<std::string> exportMovie(const ExportRequest& request,
                                           const std::function<void(double)>& progress) override {
        return exporter_.exportMovie(request, progress);
    }
    void cancel() override { exporter_.cancel(); }

  private:
    SequenceExporter exporter_;
};

} // namespace

std::shared_ptr<MovieExporter> MovieExporter::makeDefault() {
    return std::make_shared<EngineExporter>();
}

ExportJob::ExportJob(std::shared_ptr<MovieExporter> exporter, QObject* parent)
    : QObject(parent), phase_(tr("Preparing the sequence…")), exporter_(std::move(exporter)) {}

ExportJob::~ExportJob() = default;

QString ExportJob::encodingPhase(double progress) {
    const double p = std::isnan(progress) ? 0 : std::clamp(progress, 0.0, 1.0);
    return tr("Encoding %1%").arg(std::lround(p * 100));
}

bool ExportJob::start(ExportRequest request) {
    if (isRunning_ || released_) return false;
    isRunning_ = true;
    finished_ = false;
    errorMessage_.reset();
    note_.reset();
    progress_ = 0;
    cancelling_ = false;
    emit changed();

    const QString fileName = QString::fromStdString(request.outputURL.filename().string());
    QPointer<ExportJob> self(this);
    // The worker holds the exporter, never the job: what it reports goes through the application object
    // and reaches the job on the GUI thread only if the job is still there.
    const auto post = [self](auto apply) {
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app,
                [self, apply] {
                    if (self) apply(*self);
                },
                Qt::QueuedConnection);
    };
    // No owner's token: the export stops through its exporter, which the sheet and a closing window cancel.
    WorkService::shared().run(
        WorkService::Lane::exports, {},
        [post, exporter = exporter_, request = std::move(request), fileName](const std::stop_token&) {
            std::optional<QString> error, note;
            try {
                if (const auto told = exporter->exportMovie(
                        request, [&post](double p) { post([p](ExportJob& job) { job.applyProgress(p); }); }))
                    note = QString::fromStdString(*told);
            } catch (const std::exception& e) {
                error = QString::fromUtf8(e.what());
            } catch (...) {
                error = tr("Export failed.");
            }
            post([error, note, fileName](ExportJob& job) { job.end(error, note, fileName); });
        });
    return true;
}

void ExportJob::cancel() {
    if (!isRunning_) return;
    exporter_->cancel();
    cancelling_ = true;
    phase_ = tr("Cancelling…");
    emit changed();
}

void ExportJob::release() {
    released_ = true;
    if (!isRunning_) deleteLater();
}

void ExportJob::applyProgress(double p) {
    if (!isRunning_) return;
    progress_ = std::isnan(p) ? 0 : std::clamp(p, 0.0, 1.0);
    if (!cancelling_) phase_ = encodingPhase(p);
    emit changed();
}

void ExportJob::end(std::optional<QString> error, std::optional<QString> note, const QString& fileName) {
    note_ = std::move(note);
    if (error) {
        errorMessage_ = std::move(error);
        phase_ = tr("Export stopped");
    } else {
        progress_ = 1.0;
        phase_ = tr("Exported %1").arg(fileName);
        finished_ = true;
    }
    isRunning_ = false;
    cancelling_ = false;
    emit changed();
    if (released_) deleteLater();
}

} // namespace osterveil
