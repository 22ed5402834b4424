#include "UI/Shell/EditorApplication.hpp"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QPalette>
#include <QStyleFactory>

#include "App/DocumentController.hpp"
#include "App/WorkService.hpp"
#include "Model/Project.hpp"
#include "Platform/Foundation/Cores.hpp"
#include "Platform/Foundation/ProcessEnd.hpp"
#include "Platform/Foundation/WindowTurn.hpp"
#include "UI/Common/Icons.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Shell/DocumentWindows.hpp"
#include "UI/Shell/EditorWindow.hpp"
#include "UI/Shell/SplashWindow.hpp"

namespace osterveil {

EditorApplication::EditorApplication(QApplication& application)
    : windows_(std::make_unique<DocumentWindows>()),
      controller_(std::make_unique<DocumentController>(*windows_)) {
    windows_->setController(controller_.get());
    connect(controller_.get(), &DocumentController::quitFinished, &application, &QCoreApplication::quit);
    QApplication::setApplicationName(QStringLiteral("Osterveil"));
    QApplication::setApplicationVersion(QStringLiteral(OSTERVEIL_VERSION));
    QApplication::setApplicationDisplayName(QStringLiteral("Osterveil"));
    QApplication::setOrganizationName(QStringLiteral("Osterveil"));
    QApplication::setDesktopFileName(QStringLiteral("osterveil"));
    applyLook(application);
    askForShortTurns();
    // The turns of the window's loop, which the workers of saves and opens give way to.
    application.installEventFilter(this);
    if (QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance(application.thread()))
        connect(loop, &QAbstractEventDispatcher::aboutToBlock, this, &WindowTurn::end, Qt::DirectConnection);
    setCodingPause(&WindowTurn::giveWay);
}

EditorApplication::~EditorApplication() {
    WindowTurn::end();
}

bool EditorApplication::eventFilter(QObject* watched, QEvent* event) {
    WindowTurn::begin();
    return QObject::eventFilter(watched, event);
}

int EditorApplication::run(const QStringList& files) {
    applicationWillFinishLaunching();
    controller_->openAtLaunch(files);
    applicationDidFinishLaunching();
    // Before the loop hands back: what it would free after is the windows' own (a large project's,
    // graded clip by clip), which nobody needs once the process ends.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &EditorApplication::endAtQuit);
    return QApplication::exec();
}

void EditorApplication::endAtQuit() {
    // Every window has had its answer: what they and the opens left runs for nobody.
    controller_->stopWork();
    windows_->stopWork();
    // The loop ends only by a quit, whose code is 0.
    endProcessNow(finish(0));
}

int EditorApplication::finish(int status) {
    if (WorkService::shared().finish()) return status;
    // What still runs may use the statics that returning from `main` would tear down.
    endProcessNow(status);
}

void EditorApplication::applicationWillFinishLaunching() {
    // An ordinary windowed program: closing its last window ends it.
    QApplication::setQuitOnLastWindowClosed(true);
}

void EditorApplication::applicationDidFinishLaunching() {
    // To the front, even when another program has the focus.
    const auto documents = controller_->documents();
    if (!documents.empty()) {
        if (EditorWindow* w = windows_->window(*documents.back())) {
            w->raise();
            w->activateWindow();
        }
    }
    // It decides for itself whether it shows: once per process, and never under OSTERVEIL_NO_SPLASH.
    SplashPresenter::shared().presentIfNeeded();
}

void EditorApplication::applyLook(QApplication& application) {
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) application.setStyle(fusion);
    icons::useSystemTheme();

    QPalette p;
    p.setColor(QPalette::Window, Theme::background);
    p.setColor(QPalette::WindowText, Theme::text);
    p.setColor(QPalette::Base, Theme::well);
    p.setColor(QPalette::AlternateBase, Theme::panel);
    p.setColor(QPalette::Text, Theme::text);
    p.setColor(QPalette::PlaceholderText, Theme::textDim);
    p.setColor(QPalette::Button, Theme::panelRaised);
    p.setColor(QPalette::ButtonText, Theme::text);
    p.setColor(QPalette::BrightText, Theme::danger);
    p.setColor(QPalette::Highlight, Theme::accent);
    p.setColor(QPalette::HighlightedText, Theme::text);
    p.setColor(QPalette::Link, Theme::accent);
    p.setColor(QPalette::ToolTipBase, Theme::panelRaised);
    p.setColor(QPalette::ToolTipText, Theme::text);
    p.setColor(QPalette::Light, Theme::panelRaised);
    p.setColor(QPalette::Midlight, Theme::panelHeader);
    p.setColor(QPalette::Mid, Theme::panel);
    p.setColor(QPalette::Dark, Theme::well);
    p.setColor(QPalette::Shadow, Theme::line);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, Theme::textDim.darker(140));
    QApplication::setPalette(p);

    // One installed sans family at the editor's 13-pixel body size.
    QFont font = QApplication::font();
    for (const QString& family : {QStringLiteral("Inter"), QStringLiteral("DejaVu Sans")}) {
        if (QFontDatabase::hasFamily(family)) {
            font.setFamily(family);
            break;
        }
    }
    font.setPixelSize(13);
    QApplication::setFont(font);
}

} // namespace osterveil
