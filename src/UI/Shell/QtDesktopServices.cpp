#include "UI/Shell/QtDesktopServices.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

namespace osterveil {

namespace {

QString patterns(const QStringList& extensions) {
    QStringList list;
    for (const QString& extension : extensions)
        list << QStringLiteral("*.") + extension << QStringLiteral("*.") + extension.toUpper();
    return list.join(QLatin1Char(' '));
}

// The files named in the dialog's name field, as it reads them: one name, or several each in quotes;
// relative ones in the folder shown.
QStringList typedFiles(const QFileDialog& dialog) {
    const auto* field = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (!field) return {};
    const QString text = field->text();
    QStringList names;
    if (!text.contains(QLatin1Char('"'))) {
        names << text.trimmed();
    } else {
        const QStringList parts = text.split(QLatin1Char('"'));
        for (qsizetype i = 1; i < parts.size(); i += 2)
            names << parts[i];
    }
    QStringList files;
    for (const QString& name : names)
        if (!name.isEmpty()) files << QDir::cleanPath(dialog.directory().absoluteFilePath(name));
    return files;
}

void openFolder(const std::filesystem::path& file) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFile::decodeName(file.parent_path().c_str())));
}

} // namespace

QStringList QtDesktopServices::nameFilters(const std::vector<FileFilter>& filters) {
    QStringList result;
    if (filters.size() > 1) {
        QStringList all;
        for (const FileFilter& filter : filters)
            all << filter.extensions;
        result << QStringLiteral("All Supported Files (") + patterns(all) + QLatin1Char(')');
    }
    for (const FileFilter& filter : filters)
        result << filter.name + QStringLiteral(" (") + patterns(filter.extensions) + QLatin1Char(')');
    return result;
}

void QtDesktopServices::open(const OpenPanel& panel, Chosen chosen) {
    auto* dialog = new QFileDialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // Qt's own dialog: a platform one would not show the prompt on its accept button.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    if (panel.chooseFolders && !panel.chooseFiles) {
        dialog->setFileMode(QFileDialog::Directory);
        dialog->setOption(QFileDialog::ShowDirsOnly);
    } else {
        dialog->setFileMode(panel.multipleSelection ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    }
    dialog->setWindowTitle(panel.message.isEmpty() ? panel.prompt : panel.message);
    dialog->setLabelText(QFileDialog::Accept, panel.prompt);
    if (!panel.filters.empty()) {
        dialog->setOption(QFileDialog::HideNameFilterDetails);
        dialog->setNameFilters(nameFilters(panel.filters));
    }
    const bool several = panel.multipleSelection && panel.chooseFiles;
    QObject::connect(dialog, &QFileDialog::accepted, dialog, [dialog, several, chosen = std::move(chosen)] {
        QStringList selected = dialog->selectedFiles();
        if (several) {
            // Names typed in of a kind the filter hides are not selected in the list, and Qt's dialog
            // leaves them out of several: they go with the rest, in the order typed, for the import to
            // take or to name as skipped.
            QStringList typed = typedFiles(*dialog);
            for (const QString& file : selected)
                if (!typed.contains(file)) typed << file;
            if (typed.size() > selected.size()) selected = typed;
        }
        std::vector<std::filesystem::path> files;
        for (const QString& file : selected)
            files.emplace_back(QFile::encodeName(file).toStdString());
        if (!files.empty() && chosen) chosen(std::move(files));
    });
    dialog->show();
}

int QtDesktopServices::runModal(const ModalAlert& alert) {
    QMessageBox box(window_);
    box.setWindowModality(Qt::ApplicationModal);
    box.setText(alert.message);
    box.setInformativeText(alert.informativeText);
    std::vector<QAbstractButton*> buttons;
    for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
        // The first is the default; with more than one, the last is what Escape presses.
        const bool last = i > 0 && i == alert.buttons.size() - 1;
        const auto role = i == 0 ? QMessageBox::AcceptRole
                          : last ? QMessageBox::RejectRole
                                 : QMessageBox::ActionRole;
        QPushButton* button = box.addButton(alert.buttons[i], role);
        if (i == 0) box.setDefaultButton(button);
        buttons.push_back(button);
    }
    box.exec();
    const auto pressed = std::find(buttons.begin(), buttons.end(), box.clickedButton());
    return pressed == buttons.end() ? -1 : static_cast<int>(pressed - buttons.begin());
}

void QtDesktopServices::reveal(const std::filesystem::path& file) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openFolder(file);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(QFile::decodeName(file.c_str())).toString()} << QString();
    // Asked without waiting: a file manager that is slow to start must not hold up the window.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [file](QDBusPendingCallWatcher* w) {
                         if (QDBusPendingReply<>(*w).isError()) openFolder(file);
                         w->deleteLater();
                     });
}

} // namespace osterveil
