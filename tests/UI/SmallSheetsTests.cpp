#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "SheetTestSupport.hpp"
#include "UI/Sheets/SequenceSettingsSheet.hpp"
#include "UI/Sheets/SheetParts.hpp"
#include "UI/Sheets/ShortcutsSheet.hpp"

using namespace osterveil;
using namespace osterveil::testsupport;

namespace {

struct SequenceSettingsTest : SheetFixture {
    // A picture, a sound, a title and a clip whose media is gone, one on each of V1, A1, V2, V3.
    void SetUp() override {
        Project p = ProjectDocument::newProject();
        p.sequence.name = "Cut";
        p.sequence.frameRate = {25, 1};
        const auto add = [&](std::size_t track, std::optional<Uuid> media, bool title = false) {
            TimelineClip c;
            c.id = Uuid::make();
            c.mediaID = media;
            c.duration = 2;
            if (title) c.title = TitleStyle{};
            p.sequence.tracks.mut(track).clips.push_back(c);
            return c.id;
        };
        MediaItem picture{.id = Uuid::make(), .name = "pic", .kind = MediaKind::video, .duration = 2};
        picture.width = 3840;
        picture.height = 1600;
        picture.nominalFrameRate = 29.97;
        MediaItem sound{.id = Uuid::make(), .name = "snd", .kind = MediaKind::audio, .duration = 2};
        p.media.push_back(picture);
        p.media.push_back(sound);
        pictureClip = add(0, picture.id);
        soundClip = add(3, sound.id);
        titleClip = add(1, std::nullopt, true);
        missingClip = add(2, Uuid::make());
        pictureID = picture.id;
        open(p);
    }

    std::unique_ptr<SequenceSettingsSheet> makeSheet() {
        auto sheet = std::make_unique<SequenceSettingsSheet>(model);
        sheet->show();
        return sheet;
    }
    sheets::IntegerField* field(const QWidget& sheet, const QString& title) {
        for (auto* f : sheet.findChildren<sheets::IntegerField*>())
            if (f->placeholderText() == title) return f;
        return nullptr;
    }
    void retype(QLineEdit* f, const QString& text) {
        f->setFocus();
        f->selectAll();
        if (text.isEmpty())
            QTest::keyClick(f, Qt::Key_Backspace);
        else
            QTest::keyClicks(f, text);
    }
    QLineEdit* nameField(const QWidget& sheet) {
        for (QLineEdit* e : sheet.findChildren<QLineEdit*>())
            if (e->placeholderText() == "Name") return e;
        return nullptr;
    }
    QPushButton* matchButton(const QWidget& sheet) {
        for (auto* b : sheet.findChildren<QPushButton*>())
            if (b->toolTip() == "Match the sequence to the selected clip") return b;
        return nullptr;
    }
    const Sequence& sequence() { return document.project().sequence; }

    Uuid pictureClip, soundClip, titleClip, missingClip, pictureID;
};

} // namespace

TEST_F(SequenceSettingsTest, SizesAreEvenFrom16To8192AndApplyIsOneStep) {
    // Typed width → stored side: below 17 is 16, odd rounds down, above 8192 is 8192.
    for (auto [typed, stored] : {std::pair{"0", 16},
                                 {"-5", 16},
                                 {"15", 16},
                                 {"16", 16},
                                 {"17", 16},
                                 {"1921", 1920},
                                 {"1920", 1920},
                                 {"8192", 8192},
                                 {"8193", 8192},
                                 {"1000000", 8192}}) {
        auto sheet = makeSheet();
        retype(field(*sheet, "Width"), typed);
        retype(field(*sheet, "Height"), typed);
        QLabel* note = findByText<QLabel>(
            *sheet, "Width and height go up to 8192 pixels; Apply sets a larger value to 8192.");
        EXPECT_EQ(note->isVisible(), QString(typed).toLongLong() > 8192) << typed;
        if (QString(typed) == "1000000") writePicture(*sheet, "sequence-settings-too-large.png");
        QTest::keyClick(sheet.get(), Qt::Key_Return);
        EXPECT_FALSE(sheet->isVisible());
        EXPECT_EQ(sequence().width, stored) << typed;
        EXPECT_EQ(sequence().height, stored) << typed;
    }
    // Every apply that changed something is one step under one name; undo goes back a whole step.
    ASSERT_GT(document.undoStack()->count(), 0);
    for (int i = 0; i < document.undoStack()->count(); ++i)
        EXPECT_EQ(document.undoStack()->text(i), "Sequence Settings");
    const auto before = document.undoStack()->count();
    auto sheet = makeSheet();
    // Sizes are plain digits in every locale, never "8,192"; digits grouped the locale's way still read.
    EXPECT_EQ(field(*sheet, "Width")->text(), "8192") << "reopened with the stored value";
    {
        sheets::IntegerField german(QStringLiteral("Width"));
        german.setLocale(QLocale(QLocale::German, QLocale::Germany));
        german.setValue(1920);
        EXPECT_EQ(german.text(), "1920");
        EXPECT_EQ(german.read(QStringLiteral("1.920")), 1920);
        EXPECT_EQ(german.read(QStringLiteral("19x")), std::nullopt);
    }
    retype(field(*sheet, "Width"), "1921");
    findByText(*sheet, "Apply")->click();
    EXPECT_EQ(document.undoStack()->count(), before + 1);
    document.undoStack()->undo();
    EXPECT_EQ(sequence().width, 8192);
}

