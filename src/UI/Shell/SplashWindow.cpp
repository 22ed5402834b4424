#include "UI/Shell/SplashWindow.hpp"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "UI/Common/Theme.hpp"

namespace osterveil {

namespace {

constexpr double cornerRadius = 18;
constexpr int leadingInset = 28;
constexpr int trailingInset = 28;
constexpr int bottomInset = 22;
constexpr int lineGap = 8;
// Tests and scripted runs set this, and no splash is shown.
constexpr const char* suppressingVariable = "OSTERVEIL_NO_SPLASH";

QFont lineFont(const QFont& base, int pixels) {
    QFont font = base;
    font.setPixelSize(pixels);
    font.setWeight(QFont::Medium);
    return font;
}

QColor white(double opacity) {
    QColor c(Qt::white);
    c.setAlphaF(static_cast<float>(opacity));
    return c;
}

// Windows a user works in: ordinary top-level windows, not dialogs, tool windows or the splash.
std::vector<QWidget*> documentWindows(const QWidget* splash, bool visibleOnly) {
    std::vector<QWidget*> windows;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w != splash && w->windowType() == Qt::Window && (!visibleOnly || w->isVisible()))
            windows.push_back(w);
    return windows;
}

// A window the user must see or answer: an alert, a question, a file panel, a sheet, a panel telling
// how an open goes. Floating above everything, the splash would hide it.
bool mustBeSeen(const QWidget* w) {
    if (!w->isWindow()) return false;
    const Qt::WindowType type = w->windowType();
    return w->windowModality() != Qt::NonModal || type == Qt::Dialog || type == Qt::Sheet;
}

} // namespace

void SplashModel::update(double elapsed, double duration) {
    const double share = elapsed / duration;
    progress_ = std::isnan(share) ? 0 : std::clamp(share, 0.0, 1.0);
    // By the clock, not the bar, so the texts keep their pace whatever the bar's length.
    if (elapsed < 0.7)
        status_ = tr("Initializing renderer…");
    else if (elapsed < 1.4)
        status_ = tr("Loading media engines…");
    else if (elapsed < 2.1)
        status_ = tr("Opening the workspace…");
    else
        status_ = tr("Ready");
    emit changed();
}

namespace SplashArtwork {

std::optional<QImage> image() {
    const QString name = QStringLiteral("razor_teeth_snarl.jpg");
    const QDir program(QCoreApplication::applicationDirPath());
    const QString shared = program.filePath(QStringLiteral("../share/osterveil"));
    for (const QString& path : {program.filePath(name), QDir(shared).filePath(name),
                                QDir(shared).filePath(QStringLiteral("Resources/") + name)}) {
        if (!QFileInfo::exists(path)) continue;
        QImage picture(path);
        if (picture.isNull()) return std::nullopt;
        return picture;
    }
    return std::nullopt;
}

QString versionText() {
    const QString version = QCoreApplication::applicationVersion();
    return QStringLiteral("Version ") + (version.isEmpty() ? QStringLiteral("0.1.0") : version);
}

} // namespace SplashArtwork

SplashView::SplashView(SplashModel& model, std::optional<QImage> picture, QWidget* parent)
    : QWidget(parent), model_(model) {
    setFixedSize(width, height);
    setAttribute(Qt::WA_TranslucentBackground);
    // Scaled once: the window never changes size.
    if (picture) picture_ = picture->scaled(size(), Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    connect(&model_, &SplashModel::changed, this, qOverload<>(&QWidget::update));
}

double SplashView::barWidth(double track, double progress) {
    return std::max(barHeight, track * progress);
}

void SplashView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath frame;
    frame.addRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
    p.setClipPath(frame);

    if (picture_) {
        // Filled and centred, the overflow cut off.
        p.drawImage(QPointF((width - picture_->width()) / 2.0, (height - picture_->height()) / 2.0),
                    *picture_);
    } else {
        p.fillRect(rect(), Qt::black);
    }
    QLinearGradient shade(0, 0, 0, height);
    shade.setColorAt(0.45, QColor(0, 0, 0, 0));
    shade.setColorAt(1.0, QColor(0, 0, 0, 140));
    p.fillRect(rect(), shade);

    const QFont statusFont = lineFont(font(), 13);
    const QFont versionFont = lineFont(font(), 11);
    const int statusHeight = QFontMetrics(statusFont).height();
    const int versionHeight = QFontMetrics(versionFont).height();
    const int textWidth = width - leadingInset - trailingInset;
    const int versionTop = height - bottomInset - versionHeight;
    const double barTop = versionTop - lineGap - barHeight;
    const double statusTop = barTop - lineGap - statusHeight;

    p.setFont(statusFont);
    p.setPen(white(0.9));
    p.drawText(QRectF(leadingInset, statusTop, textWidth, statusHeight), Qt::AlignLeft | Qt::AlignVCenter,
               model_.status());

    p.setPen(Qt::NoPen);
    const double radius = barHeight / 2;
    p.setBrush(white(0.22));
    p.drawRoundedRect(QRectF(leadingInset, barTop, trackWidth, barHeight), radius, radius);
    p.setBrush(Theme::accent);
    p.drawRoundedRect(QRectF(leadingInset, barTop, barWidth(trackWidth, model_.progress()), barHeight),
                      radius, radius);

    p.setFont(versionFont);
    p.setPen(white(0.6));
    p.drawText(QRectF(leadingInset, versionTop, textWidth, versionHeight), Qt::AlignLeft | Qt::AlignVCenter,
               SplashArtwork::versionText());
}

