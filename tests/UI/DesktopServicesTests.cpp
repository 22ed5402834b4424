#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QTemporaryDir>
#include <fstream>

#include "App/MediaFiles.hpp"
#include "UI/Shell/QtDesktopServices.hpp"

using namespace osterveil;
namespace fs = std::filesystem;

TEST(QtDesktopServices, APanelShowsThePromptAndMessageAndHandsBackTheChosenFiles) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const fs::path file = fs::path(folder.path().toStdString()) / "clip.MOV";
    std::ofstream(file) << "x";

    QtDesktopServices desktop;
    std::vector<fs::path> chosen;
    desktop.open({.prompt = "Import",
                  .message = "QuickTime or audio.",
                  .multipleSelection = true,
                  .filters = MediaFiles::importTypes()},
                 [&](std::vector<fs::path> files) { chosen = std::move(files); });
    QFileDialog* dialog = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<QFileDialog*>(widget); d && d->isVisible()) dialog = d;
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->windowTitle(), "QuickTime or audio.");
    EXPECT_EQ(dialog->labelText(QFileDialog::Accept), "Import");
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFiles);
    // All types together come first, so every importable file shows at once; upper-case names too.
    const QStringList filters = dialog->nameFilters();
    ASSERT_EQ(filters.size(), 4);
    EXPECT_TRUE(filters[0].startsWith("All Supported Files (*.mov *.MOV "));
    EXPECT_TRUE(filters[3].contains("*.webp"));

    dialog->setDirectory(folder.path());
    dialog->selectFile(QString::fromStdString(file.string()));
    static_cast<QDialog*>(dialog)->accept();
    EXPECT_EQ(chosen, std::vector<fs::path>{file});
}
