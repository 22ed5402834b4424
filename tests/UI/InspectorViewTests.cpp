#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QTest>

#include "../App/EditorCommandSupport.hpp"
#include "UI/Color/ColorPanel.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/SliderRow.hpp"
#include "UI/Inspector/InspectorView.hpp"

using namespace osterveil;

namespace {

// The inspector of a window whose V1 holds a clip and a title and whose A1 holds a sound clip.
struct InspectorTest : testsupport::CommandFixture {
    void SetUp() override {
        start.sequence.frameRate = {25, 1};
        clip = put(V1, 0, 2);
        sound = put(A1, 0, 2);
        titleClip = put(V1, 4, 3);
        track(V1).clips.mut(1).title = TitleStyle{};
        track(V1).clips.mut(1).name = "Title";
        open();
        view.resize(320, 1400);
        view.show();
        settle();
    }
    static void settle() {
        for (int i = 0; i < 3; ++i)
            QApplication::processEvents();
    }
    void select(std::vector<Uuid> ids) {
        model.setSelectedClipIDs(std::move(ids));
        settle();
    }
    template <class T> T* child(const QString& name) {
        auto* found = view.findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }
    bool shown(const char* name) { return child<QWidget>(QString::fromLatin1(name))->isVisibleTo(&view); }
    TimelineClip current(const Uuid& id) const { return *project().sequence.clip(id); }
    void drag(DoubleSlider* slider, int dx) {
        const QPoint from = slider->thumbRect().center();
        QTest::mousePress(slider, Qt::LeftButton, {}, from);
        for (int step = 1; step <= 4; ++step) {
            QTest::mouseMove(slider, from + QPoint(dx * step / 4, 0));
            settle();
        }
        QTest::mouseRelease(slider, Qt::LeftButton, {}, from + QPoint(dx, 0));
        settle();
    }

    Uuid clip, sound, titleClip;
    InspectorView view{model};
};

} // namespace

TEST_F(InspectorTest, ShowsTheEmptyStateTheHeaderAndTheSectionsEachClipHas) {
    EXPECT_TRUE(shown("emptyState"));
    const QWidget* header = view.findChild<QWidget*>(QStringLiteral("clipHeader"));
    EXPECT_TRUE(!header || !header->isVisibleTo(&view));
    select({Uuid::make()});
    EXPECT_TRUE(shown("emptyState"));
    EXPECT_FALSE(view.clip().has_value());

    select({clip});
    EXPECT_FALSE(shown("emptyState"));
    EXPECT_EQ(child<QLabel>("clipTiming")->text(), QString("00:00:00:00  \u00b7  2.00s"));
    EXPECT_FALSE(shown("multipleSelection"));
    for (const char* name : {"Compositing", "colorPanel", "Audio", "Speed", "Transitions"})
        EXPECT_TRUE(shown(name)) << name;
    EXPECT_FALSE(shown("Title"));

    select({clip, titleClip, sound});
    EXPECT_EQ(child<QLabel>("multipleSelection")->text(), "Editing the last clip of 3 selected.");
    for (const char* name : {"Compositing", "Audio", "Transitions"})
        EXPECT_TRUE(shown(name)) << name;
    for (const char* name : {"colorPanel", "Speed", "Title"})
        EXPECT_FALSE(shown(name)) << name;

    select({titleClip});
    for (const char* name : {"Compositing", "colorPanel", "Audio", "Speed", "Transitions", "Title"})
        EXPECT_TRUE(shown(name)) << name;
    EXPECT_EQ(child<WrappingLabel>("clipName")->text(), "Title");
    EXPECT_EQ(child<QLabel>("clipTiming")->text(), QString("00:00:04:00  \u00b7  3.00s"));
    EXPECT_EQ(view.findChild<ColorPanel*>()->clip(), titleClip);

    // A PNG of the title clip's inspector, for people to look at.
    QDir().mkpath(OSTERVEIL_TEST_OUTPUT_DIR);
    EXPECT_TRUE(view.grab().save(QStringLiteral(OSTERVEIL_TEST_OUTPUT_DIR "/inspector-title.png")));

    // The clip going away empties the view.
    change([&](Project& p) { p.sequence.tracks.mut(V1).clips.mut(1).id = Uuid::make(); });
    settle();
    EXPECT_TRUE(shown("emptyState"));
}