TEST_F(SequenceSettingsTest, NamesPresetsAndCancel) {
    auto sheet = makeSheet();
    writePicture(*sheet, "sequence-settings.png");
    const Project before = document.project();
    retype(nameField(*sheet), "Other");
    findByText(*sheet, "3840×2160")->click();
    EXPECT_EQ(sheet->draft().width, 3840);
    EXPECT_EQ(sheet->draft().height, 2160);
    EXPECT_EQ(sheet->draft().rate, (FrameRate{25, 1})) << "a preset keeps the rate";
    EXPECT_EQ(sheet->draft().name, "Other") << "and the name";
    findByText(*sheet, "Cancel")->click();
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_EQ(document.project(), before);
    EXPECT_EQ(document.undoStack()->count(), 0);

    // An empty name keeps the old one; a single blank is a name.
    sheet = makeSheet();
    retype(nameField(*sheet), "");
    findByText(*sheet, "Apply")->click();
    EXPECT_EQ(sequence().name, "Cut");
    sheet = makeSheet();
    retype(nameField(*sheet), " ");
    findByText(*sheet, "Apply")->click();
    EXPECT_EQ(sequence().name, " ");
}

TEST_F(SequenceSettingsTest, MatchOnlyForASelectedPicture) {
    for (const std::optional<Uuid>& selected : {std::optional<Uuid>{}, std::optional(titleClip),
                                                std::optional(missingClip), std::optional(soundClip)}) {
        model.setSelectedClipIDs(selected ? std::vector{*selected} : std::vector<Uuid>{});
        auto sheet = makeSheet();
        EXPECT_FALSE(matchButton(*sheet)->isVisible());
        EXPECT_FALSE(sheet->matchSource());
    }
    model.setSelectedClipIDs({titleClip, pictureClip});
    auto sheet = makeSheet();
    QPushButton* match = matchButton(*sheet);
    ASSERT_TRUE(match->isVisible());
    EXPECT_EQ(match->text(), "Match 3840×1600, 29.97 fps");
    match->click();
    EXPECT_EQ(sheet->draft().width, 3840);
    EXPECT_EQ(sheet->draft().height, 1600);
    EXPECT_EQ(sheet->draft().rate, (FrameRate{30000, 1001}));
    writePicture(*sheet, "sequence-settings-match.png");

    // A source without a rate gives its size only; the title names the nearest preset all the same.
    Project p = document.project();
    p.media.mut(0).nominalFrameRate = 0;
    document.setProject(p);
    ASSERT_TRUE(waitUntil([&] { return match->text() == "Match 3840×1600, 23.976 fps"; }));
    sheet = makeSheet();
    matchButton(*sheet)->click();
    EXPECT_EQ(sheet->draft().width, 3840);
    EXPECT_EQ(sheet->draft().rate, (FrameRate{25, 1}));
}

