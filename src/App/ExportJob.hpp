#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Engine/SequenceExporter.hpp"

namespace osterveil {

// What an export job needs of the engine: a blocking export run on a worker thread, and a cancel that
// may come from the GUI thread while it runs. The job's own is the engine's `SequenceExporter`; tests
// put a stand-in here to decide when progress comes and how the export ends.
class MovieExporter {
  public:
    virtual ~MovieExporter() = default;
    // Returns when the movie is complete, with a note for the user when it was kept unchecked; throws
    // when it is not complete. `progress` may be called from any thread.
    virtual std::optional<std::string> exportMovie(const ExportRequest& request,
                                                   const std::function<void(double)>& progress) = 0;
    virtual void cancel() = 0;

    static std::shared_ptr<MovieExporter> makeDefault();
};

// One export of the sequence at a time, run on a worker thread, with its state for the export sheet:
// how far it got, a one-line phase text, and how it ended. Every field is read and written on the GUI
// thread; the worker's reports reach it as queued calls, applied in the order they were made, so the
// end of an export always lands after its last progress report.
//
// The job outlives its sheet while an export runs: the sheet `release`s it and it deletes itself once
// the export has ended, so closing the sheet neither stops the export nor loses it half-written.
class ExportJob : public QObject {
    Q_OBJECT
  public:
    explicit ExportJob(std::shared_ptr<MovieExporter> exporter = MovieExporter::makeDefault(),
                       QObject* parent = nullptr);
    ~ExportJob() override;

    // Fraction done, 0 to 1.
    double progress() const { return progress_; }
    const QString& phase() const { return phase_; }
    bool isRunning() const { return isRunning_; }
    // The last export ended with its movie written.
    bool finished() const { return finished_; }
    // Why the last export ended without a movie.
    const std::optional<QString>& errorMessage() const { return errorMessage_; }
    // What the user should know of the movie the last export wrote (that it could not be checked).
    const std::optional<QString>& note() const { return note_; }

    // Starts exporting and returns at once; refused (false, nothing changes) while an export runs.
    bool start(ExportRequest request);
    // Asks the running export to stop; it ends as a failure once the exporter has stopped. Progress
    // that arrives meanwhile moves the bar but leaves the phase at "Cancelling…".
    void cancel();
    // The owner lets go: the job is deleted now when idle, or as soon as its export ends.
    void release();

    // "Encoding 13%" for 0.125: the nearest whole percent, halves rounded up.
    static QString encodingPhase(double progress);

  signals:
    // Any field changed.
    void changed();

  private:
    void applyProgress(double p);
    void end(std::optional<QString> error, std::optional<QString> note, const QString& fileName);

    double progress_ = 0;
    QString phase_;
    bool isRunning_ = false;
    bool finished_ = false;
    std::optional<QString> errorMessage_;
    std::optional<QString> note_;
    bool cancelling_ = false;
    bool released_ = false;
    std::shared_ptr<MovieExporter> exporter_;
};

} // namespace osterveil
