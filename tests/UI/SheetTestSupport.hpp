#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QPalette>
#include <QStyleFactory>
#include <QThread>
#include <QWidget>
#include <chrono>
#include <filesystem>
#include <string>

#include "App/EditorModel.hpp"
#include "FakePlayer.hpp"
#include "UI/Common/Theme.hpp"

// Texts read as text in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace osterveil::testsupport {

// Runs the event loop until `done` holds; false if it never does within a generous bound.
template <class Predicate> bool waitUntil(Predicate done) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        // Outside a running event loop, objects let go with deleteLater go only when asked.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}

// The window's model over an in-memory document, with stand-in players.
struct SheetFixture : ::testing::Test {
    void open(Project project) {
        document.setProject(std::move(project));
        model.followDocument(&document);
        QCoreApplication::processEvents();
    }

    ProjectDocument document;
    EditorModel model{std::make_unique<FakePlayer>(), std::make_unique<FakePlayer>()};
};

template <class Widget = QAbstractButton> Widget* findByText(const QWidget& root, const QString& text) {
    for (Widget* w : root.findChildren<Widget*>())
        if (w->text() == text) return w;
    ADD_FAILURE() << "no control reads " << text.toStdString();
    return nullptr;
}

// The dark look the editor's application object gives every window, for pictures people look at.
inline void writePicture(QWidget& widget, const std::string& name) {
    QPalette p;
    p.setColor(QPalette::Window, Theme::background);
    p.setColor(QPalette::WindowText, Theme::text);
    p.setColor(QPalette::Base, Theme::well);
    p.setColor(QPalette::Text, Theme::text);
    p.setColor(QPalette::PlaceholderText, Theme::textDim);
    p.setColor(QPalette::Button, Theme::panelRaised);
    p.setColor(QPalette::ButtonText, Theme::text);
    p.setColor(QPalette::Highlight, Theme::accent);
    p.setColor(QPalette::Light, Theme::panelRaised);
    p.setColor(QPalette::Midlight, Theme::panelHeader);
    p.setColor(QPalette::Mid, Theme::panel);
    p.setColor(QPalette::Dark, Theme::well);
    p.setColor(QPalette::Shadow, Theme::line);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, Theme::textDim.darker(140));
    const QPalette before = QApplication::palette();
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setPalette(p);
    QCoreApplication::processEvents();
    const std::filesystem::path dir = OSTERVEIL_TEST_OUTPUT_DIR;
    std::filesystem::create_directories(dir);
    EXPECT_TRUE(widget.grab().save(QString::fromStdString((dir / name).string())));
    QApplication::setPalette(before);
}

} // namespace osterveil::testsupport
