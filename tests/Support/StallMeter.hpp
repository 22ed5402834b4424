#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <algorithm>

// How long the GUI thread went without turning its event loop: the longest gap between the ticks of
// a timer due every millisecond, from `start` to `stop`.
namespace osterveil::testsupport {

class StallMeter {
  public:
    StallMeter() {
        clock_.start();
        ticks_.setTimerType(Qt::PreciseTimer);
        ticks_.setInterval(1);
        QObject::connect(&ticks_, &QTimer::timeout, [this] {
            const qint64 now = clock_.nsecsElapsed();
            longest_ = std::max(longest_, now - last_);
            last_ = now;
        });
    }
    void start() {
        longest_ = 0;
        last_ = clock_.nsecsElapsed();
        ticks_.start();
    }
    void stop() {
        ticks_.stop();
        const qint64 now = clock_.nsecsElapsed();
        longest_ = std::max(longest_, now - last_);
    }
    double longestMilliseconds() const { return double(longest_) / 1e6; }

  private:
    QElapsedTimer clock_;
    QTimer ticks_;
    qint64 last_ = 0, longest_ = 0;
};

} // namespace osterveil::testsupport
