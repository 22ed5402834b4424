#include "UI/Shell/KestwaterCommands.hpp"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

namespace osterveil {

namespace {

QKeySequence ctrl(int key) {
    return QKeySequence(QKeyCombination(Qt::ControlModifier, Qt::Key(key)));
}

} // namespace

KestwaterCommands::KestwaterCommands(QMenuBar* bar, QMenu* fileMenu, QAction* before, Reader reader,
                                     QObject* parent)
    : QObject(parent), reader_(std::move(reader)) {
    // File, after the new-document items.
    importMenu_ = new QMenu(QStringLiteral("Import"), fileMenu);
    fileMenu->insertMenu(before, importMenu_);
    add(importMenu_, QStringLiteral("Media…"), &EditorActions::importMedia)->setShortcut(ctrl(Qt::Key_I));
    add(importMenu_, QStringLiteral("Premiere XML…"), &EditorActions::importPremiereXML);
    QAction* exportItem = add(nullptr, QStringLiteral("Export…"), &EditorActions::exportMedia);
    exportItem->setParent(fileMenu);
    exportItem->setShortcut(ctrl(Qt::Key_M));
    fileMenu->insertAction(before, exportItem);
    governed_.push_back(importMenu_->menuAction());

    sequenceMenu_ = bar->addMenu(QStringLiteral("Sequence"));
    add(sequenceMenu_, QStringLiteral("Sequence Settings…"), &EditorActions::sequenceSettings);
    add(sequenceMenu_, QStringLiteral("Add Title at Playhead"), &EditorActions::addTitle)
        ->setShortcut(ctrl(Qt::Key_T));

    timelineMenu_ = bar->addMenu(QStringLiteral("Timeline"));
    QMenu* t = timelineMenu_;
    add(t, QStringLiteral("Split at Playhead"), &EditorActions::split)->setShortcut(ctrl(Qt::Key_K));
    add(t, QStringLiteral("Lift Delete"), &EditorActions::liftDelete)
        ->setShortcuts({QKeySequence(Qt::Key_Backspace), QKeySequence(Qt::Key_Delete)});
    add(t, QStringLiteral("Ripple Delete"), &EditorActions::rippleDelete)
        ->setShortcuts({QKeySequence(Qt::ShiftModifier | Qt::Key_Backspace),
                        QKeySequence(Qt::ShiftModifier | Qt::Key_Delete)});
    t->addSeparator();
    add(t, QStringLiteral("Insert"), &EditorActions::insert);
    add(t, QStringLiteral("Overwrite"), &EditorActions::overwrite);
    add(t, QStringLiteral("Ripple Trim Previous Edit to Playhead"), &EditorActions::ripplePrevious);
    add(t, QStringLiteral("Ripple Trim Next Edit to Playhead"), &EditorActions::rippleNext);
    add(t, QStringLiteral("Roll Left"), &EditorActions::rollLeft);
    add(t, QStringLiteral("Roll Right"), &EditorActions::rollRight);
    add(t, QStringLiteral("Slip Left"), &EditorActions::slipLeft);
    add(t, QStringLiteral("Slip Right"), &EditorActions::slipRight);
    add(t, QStringLiteral("Slide Left"), &EditorActions::slideLeft);
    add(t, QStringLiteral("Slide Right"), &EditorActions::slideRight);
    t->addSeparator();
    add(t, QStringLiteral("Add or Remove Marker"), &EditorActions::addMarker);
    add(t, QStringLiteral("Go to Next Marker"), &EditorActions::nextMarker);
    add(t, QStringLiteral("Go to Previous Marker"), &EditorActions::previousMarker);
    add(t, QStringLiteral("Nest"), &EditorActions::nest);
    t->addSeparator();
    add(t, QStringLiteral("Link"), &EditorActions::link);
    add(t, QStringLiteral("Unlink"), &EditorActions::unlink);
    add(t, QStringLiteral("Select All"), &EditorActions::selectAll)->setShortcut(ctrl(Qt::Key_A));
    t->addSeparator();
    add(t, QStringLiteral("Zoom In"), &EditorActions::zoomIn)
        ->setShortcuts({ctrl(Qt::Key_Plus), ctrl(Qt::Key_Equal)});
    add(t, QStringLiteral("Zoom Out"), &EditorActions::zoomOut)->setShortcut(ctrl(Qt::Key_Minus));
    add(t, QStringLiteral("Zoom to Fit"), &EditorActions::zoomFit)->setShortcut(ctrl(Qt::Key_Backslash));

    helpMenu_ = bar->addMenu(QStringLiteral("Help"));
    add(helpMenu_, QStringLiteral("Keyboard Shortcuts"), &EditorActions::shortcuts);

    for (QMenu* menu : {fileMenu, importMenu_, sequenceMenu_, timelineMenu_, helpMenu_})
        connect(menu, &QMenu::aboutToShow, this, &KestwaterCommands::refresh);
    refresh();
}

QAction* KestwaterCommands::add(QMenu* menu, const QString& title,
                                EditorActions::Action EditorActions::*member) {
    auto* action = new QAction(title, menu ? static_cast<QObject*>(menu) : this);
    // The record is read again when the item runs: the window that had the focus when the menu opened
    // may be gone by now.
    connect(action, &QAction::triggered, this, [this, member] {
        if (const auto actions = reader_(); actions && (*actions).*member) ((*actions).*member)();
    });
    if (menu) menu->addAction(action);
    // The Import submenu's items follow their submenu; every other item is governed by itself.
    if (menu != importMenu_) governed_.push_back(action);
    all_.push_back(action);
    return action;
}

void KestwaterCommands::refresh() {
    const bool available = reader_().has_value();
    for (QAction* action : all_)
        action->setEnabled(available);
    importMenu_->menuAction()->setEnabled(available);
}

QAction* KestwaterCommands::item(const QString& title) const {
    for (QAction* action : all_)
        if (action->text() == title) return action;
    return nullptr;
}

} // namespace osterveil
