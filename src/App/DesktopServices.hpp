#pragma once

#include <QString>
#include <QStringList>
#include <filesystem>
#include <functional>
#include <vector>

namespace osterveil {

// File types a panel offers under one name ("Movies"): file-name extensions, lower case, without the dot.
struct FileFilter {
    QString name;
    QStringList extensions;
    bool operator==(const FileFilter&) const = default;
};

// What an open panel asks of the user.
struct OpenPanel {
    // The accept button's text.
    QString prompt;
    // One line saying what to choose; empty for none.
    QString message;
    bool chooseFiles = true;
    bool chooseFolders = false;
    bool multipleSelection = false;
    // Empty: any file may be chosen.
    std::vector<FileFilter> filters;
    bool operator==(const OpenPanel&) const = default;
};

// An alert that blocks the application until one of its buttons is pressed.
struct ModalAlert {
    QString message;
    QString informativeText;
    // Left to right in reading order; the first is the default.
    QStringList buttons;
    bool operator==(const ModalAlert&) const = default;
};

// What the editor asks of the desktop: file panels, alerts that need an answer, and showing a file in the
// file manager. The window supplies a real one; tests a stand-in that answers as told. Everything is called
// on the GUI thread.
class DesktopServices {
  public:
    using Chosen = std::function<void(std::vector<std::filesystem::path>)>;

    virtual ~DesktopServices() = default;

    // Shows the panel on its own (not attached to a window) and returns at once. When the user confirms,
    // `chosen` runs on the GUI thread with the chosen paths in the panel's order; a cancelled panel never
    // calls it.
    virtual void open(const OpenPanel& panel, Chosen chosen) = 0;
    // Runs the alert modally; the index of the button pressed, or -1 when it was closed another way.
    virtual int runModal(const ModalAlert& alert) = 0;
    // Opens a file manager window with that file selected.
    virtual void reveal(const std::filesystem::path& file) = 0;
};

} // namespace osterveil