TEST(InspectorRampSummary, SummarisesTheFirstThreeSegmentsOfTheSortedRamp) {
    auto summary = [](std::vector<TimeRemapKeyframe> keys) {
        TimeRemap r;
        r.keyframes = CowArray<TimeRemapKeyframe>(keys);
        return EditorModel::rampSummary(r);
    };
    EXPECT_EQ(summary({}), "Imported speed ramp.");
    EXPECT_EQ(summary({{0, 0}, {1, 1}, {2, 1.5}}), QString("Imported ramp: 100% \u2192 50%"));
    EXPECT_EQ(summary({{2, 1.5}, {0, 0}, {1, 1}}), QString("Imported ramp: 100% \u2192 50%"));
    EXPECT_EQ(summary({{0, 0}, {1, 1}, {2, 3}, {3, 3.5}, {4, 10}, {5, 11}}),
              QString("Imported ramp: 100% \u2192 200% \u2192 50%"));
    EXPECT_EQ(summary({{1, 0}, {1, 4}}), "Imported ramp: ");
    EXPECT_EQ(summary({{0, 2}, {1, 1}}), "Imported ramp: -100%");
    EXPECT_EQ(summary({{0, 0}, {2, 0.01}}), "Imported ramp: 1%"); // 0.5 % rounds away from zero
}

TEST_F(InspectorTest, ReverseFlipsTheDirectionTheClipPlaysInOneStepEach) {
    select({clip});
    auto* reverse = child<QCheckBox>("reverse");
    auto plays = [&] { return TimeRemapMath::slices(current(clip), 0.04).front(); };
    for (double stored : {2.0, -2.0}) {
        change([&](Project& p) {
            p.sequence.updateClip(clip, [&](TimelineClip& c) { c.timeRemap = TimeRemap{.speed = stored}; });
        });
        settle();
        undo().clear();
        EXPECT_EQ(reverse->isChecked(), stored < 0);
        EXPECT_EQ(child<SliderRow>("Speed %")->valueText(), stored < 0 ? "-200.00" : "200.00");

        // Each click turns the direction over, keeps the speed's size and plays the way it shows.
        for (bool on : {stored > 0, stored < 0}) {
            reverse->click();
            settle();
            EXPECT_EQ(reverse->isChecked(), on);
            EXPECT_EQ(current(clip).timeRemap.speed, 2);
            EXPECT_EQ(current(clip).timeRemap.reversed, on);
            EXPECT_EQ(plays().reverse, on);
            EXPECT_EQ(plays().sourceDuration, 4);
        }
        EXPECT_EQ(steps(), std::vector<QString>(2, "Reverse"));
    }
}

// Undo pressed while a slider is held calls the drag off, undoes the step before it, and the rest of
// the drag records nothing: undoing later never brings back what the user undid.
TEST_F(InspectorTest, UndoDuringASliderDragCallsTheDragOffAndKeepsTheHistory) {
    select({clip});
    model.updateClip(clip, "Opacity", [](TimelineClip& c) { c.opacity.value = 0.5; });
    const Project halfway = project();
    model.updateClip(clip, "Volume", [](TimelineClip& c) { c.volumeDB.value = -6; });
    const Project quieter = project();
    settle();

    DoubleSlider* opacity = child<SliderRow>("Opacity")->slider();
    const QPoint from = opacity->thumbRect().center();
    QTest::mousePress(opacity, Qt::LeftButton, {}, from);
    QTest::mouseMove(opacity, from + QPoint(-40, 0));
    settle();
    EXPECT_NE(current(clip).opacity.value, 0.5);
    model.undo();
    settle();
    EXPECT_EQ(project(), halfway);
    QTest::mouseMove(opacity, from + QPoint(-80, 0));
    settle();
    QTest::mouseRelease(opacity, Qt::LeftButton, {}, from + QPoint(-80, 0));
    settle();
    EXPECT_EQ(project(), halfway);
    EXPECT_EQ(steps(), (std::vector<QString>{"Opacity", "Volume"}));
    EXPECT_EQ(undo().index(), 1);
    model.redo();
    EXPECT_EQ(project(), quieter);
}