SplashPresenter& SplashPresenter::shared() {
    // Goes with the application object; nothing uses the splash after that.
    static SplashPresenter* presenter = new SplashPresenter(steadyClock(), QCoreApplication::instance());
    return *presenter;
}

SplashPresenter::Clock SplashPresenter::steadyClock() {
    return [] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    };
}

SplashPresenter::SplashPresenter(Clock clock, QObject* parent)
    : QObject(parent), clock_(std::move(clock)), started_(clock_()) {}

SplashPresenter::~SplashPresenter() {
    delete window_.data();
}

bool SplashPresenter::isTicking() const {
    return ticker_ && ticker_->isActive();
}

void SplashPresenter::presentIfNeeded() {
    if (dismissed_ || window_) return;
    if (qEnvironmentVariableIsSet(suppressingVariable)) return;
    // Up already: the splash would cover it, and it goes for such a window anyway.
    for (const QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && mustBeSeen(w)) {
            dismissed_ = true;
            return;
        }
    model_ = std::make_unique<SplashModel>();
    started_ = clock_();

    auto* view = new SplashView(*model_, SplashArtwork::image());
    view->setWindowFlags(Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                         Qt::WindowDoesNotAcceptFocus);
    view->setAttribute(Qt::WA_ShowWithoutActivating);
    view->setWindowTitle(QCoreApplication::applicationName());
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        view->move(area.center().x() - SplashView::width / 2, area.center().y() - SplashView::height / 2);
    }
    view->setWindowOpacity(0);
    window_ = view;
    // Every window shown from now on passes here first, before it is on screen; those shown while the
    // splash comes up too, since showing it before the event loop runs runs the events waiting.
    qApp->installEventFilter(this);
    view->show();
    // Such a window came up meanwhile, and the splash has gone already.
    if (!window_) return;
    auto* fadeIn = new QPropertyAnimation(view, "windowOpacity", view);
    fadeIn->setDuration(fadeInMs);
    fadeIn->setEndValue(1.0);
    fadeIn->start(QAbstractAnimation::DeleteWhenStopped);

    ticker_ = new QTimer(this);
    ticker_->setInterval(1000 / 30);
    connect(ticker_, &QTimer::timeout, this, &SplashPresenter::tick);
    ticker_->start();
}

bool SplashPresenter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show && watched != window_ && watched->isWidgetType()) {
        if (mustBeSeen(static_cast<QWidget*>(watched))) dismissNow();
    }
    return QObject::eventFilter(watched, event);
}

void SplashPresenter::dismissNow() {
    qApp->removeEventFilter(this);
    if (!window_) return;
    // Fading out or not: its fade goes with it.
    dismissed_ = true;
    delete ticker_;
    ticker_ = nullptr;
    QWidget* splash = std::exchange(window_, nullptr);
    splash->hide();
    splash->deleteLater();
}

void SplashPresenter::tick() {
    const double elapsed = clock_() - started_;
    if (model_) model_->update(elapsed, minimum);
    const bool documentShown = !documentWindows(window_, true).empty();
    if (documentShown ? elapsed >= minimum : elapsed >= maximum) fadeOut();
}

void SplashPresenter::fadeOut() {
    if (dismissed_ || !window_) return;
    dismissed_ = true;
    delete ticker_;
    ticker_ = nullptr;

    QWidget* splash = window_;
    const std::vector<QWidget*> documents = documentWindows(splash, false);
    for (QWidget* w : documents)
        w->setWindowOpacity(1.0);
    auto* fade = new QPropertyAnimation(splash, "windowOpacity", splash);
    fade->setDuration(fadeOutMs);
    fade->setEasingCurve(QEasingCurve::InOutQuad);
    fade->setEndValue(0.0);
    QPointer<QWidget> front = documents.empty() ? nullptr : documents.front();
    connect(fade, &QPropertyAnimation::finished, this, [this, splash, front] {
        qApp->removeEventFilter(this);
        splash->hide();
        splash->deleteLater();
        window_ = nullptr;
        if (front) {
            front->raise();
            front->activateWindow();
        }
    });
    fade->start(QAbstractAnimation::DeleteWhenStopped);
}

} // namespace osterveil
