#pragma once

#include <memory>
#include <semaphore>

#include "App/EditorModel.hpp"

namespace osterveil {

// Sets what only the model writes, as a player, a worker or a command would have reported it, so that
// a test can start from any state: `EditorModelTestAccess(model).setCurrentTime(2)`.
struct EditorModelTestAccess {
    EditorModel& model;

    void setCurrentTime(double seconds) { model.setCurrentTime(seconds); }
    void setShuttle(int speed) { model.setShuttle(speed); }
    void setPlayerVolume(double volume) { model.setPlayerVolume(volume); }
    void setBuilding(bool on) { model.setBuilding(on); }
    void setSourceMediaID(std::optional<Uuid> id) { model.setSourceMediaID(id); }
    void setSourceTime(double seconds) { model.setSourceTime(seconds); }
    void setSourceIn(std::optional<double> time) { model.setSourceIn(time); }
    void setSourceOut(std::optional<double> time) { model.setSourceOut(time); }
    void setSnapGuide(std::optional<double> time) { model.setSnapGuide(time); }
    void setThumbnail(const Uuid& mediaID, QImage image) { model.setThumbnail(mediaID, std::move(image)); }
    void setWaveform(const Uuid& mediaID, std::vector<float> peaks) {
        model.setWaveform(mediaID, std::move(peaks));
    }
    void setOfflineIDs(UuidSet ids) { model.setOfflineIDs(std::move(ids)); }
    void setStatus(QString text) { model.setStatus(std::move(text)); }
    // No picture or outline of media is being asked for, nor due to be: every answer has come back.
    bool picturesSettled() const {
        return !model.auxiliaryDue_ && model.thumbInFlight_.empty() && model.waveInFlight_.empty();
    }

    // The wait for changed media files to settle runs on a clock that stands still from this call on,
    // and that the test moves itself (`passMediaTime`, `settleMedia`). The files are watched from the
    // document's first change on.
    void holdMediaSettle() { holdMediaClock(model.mediaWatch_->now()); }
    // The clock moves on by `time`, and whatever has been still that long by then settles.
    void passMediaTime(std::chrono::milliseconds time) {
        holdMediaClock(model.mediaWatch_->now() + time);
        model.mediaWatch_->settleDue();
    }
    // The whole wait passes.
    void settleMedia() { passMediaTime(EditorModel::mediaSettleDelay); }
    // The changed file as the model last saw it, once its change was announced, while it waits.
    std::optional<std::optional<FileStamp>> changedStamp(const QString& file) const {
        return model.mediaWatch_->changing(file);
    }
    void holdMediaClock(std::chrono::steady_clock::time_point at) {
        model.mediaWatch_->setClock([at] { return at; });
    }
    // Once the watch of the media files has looked at every file the model has handed to it so far.
    void mediaWatchCaughtUp() {
        whileMediaWatchHeld([] {});
    }
    // Runs `change` while the watch of the media files stands still: it hears of the change only after.
    template <class Change> void whileMediaWatchHeld(Change change) {
        // The watch's thread may still be on its way out of the gate once this has returned.
        struct Gate {
            std::binary_semaphore held{0}, go{0};
        };
        const auto gate = std::make_shared<Gate>();
        model.mediaWatch_->beside([gate] {
            gate->held.release();
            gate->go.acquire();
        });
        gate->held.acquire();
        change();
        gate->go.release();
    }
};

} // namespace osterveil
