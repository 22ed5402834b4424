#pragma once

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <optional>

class QTimer;

namespace osterveil {

// What the splash shows: how far the start-up bar has run and a status line, both set from the time
// since the splash appeared.
class SplashModel : public QObject {
    Q_OBJECT
  public:
    double progress() const { return progress_; }
    const QString& status() const { return status_; }
    // Progress is the elapsed share of `duration` (0 when that is not a number); the status follows
    // the elapsed seconds.
    void update(double elapsed, double duration);

  signals:
    void changed();

  private:
    double progress_ = 0;
    QString status_ = tr("Initializing renderer…");
};

// The splash's picture and version line. The picture is a file beside the program, not inside it:
// "razor_teeth_snarl.jpg" next to the executable, else in ../share/osterveil or its Resources folder.
namespace SplashArtwork {
std::optional<QImage> image();
// "Version " and the application's version, or 0.1.0 when it has none.
QString versionText();
} // namespace SplashArtwork

// The 800×450 picture with its status, progress bar and version, on rounded corners.
class SplashView : public QWidget {
    Q_OBJECT
  public:
    static constexpr int width = 800;
    static constexpr int height = 450;
    static constexpr double trackWidth = 280;
    static constexpr double barHeight = 4;

    SplashView(SplashModel& model, std::optional<QImage> picture, QWidget* parent = nullptr);

    // The accent bar's width on a track this wide: the progress share of it, never under the bar's height.
    static double barWidth(double track, double progress);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    SplashModel& model_;
    std::optional<QImage> picture_;
};

// Shows the splash once per process at launch, unless OSTERVEIL_NO_SPLASH is set in the environment.
// It stays at least 2.5 seconds, then fades out as soon as a document window is visible, or at the
// latest after 6 seconds. It floats above the document windows without blocking them and takes no
// input. A window the user must see or answer (an alert, a question, a file panel, a sheet, the panel of
// an open under way) is never under it: the splash goes at once as one is shown, and does not come up
// over one.
class SplashPresenter : public QObject {
    Q_OBJECT
  public:
    // Seconds on a steady clock; tests turn it by hand.
    using Clock = std::function<double()>;

    static constexpr double minimum = 2.5;
    static constexpr double maximum = 6.0;
    static constexpr int fadeInMs = 200;
    static constexpr int fadeOutMs = 450;

    static SplashPresenter& shared();
    explicit SplashPresenter(Clock clock = steadyClock(), QObject* parent = nullptr);
    ~SplashPresenter() override;

    void presentIfNeeded();
    // One beat of the 30-a-second timer: updates the model and fades out when the time has come.
    void tick();
    // Fades the splash out and closes it, once; the document windows come to the front.
    void fadeOut();

    QWidget* window() const { return window_; }
    const SplashModel* model() const { return model_.get(); }
    bool isDismissed() const { return dismissed_; }
    bool isTicking() const;

    static Clock steadyClock();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Hides the splash at once, for good.
    void dismissNow();

    Clock clock_;
    double started_;
    bool dismissed_ = false;
    QPointer<QWidget> window_;
    std::unique_ptr<SplashModel> model_;
    QTimer* ticker_ = nullptr;
};

} // namespace osterveil
