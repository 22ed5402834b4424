#include "EditorCommandSupport.hpp"

using namespace osterveil;
using testsupport::CommandFixture;

namespace {

struct ClipSettings : CommandFixture {
    TimelineClip clip(const Uuid& id) { return *project().sequence.clip(id); }
};

} // namespace

// A kind chosen for an edge brings its own gain curve, and half a second where the edge had no length;
// an incoming cross dissolve reaches the linked partners in the same step, nothing else does; a clip
// that has gone is refused and the status line says why.
TEST_F(ClipSettings, TransitionsTakeTheirKindsCurveAndAnIncomingDissolveReachesLinkedPartners) {
    const Uuid link = Uuid::make();
    const Uuid picture = put(V1, 2, 4, link), sound = put(A1, 2, 4, link);
    track(V1).clips.mut(0).incoming.duration = 0;
    open();

    EXPECT_TRUE(model.setTransition(picture, ClipEdge::incoming, TransitionKind::crossDissolve));
    const ClipTransition dissolve{TransitionKind::crossDissolve, 0.5, TransitionCurve::linear};
    EXPECT_EQ(clip(picture).incoming, dissolve);
    EXPECT_EQ(clip(sound).incoming, dissolve);
    EXPECT_EQ(steps(), std::vector<QString>{"Incoming Transition"});

    model.setTransition(picture, ClipEdge::outgoing, TransitionKind::constantPower);
    EXPECT_EQ(clip(picture).outgoing.curve, TransitionCurve::equalPower);
    EXPECT_EQ(clip(sound).outgoing.kind, TransitionKind::none);
    model.setTransition(picture, ClipEdge::incoming, TransitionKind::exponentialFade);
    EXPECT_EQ(clip(picture).incoming,
              (ClipTransition{TransitionKind::exponentialFade, 0.5, TransitionCurve::exponential}));
    EXPECT_EQ(clip(sound).incoming, dissolve) << "a partner keeps its dissolve";

    model.beginTransientEdit();
    model.liveTransitionDuration(picture, ClipEdge::incoming, 1.25);
    model.liveTransitionDuration(picture, ClipEdge::incoming, 1.5);
    model.commitTransientEdit("Transition Duration");
    EXPECT_EQ(clip(picture).incoming.duration, 1.5);
    EXPECT_EQ(clip(sound).incoming.duration, 0.5);
    EXPECT_EQ(steps().back(), "Transition Duration");

    const auto before = steps();
    const EditResult refused = model.setTransition(Uuid::make(), ClipEdge::incoming, TransitionKind::fade);
    EXPECT_FALSE(refused);
    EXPECT_EQ(model.status(), refused.reason);
    EXPECT_FALSE(refused.reason.isEmpty());
    EXPECT_EQ(steps(), before);
}

// The speed slider's value is the speed the clip plays at, its sign kept in the reverse flag; changing
// the speed or the direction drops an imported ramp, frame blending and clearing the ramp keep the speed.
TEST_F(ClipSettings, SpeedKeepsItsDirectionInTheReverseFlagAndOnlyASpeedChangeDropsARamp) {
    const Uuid c = put(V1, 0, 4);
    track(V1).clips.mut(0).timeRemap.keyframes = {{0, 0}, {1, 1}, {2, 1.5}};
    open();

    model.setFrameBlending(c, true);
    EXPECT_TRUE(clip(c).timeRemap.frameBlending);
    EXPECT_EQ(clip(c).timeRemap.keyframes.size(), 3u);
    model.clearSpeedRamp(c);
    EXPECT_TRUE(clip(c).timeRemap.keyframes.empty());
    EXPECT_EQ(clip(c).timeRemap.speed, 1);
    undo().undo();
    EXPECT_EQ(clip(c).timeRemap.keyframes.size(), 3u);

    model.beginTransientEdit();
    model.liveSpeed(c, -50);
    model.commitTransientEdit("Speed");
    EXPECT_EQ(clip(c).timeRemap.speed, 0.5);
    EXPECT_TRUE(clip(c).timeRemap.reversed);
    EXPECT_TRUE(clip(c).timeRemap.keyframes.empty());
    EXPECT_EQ(clip(c).timeRemap.signedSpeed(), -0.5);

    model.setReversed(c, false);
    EXPECT_EQ(clip(c).timeRemap.signedSpeed(), 0.5);
    model.setReversed(c, true);
    EXPECT_EQ(clip(c).timeRemap.signedSpeed(), -0.5);
    EXPECT_EQ(steps(), (std::vector<QString>{"Frame Blending", "Speed", "Reverse", "Reverse"}));
}

