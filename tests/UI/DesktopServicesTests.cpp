#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <fstream>
#include <functional>

#include "App/MediaFiles.hpp"
#include "UI/Shell/QtDesktopServices.hpp"

using namespace osterveil;
namespace fs = std::filesystem;

namespace {

QFileDialog* shownDialog() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<QFileDialog*>(widget); d && d->isVisible()) return d;
    return nullptr;
}

} // namespace

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
    QFileDialog* dialog = shownDialog();
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

// The import panel offers DVD, broadcast and camcorder files with the rest: all of a folder selected
// are handed back. Names typed in are handed back all, also one of a kind the panel does not offer,
// for the import to take or to name as skipped; Qt's own dialog would leave that one out.
TEST(QtDesktopServices, TheImportPanelOffersEveryKindAndHandsBackEveryNameTyped) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const fs::path root = folder.path().toStdString();
    const std::vector<std::string> names{"clip.mov",   "disc.VOB", "recording.ts", "hdv.m2t",    "camera.MOD",
                                         "camera.TOD", "dvd.vro",  "sound.ac3",    "picture.tga"};
    for (const std::string& name : names)
        std::ofstream(root / name) << "x";
    std::ofstream(root / "notes.xyz") << "x";
    const auto choose = [&](const std::function<void(QFileDialog&)>& act) {
        std::vector<fs::path> chosen;
        QtDesktopServices().open(
            {.prompt = "Import", .multipleSelection = true, .filters = MediaFiles::importTypes()},
            [&](std::vector<fs::path> files) { chosen = std::move(files); });
        QFileDialog* dialog = shownDialog();
        if (!dialog) return chosen;
        dialog->setDirectory(folder.path());
        act(*dialog);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog->isVisible(); }, 5000));
        return chosen;
    };

    std::vector<fs::path> all = choose([&](QFileDialog& dialog) {
        auto* list = dialog.findChild<QListView*>(QStringLiteral("listView"));
        ASSERT_TRUE(list);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return list->model()->rowCount(list->rootIndex()) >= int(names.size()); }, 5000));
        list->selectAll();
        static_cast<QDialog&>(dialog).accept();
    });
    std::sort(all.begin(), all.end());
    std::vector<fs::path> offered;
    for (const std::string& name : names)
        offered.push_back(root / name);
    std::sort(offered.begin(), offered.end());
    EXPECT_EQ(all, offered);

    const std::vector<fs::path> typed = choose([&](QFileDialog& dialog) {
        auto* field = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_TRUE(field);
        // As typed, its completion list aside.
        field->setText("\"notes.xyz\" \"clip.mov\" \"disc.VOB\"");
        auto* buttons = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        ASSERT_TRUE(buttons);
        QTest::mouseClick(buttons->button(QDialogButtonBox::Open), Qt::LeftButton);
    });
    EXPECT_EQ(typed, (std::vector<fs::path>{root / "notes.xyz", root / "clip.mov", root / "disc.VOB"}));
}