TEST_F(InspectorTest, ASpeedDragOnARampedClipDropsTheRampInOneStepThatUndoRestores) {
    change([&](Project& p) {
        p.sequence.updateClip(clip, [](TimelineClip& c) {
            c.timeRemap.keyframes =
                CowArray<TimeRemapKeyframe>(std::vector<TimeRemapKeyframe>{{0, 0}, {1, 1}, {2, 1.5}});
        });
    });
    select({clip});
    EXPECT_TRUE(shown("rampSummary"));
    EXPECT_EQ(child<QLabel>("rampSummary")->text(), QString("Imported ramp: 100% \u2192 50%"));
    EXPECT_EQ(child<SliderRow>("Speed %")->valueText(), "100.00");

    drag(child<SliderRow>("Speed %")->slider(), -150);
    EXPECT_EQ(steps(), std::vector<QString>{"Speed"});
    EXPECT_TRUE(current(clip).timeRemap.keyframes.empty());
    EXPECT_FALSE(shown("rampSummary"));
    EXPECT_FALSE(shown("clearRamp"));

    undo().undo();
    settle();
    EXPECT_EQ(current(clip).timeRemap.keyframes.size(), 3u);
    EXPECT_TRUE(shown("clearRamp"));
}

TEST_F(InspectorTest, TheDissolveNoteReportsAShortDissolveBeyondTheTolerance) {
    // P has 0.3 s of media after its out point, C plenty before its in point.
    const Uuid media = addMedia(MediaKind::video, 2.3);
    const Uuid p = put(V2, 0, 2);
    const Uuid c = put(V2, 2, 2);
    track(V2).clips.mut(0).mediaID = media;
    track(V2).clips.mut(1).mediaID = media;
    track(V2).clips.mut(1).inPoint = 1;
    track(V2).clips.mut(1).incoming = {TransitionKind::crossDissolve, 1.0, TransitionCurve::linear};
    open();
    select({c});
    EXPECT_TRUE(shown("dissolveNote"));
    EXPECT_EQ(
        child<QLabel>("dissolveNote")->text(),
        "Incoming dissolve is 0.60s of the 1.00s you asked for. Trim the clips shorter so unused picture "
        "remains on both sides of the cut.");

    auto note = [&](auto edit) {
        Project changed = project();
        edit(changed);
        const Uuid id = c;
        return EditorModel::dissolveNote(changed, *changed.sequence.clip(id));
    };
    // 0.99 s of 1.00 s is within the tolerance.
    EXPECT_FALSE(note([](Project& pr) { pr.media.mut(0).duration = 2.495; }));
    // A gap of more than a frame achieves nothing.
    EXPECT_TRUE(note([&](Project& pr) {
                    pr.sequence.updateClip(c, [](TimelineClip& x) { x.start = 2.5; });
                })->startsWith("Incoming dissolve is 0.00s of the 1.00s"));
    // The first clip of the track and an outgoing dissolve never get one.
    EXPECT_FALSE(
        note([&](Project& pr) { pr.sequence.updateClip(c, [](TimelineClip& x) { x.start = -3; }); }));
    EXPECT_FALSE(note([&](Project& pr) {
        pr.sequence.updateClip(c, [](TimelineClip& x) { std::swap(x.incoming, x.outgoing); });
    }));
    (void)p;
}

TEST_F(InspectorTest, AnIncomingDissolveOnALinkedClipDissolvesItsPartnerInOneStep) {
    const Uuid group = Uuid::make();
    const Uuid picture = put(V2, 0, 2, group);
    const Uuid partner = put(A2, 0, 2, group);
    open();
    select({picture});
    auto* incoming = child<QComboBox>("IncomingKind");
    auto* outgoing = child<QComboBox>("OutgoingKind");
    auto* incomingDuration = child<QWidget>("Incoming")->findChild<SliderRow*>("Duration");
    EXPECT_FALSE(incomingDuration->isVisibleTo(&view));

    emit incoming->activated(1);
    settle();
    EXPECT_EQ(steps(), std::vector<QString>{"Incoming Transition"});
    const ClipTransition dissolve{TransitionKind::crossDissolve, 0.5, TransitionCurve::linear};
    EXPECT_EQ(current(picture).incoming, dissolve);
    EXPECT_EQ(current(partner).incoming, dissolve);
    EXPECT_TRUE(incomingDuration->isVisibleTo(&view));
    EXPECT_EQ(incomingDuration->valueText(), "0.50");

    // Outgoing edits and other kinds touch the inspected clip alone; the curve follows the kind.
    emit outgoing->activated(3);
    emit incoming->activated(5);
    settle();
    EXPECT_EQ(current(picture).outgoing.curve, TransitionCurve::equalPower);
    EXPECT_EQ(current(picture).incoming.curve, TransitionCurve::exponential);
    EXPECT_EQ(current(partner).outgoing.kind, TransitionKind::none);
    EXPECT_EQ(current(partner).incoming, dissolve);
    EXPECT_EQ(steps().size(), 3u);

    undo().undo();
    undo().undo();
    undo().undo();
    settle();
    EXPECT_EQ(current(partner).incoming.kind, TransitionKind::none);
    EXPECT_EQ(incoming->currentIndex(), 0);
}