// Typing a title names its clip as it goes ("Title" while empty) and becomes one step when committed;
// the colour is kept as typed; a title setting of a clip that is no title is refused, in the status line.
TEST_F(ClipSettings, TitleTextNamesTheClipAndTitleSettingsRefuseAClipWithoutATitle) {
    const Uuid plain = put(V2, 0, 4);
    open();
    model.addTitle();
    const Uuid title = model.selectedClipIDs().back();

    for (const char* typed : {"H", "He", "Hello"})
        model.liveTitleText(title, typed);
    model.commitTransientEdit("Title");
    EXPECT_EQ(clip(title).name, "Hello");
    EXPECT_EQ(clip(title).title->text, "Hello");
    model.liveTitleText(title, "");
    EXPECT_EQ(clip(title).name, "Title");
    model.liveTitleColor(title, "ff8800");
    model.commitTransientEdit("Title Color");
    EXPECT_EQ(clip(title).title->colorHex, "ff8800");
    model.setTitleFont(title, "Didot");
    model.setTitleAlignment(title, TitleAlignment::right);
    model.setTitleVertical(title, TitleVertical::bottom);
    EXPECT_EQ(clip(title).title->fontName, "Didot");
    EXPECT_EQ(clip(title).title->alignment, TitleAlignment::right);
    EXPECT_EQ(clip(title).title->vertical, TitleVertical::bottom);
    EXPECT_EQ(steps(), (std::vector<QString>{"Add Title", "Title", "Title Color", "Title Font",
                                             "Title Alignment", "Title Position"}));

    const EditResult refused = model.setTitleFont(plain, "Didot");
    EXPECT_FALSE(refused);
    EXPECT_EQ(model.status(), refused.reason);
    EXPECT_FALSE(model.liveTitleColor(plain, "ffffff"));
    EXPECT_FALSE(model.isTransientEditOpen());
    EXPECT_TRUE(model.liveTitleText(plain, "Renamed")) << "the name is the clip's own";
    EXPECT_EQ(clip(plain).name, "Renamed");
}

// Applying a draft: sides of at least 16 and at most 8192, even; an empty name keeps the sequence's.
// Match takes a picture source's size, and its rate only where it has a real picture rate.
TEST_F(ClipSettings, SequenceSettingsApplyEvenSidesWithinTheLimitsAndMatchAPictureSource) {
    for (const auto& [typed, stored] : std::vector<std::pair<std::int64_t, std::int64_t>>{
             {0, 16}, {-5, 16}, {15, 16}, {17, 16}, {1921, 1920}, {8192, 8192}, {9001, 8192}})
        EXPECT_EQ(EditorModel::appliedSide(typed), stored) << typed;

    const Uuid movie = addMedia(MediaKind::video, 10, 25);
    const Uuid sound = addMedia(MediaKind::audio, 10, 0);
    start.media.mut(0).width = 3840;
    start.media.mut(0).height = 1600;
    const Uuid shot = put(V1, 0, 4), tone = put(A1, 0, 4);
    track(V1).clips.mut(0).mediaID = movie;
    track(A1).clips.mut(0).mediaID = sound;
    open();

    SequenceSettingsDraft draft = SequenceSettingsDraft::from(project().sequence);
    const std::string name = draft.name;
    draft.name.clear();
    draft.width = 1921;
    draft.height = 15;
    draft.rate = {25, 1};
    model.applySequenceSettings(draft);
    EXPECT_EQ(project().sequence.name, name);
    EXPECT_EQ(project().sequence.width, 1920);
    EXPECT_EQ(project().sequence.height, 16);
    EXPECT_EQ(project().sequence.frameRate, (FrameRate{25, 1}));
    EXPECT_EQ(steps(), std::vector<QString>{"Sequence Settings"});

    EXPECT_FALSE(model.pictureSourceOfSelection());
    model.selectOnly(tone);
    EXPECT_FALSE(model.pictureSourceOfSelection()) << "sound has no picture to match";
    model.selectOnly(shot);
    const std::optional<MediaItem> source = model.pictureSourceOfSelection();
    ASSERT_TRUE(source);
    const SequenceSettingsDraft matched = SequenceSettingsDraft::from(project().sequence).matching(*source);
    EXPECT_EQ(matched.width, 3840);
    EXPECT_EQ(matched.height, 1600);
    EXPECT_EQ(matched.rate, (FrameRate{25, 1}));
    MediaItem still = *source;
    still.nominalFrameRate = 0;
    const SequenceSettingsDraft at30{.rate = {30, 1}};
    EXPECT_EQ(at30.matching(still).rate, (FrameRate{30, 1}));
}
