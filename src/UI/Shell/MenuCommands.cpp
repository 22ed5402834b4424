#include "UI/Shell/MenuCommands.hpp"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include "App/EditorCommands.hpp"

namespace osterveil {

MenuCommands::MenuCommands(QMenuBar* bar, QMenu* fileMenu, QAction* before, Reader reader,
                                     QObject* parent)
    : QObject(parent), reader_(std::move(reader)) {
    using Menu = EditorCommands::Menu;
    // File, after the new-document items.
    importMenu_ = new QMenu(QStringLiteral("Import"), fileMenu);
    fileMenu->insertMenu(before, importMenu_);
    governed_.push_back(importMenu_->menuAction());
    sequenceMenu_ = bar->addMenu(QStringLiteral("Sequence"));
    timelineMenu_ = bar->addMenu(QStringLiteral("Timeline"));
    helpMenu_ = bar->addMenu(QStringLiteral("Help"));
    const auto menuOf = [&](Menu menu) {
        switch (menu) {
        case Menu::import:
            return importMenu_;
        case Menu::file:
            return fileMenu;
        case Menu::sequence:
            return sequenceMenu_;
        case Menu::timeline:
            return timelineMenu_;
        case Menu::help:
            return helpMenu_;
        }
        return helpMenu_;
    };
    for (const EditorCommands::MenuEntry& entry : EditorCommands::menuLayout()) {
        QMenu* menu = menuOf(entry.menu);
        if (!entry.command) {
            menu->addSeparator();
            continue;
        }
        const CommandDefinition& command = EditorCommands::definition(*entry.command);
        QAction* action = add(menu, command.menuTitle, command.action);
        action->setShortcuts(command.menuKeys);
        // The File menu's own items stand before its document items.
        menu->insertAction(menu == fileMenu ? before : nullptr, action);
    }

    for (QMenu* menu : {fileMenu, importMenu_, sequenceMenu_, timelineMenu_, helpMenu_})
        connect(menu, &QMenu::aboutToShow, this, &MenuCommands::refresh);
    refresh();
}

QAction* MenuCommands::add(QMenu* menu, const QString& title,
                                EditorActions::Action EditorActions::*member) {
    auto* action = new QAction(title, menu);
    // The record is read again when the item runs: the window that had the focus when the menu opened
    // may be gone by now.
    connect(action, &QAction::triggered, this, [this, member] {
        if (const auto actions = reader_(); actions && (*actions).*member) ((*actions).*member)();
    });
    // The Import submenu's items follow their submenu; every other item is governed by itself.
    if (menu != importMenu_) governed_.push_back(action);
    all_.push_back(action);
    return action;
}

void MenuCommands::refresh() {
    const bool available = reader_().has_value();
    for (QAction* action : all_)
        action->setEnabled(available);
    importMenu_->menuAction()->setEnabled(available);
}

QAction* MenuCommands::item(const QString& title) const {
    for (QAction* action : all_)
        if (action->text() == title) return action;
    return nullptr;
}

} // namespace osterveil