TEST_F(InspectorTest, TypedTitleTextBecomesOneStepOnReturnOnLeavingTheFieldAndOnAnotherClip) {
    select({titleClip});
    QApplication::setActiveWindow(&view);
    auto* text = child<TitleTextEdit>("titleText");
    auto* color = child<QLineEdit>("titleColor");
    text->setFocus();
    text->selectAll();
    QTest::keyClicks(text, "Hi!");
    settle();
    EXPECT_EQ(current(titleClip).title->text, "Hi!");
    EXPECT_EQ(current(titleClip).name, "Hi!");
    EXPECT_TRUE(steps().empty());
    QTest::keyClick(text, Qt::Key_Return);
    settle();
    EXPECT_EQ(steps(), std::vector<QString>{"Title"});
    EXPECT_FALSE(model.isTransientEditOpen());

    // Typing and then clicking elsewhere: its own step, not folded into the next edit.
    QTest::keyClick(text, Qt::Key_Backspace);
    QTest::mouseClick(color, Qt::LeftButton);
    settle();
    EXPECT_EQ(steps(), (std::vector<QString>{"Title", "Title"}));
    EXPECT_EQ(current(titleClip).title->text, "Hi");

    // A colour typed without Return, then another clip selected: one "Title Color" step.
    QTest::keyClicks(color, "00FF00");
    select({clip});
    EXPECT_EQ(steps(), (std::vector<QString>{"Title", "Title", "Title Color"}));
    EXPECT_EQ(current(titleClip).title->colorHex, "#F4F1EA00FF00");
    EXPECT_FALSE(model.isTransientEditOpen());

    // Escape elsewhere now has nothing to throw away; Escape in the field keeps the typing as its step.
    model.cancelTransientEdit();
    select({titleClip});
    QTest::keyClicks(color, "#");
    QTest::keyClick(color, Qt::Key_Escape);
    model.cancelTransientEdit();
    settle();
    EXPECT_EQ(current(titleClip).title->colorHex, "#F4F1EA00FF00#");
    EXPECT_EQ(steps().size(), 4u);
    undo().undo();
    EXPECT_EQ(current(titleClip).title->text, "Hi");
    undo().undo();
    undo().undo();
    settle();
    EXPECT_EQ(current(titleClip).title->text, "Hi!");
    undo().undo();
    EXPECT_EQ(current(titleClip).title->text, "Title");
    EXPECT_EQ(current(titleClip).name, "Title");
}

TEST_F(InspectorTest, ASizeDragIsOneStepWithinTheSizeRange) {
    select({titleClip});
    SliderRow* size = child<SliderRow>("Size");
    EXPECT_EQ(size->valueText(), "96.00");
    drag(size->slider(), 2000);
    EXPECT_EQ(steps(), std::vector<QString>{"Title Size"});
    EXPECT_EQ(current(titleClip).title->fontSize, 240);
    drag(size->slider(), -2000);
    EXPECT_EQ(current(titleClip).title->fontSize, 18);
    EXPECT_EQ(size->valueText(), "18.00");
    EXPECT_EQ(steps(), (std::vector<QString>{"Title Size", "Title Size"}));
}