TEST(ShortcutsSheet, TheTwentySixRowsInOrderAndReturnCloses) {
    const std::vector<std::pair<QString, QString>> expected{
        {"Space", "Play or pause"},
        {"J  K  L", "Reverse, stop, forward. Repeat J or L to go 2×, 4×, 8×."},
        {"← →", "Step one frame. Shift steps five."},
        {"↑ ↓", "Previous or next edit"},
        {"Home / End", "Start or end of the focused monitor"},
        {"I / O", "Mark in and out on the focused monitor"},
        {"Shift+I / Shift+O", "Go to in / out on the focused monitor"},
        {",", "Insert source in/out at the playhead and ripple"},
        {".", "Overwrite the targeted track at the playhead"},
        {"Q / W", "Ripple trim the previous or next edit to the playhead"},
        {"Alt+← →", "Slip the selection one frame. Shift slips five."},
        {"Alt+↑ ↓", "Slide the selection one frame. Shift slides five."},
        {"[ ]", "Roll the selected cut one frame. Shift rolls five."},
        {"M", "Add or remove a marker. Shift+M next, Alt+M previous."},
        {"Alt+X", "Clear in and out on the focused monitor"},
        {"V / C", "Selection tool, razor"},
        {"S", "Toggle snapping"},
        {"Ctrl+K", "Split targeted tracks at the playhead"},
        {"Backspace", "Lift delete, leaving a gap"},
        {"Shift+Backspace", "Ripple delete on the affected tracks"},
        {"Ctrl+I", "Import"},
        {"Ctrl+M", "Export"},
        {"Ctrl+T", "Add a title at the playhead"},
        {"+  \u2212  \\", "Zoom the timeline, or fit it"},
        {"Alt+drag", "Move a clip without its linked pair"},
        {"Pinch or Ctrl+scroll", "Zoom the timeline under the pointer"},
    };
    ShortcutsSheet sheet;
    sheet.show();
    writePicture(sheet, "shortcuts-sheet.png");
    // The labels in reading order: the title, then key and action of each row.
    QList<QLabel*> labels = sheet.findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 1 + 2 * 26);
    EXPECT_EQ(labels[0]->text(), "Keyboard");
    int actionLeft = -1;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        QLabel* keys = labels[static_cast<int>(1 + 2 * i)];
        QLabel* action = labels[static_cast<int>(2 + 2 * i)];
        EXPECT_EQ(keys->text(), expected[i].first) << i;
        EXPECT_EQ(action->text(), expected[i].second) << i;
        EXPECT_EQ(keys->width(), ShortcutsSheet::keyColumnWidth) << i;
        // Every action starts at the same place, below the one before.
        if (actionLeft < 0) actionLeft = action->x();
        EXPECT_EQ(action->x(), actionLeft) << i;
        EXPECT_GE(action->y(), keys->y() - 1) << i;
    }
    EXPECT_EQ(labels.back()->geometry().bottom() < findByText(sheet, "Close")->y(), true);
    QTest::keyClick(&sheet, Qt::Key_Return);
    EXPECT_FALSE(sheet.isVisible());
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
}

// The arrow keys are drawn about as tall as the capitals beside them, and each row's keys and action
// stand on one baseline even when the sans face's proportions differ from the key face's.
TEST(ShortcutsSheet, ArrowsAreLetterSizedAndEachRowSitsOnOneBaseline) {
    const QFont font = QApplication::font();
    QFont serif(QStringLiteral("C059"));
    serif.setPixelSize(13);
    QApplication::setFont(serif);
    {
        ShortcutsSheet sheet;
        sheet.show();
        QCoreApplication::processEvents();
        const QImage picture = sheet.grab().toImage();
        // The first and last rows holding ink inside a label.
        const auto inkRows = [&](const QWidget* label) {
            const QRect r(label->mapTo(&sheet, QPoint(0, 0)), label->size());
            const int paper = qGray(picture.pixel(r.topLeft()));
            int first = -1, last = -1;
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x)
                    if (std::abs(qGray(picture.pixel(x, y)) - paper) > 40) {
                        if (first < 0) first = y;
                        last = y;
                        break;
                    }
            return std::pair{first, last};
        };
        const QList<QLabel*> labels = sheet.findChildren<QLabel*>();
        ASSERT_EQ(labels.size(), 1 + 2 * 26);
        const auto row = [&](int i) { return std::pair{labels[1 + 2 * i], labels[2 + 2 * i]}; };
        // "Alt+X" beside "Clear in and out on the focused monitor": no letter of either goes below the
        // baseline, so their ink ends on the same row.
        const auto [altX, clear] = row(14);
        ASSERT_EQ(altX->text(), "Alt+X");
        EXPECT_NEAR(inkRows(altX).second, inkRows(clear).second, 1);
        const auto [arrows, step] = row(2);
        ASSERT_EQ(arrows->text(), QString::fromUtf8("← →"));
        const auto [arrowTop, arrowBottom] = inkRows(arrows);
        const auto [capitalTop, capitalBottom] = inkRows(altX);
        EXPECT_GE(arrowBottom - arrowTop, (capitalBottom - capitalTop) * 7 / 10);
        EXPECT_LE(arrowBottom, inkRows(step).second + 1);
    }
    QApplication::setFont(font);
}