// Each control writes its own field of the inspected clip under its own undo name.
TEST_F(InspectorTest, EachControlWritesItsFieldUnderItsOwnUndoName) {
    change([&](Project& p) {
        p.sequence.updateClip(clip, [](TimelineClip& c) { c.timeRemap.keyframes = {{0, 0}, {1, 1}}; });
    });
    select({clip});
    drag(child<SliderRow>("Opacity")->slider(), -100);
    EXPECT_LT(current(clip).opacity.value, 1);
    EXPECT_EQ(current(clip).volumeDB.value, 0);
    drag(child<SliderRow>("Volume dB")->slider(), -100);
    EXPECT_LT(current(clip).volumeDB.value, 0);
    child<QCheckBox>("frameBlending")->click();
    settle();
    EXPECT_TRUE(current(clip).timeRemap.frameBlending);
    child<TextButton>("clearRamp")->click();
    settle();
    EXPECT_TRUE(current(clip).timeRemap.keyframes.empty());
    EXPECT_EQ(current(clip).timeRemap.speed, 1);
    emit child<QComboBox>("OutgoingKind")->activated(2);
    settle();
    EXPECT_EQ(current(clip).outgoing.kind, TransitionKind::fade);
    EXPECT_EQ(current(clip).incoming.kind, TransitionKind::none);
    drag(child<QWidget>("Outgoing")->findChild<SliderRow*>("Duration")->slider(), 60);
    EXPECT_GT(current(clip).outgoing.duration, 0.5);
    EXPECT_EQ(current(clip).outgoing.kind, TransitionKind::fade);
    EXPECT_EQ(steps(), (std::vector<QString>{"Opacity", "Volume", "Frame Blending", "Clear Remap",
                                             "Outgoing Transition", "Transition Duration"}));

    select({titleClip});
    emit child<QComboBox>("titleFont")->activated(4);
    emit child<QComboBox>("titleAlign")->activated(2);
    emit child<QComboBox>("titleVertical")->activated(0);
    settle();
    const TitleStyle title = *current(titleClip).title;
    EXPECT_EQ(title.fontName, "Gill Sans");
    EXPECT_EQ(title.alignment, TitleAlignment::right);
    EXPECT_EQ(title.vertical, TitleVertical::top);
    const std::vector<QString> names = steps();
    ASSERT_EQ(names.size(), 9u);
    EXPECT_EQ(std::vector<QString>(names.end() - 3, names.end()),
              (std::vector<QString>{"Title Font", "Title Alignment", "Title Position"}));
}

// A clip name that is one long word breaks inside the word over the header's two lines and ends in
// "…", instead of running past the panel's edge.
TEST_F(InspectorTest, AClipNameOfOneLongWordBreaksInsideItAndEndsInAnEllipsis) {
    change([&](Project& p) {
        p.sequence.updateClip(clip, [](TimelineClip& c) { c.name = "A001_C014_0412RX_" + std::string(80, 'W'); });
    });
    select({clip});
    auto* name = child<WrappingLabel>("clipName");
    const QStringList lines = name->lines(name->width());
    ASSERT_EQ(lines.size(), 2);
    const QFontMetrics metrics(name->font());
    for (const QString& line : lines)
        EXPECT_LE(metrics.horizontalAdvance(line), name->width()) << line.toStdString();
    EXPECT_TRUE(lines[1].endsWith(QChar(0x2026)));
    EXPECT_EQ(name->height(), 2 * metrics.lineSpacing());
    EXPECT_LE(name->geometry().right(), view.viewport()->width() - 14);
    settle();
    EXPECT_GE(child<QWidget>("clipTiming")->y(), name->geometry().bottom());
    QDir().mkpath(OSTERVEIL_TEST_OUTPUT_DIR);
    QWidget* header = child<QWidget>("clipHeader");
    EXPECT_TRUE(view.grab(QRect(header->mapTo(&view, QPoint(-14, -14)), header->size() + QSize(28, 28)))
                    .save(QStringLiteral(OSTERVEIL_TEST_OUTPUT_DIR "/inspector-long-name.png")));
    // A short name takes one line.
    change([&](Project& p) { p.sequence.updateClip(clip, [](TimelineClip& c) { c.name = "Interview A"; }); });
    settle();
    EXPECT_EQ(name->lines(name->width()), QStringList{"Interview A"});
    EXPECT_EQ(name->height(), metrics.lineSpacing());
}
