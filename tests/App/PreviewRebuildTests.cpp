#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "App/EditorModel.hpp"
#include "BuildGate.hpp"
#include "EditorModelTestAccess.hpp"
#include "Engine/PlateStore.hpp"
#include "FakePlayer.hpp"
#include "MediaFixtures.hpp"

using namespace osterveil;
using testsupport::BuildGate;
using testsupport::FakePlayer;

namespace {

struct Recorder {
    std::mutex mutex;
    std::vector<Project> built;
    std::vector<media::Size> sizes;
    std::atomic<int> thumbnails{0}, waveforms{0}, unreadable{0};
};

struct PreviewFixture : ::testing::Test {
    FakePlayer* player = new FakePlayer;
    std::unique_ptr<EditorModel> model = std::make_unique<EditorModel>(std::unique_ptr<PlayerControl>(player),
                                                                       std::make_unique<FakePlayer>());
    ProjectDocument document;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<BuildGate> gate = std::make_shared<BuildGate>();
    std::vector<Uuid> offline;

    void SetUp() override {
        EditorModel::PreviewServices services;
        services.build = [recorder = recorder, gate = gate, this](const Project& project,
                                                                 const std::optional<std::filesystem::path>&,
                                                                 media::Size size) {
            gate->pass();
            if (project.sequence.name == "Broken") throw media::Error("The sequence could not be built.");
            std::lock_guard lock(recorder->mutex);
            recorder->built.push_back(project);
            recorder->sizes.push_back(size);
            CompositionBuild build;
            build.composition = std::make_shared<media::Composition>();
            build.offline = offline;
            return build;
        };
        services.thumbnail = [recorder = recorder](const MediaItem&, const std::optional<std::filesystem::path>&) {
            ++recorder->thumbnails;
            return std::optional<QImage>(QImage(4, 4, QImage::Format_RGB32));
        };
        services.peaks = [recorder = recorder](const MediaItem& item, const std::optional<std::filesystem::path>&) {
            // An unreadable file gives no outline and is asked for again later.
            if (item.name == "unreadable.wav") {
                ++recorder->unreadable;
                return std::vector<float>{};
            }
            ++recorder->waveforms;
            return std::vector<float>(1400, 0.5f);
        };
        model->setPreviewServices(std::move(services));
        model->followDocument(&document);
    }

    int builds() {
        std::lock_guard lock(recorder->mutex);
        return static_cast<int>(recorder->built.size());
    }
    // Waits for the rebuild in flight to land.
    bool settle(int timeoutMs = 2000) {
        // The document announces its change one event-loop turn later.
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        const bool done =
            QTest::qWaitFor([&] { return !model->isBuilding() && !model->rebuilds().isPending(); }, timeoutMs);
        // The player's reports of the applied item arrive a turn later.
        QCoreApplication::processEvents();
        return done;
    }
    void rename(const std::string& name) {
        Project p = document.project();
        p.sequence.name = name;
        document.setProject(p);
    }
};

MediaItem mediaItem(std::string name, MediaKind kind, bool hasAudio) {
    MediaItem item;
    item.id = Uuid::make();
    item.name = std::move(name);
    item.kind = kind;
    item.hasVideo = kind != MediaKind::audio;
    item.hasAudio = hasAudio;
    return item;
}

} // namespace

using PreviewRebuild = PreviewFixture;

TEST_F(PreviewRebuild, BurstOfChangesBuildsOnceTheLastProjectAtPreviewScale) {
    ASSERT_TRUE(settle());
    const int before = builds();
    QElapsedTimer clock;
    clock.start();
    for (const char* name : {"One", "Two", "Three"}) {
        rename(name);
        QTest::qWait(10);
    }
    // A machine too busy to keep the changes inside one wait may fairly build twice.
    const bool burst = clock.elapsed() < 35;
    ASSERT_TRUE(settle());
    QTest::qWait(60);
    if (burst) {
        ASSERT_EQ(builds(), before + 1);
    }
    std::lock_guard lock(recorder->mutex);
    EXPECT_EQ(recorder->built.back().sequence.name, "Three");
    // Half of 1920×1080 by default.
    EXPECT_EQ(recorder->sizes.back().width, 960);
    EXPECT_EQ(recorder->sizes.back().height, 540);
    EXPECT_EQ(model->status().toStdString(), "Three   1920×1080   24 fps   Preview Half");
}

TEST_F(PreviewRebuild, StaleResultIsDroppedAndTheNewestApplied) {
    ASSERT_TRUE(settle());
    gate->close();
    rename("Old");
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->isBuilding(); }, 2000));
    rename("New"); // scheduled while "Old" is held on its worker
    QTest::qWait(80);
    gate->release();
    ASSERT_TRUE(settle());
    QTest::qWait(30);
    EXPECT_TRUE(model->status().startsWith("New"));
    ASSERT_TRUE(player->item());
    EXPECT_EQ(builds() >= 2, true);
}

TEST_F(PreviewRebuild, ApplyKeepsPlayheadAndRate) {
    ASSERT_TRUE(settle());
    EditorModelTestAccess{*model}.setCurrentTime(3.5);
    player->tick(3.5);
    player->setRate(2);
    rename("Playing");
    ASSERT_TRUE(settle());
    EXPECT_EQ(player->rate(), 2);
    ASSERT_FALSE(player->seeks.empty());
    EXPECT_EQ(player->seeks.back().time, CompositionBuilder::mediaTime(3.5));
    EXPECT_EQ(player->seeks.back().toleranceBefore, media::Time::zero());

    // Paused stays paused, and a playhead before 0 starts the new item at 0.
    player->setRate(0);
    EditorModelTestAccess{*model}.setCurrentTime(-1);
    const auto ratesBefore = player->rates.size();
    rename("Paused");
    ASSERT_TRUE(settle());
    EXPECT_EQ(player->rates.size(), ratesBefore);
    EXPECT_EQ(player->seeks.back().time, media::Time::zero());
}

TEST_F(PreviewRebuild, StatusLineNamesQualityAndOfflineCount) {
    Project p = ProjectDocument::newProject();
    p.sequence.name = "Sequence 01";
    p.sequence.frameRate = FrameRate{30, 1};
    const auto line = [&](double scale) {
        p.sequence.previewScale = scale;
        return model->statusLine(p);
    };
    EXPECT_EQ(line(0.5).toStdString(), "Sequence 01   1920×1080   30 fps   Preview Half");
    EXPECT_EQ(line(1.5).toStdString(), "Sequence 01   1920×1080   30 fps   Preview Full");
    EXPECT_EQ(line(0.99).toStdString(), "Sequence 01   1920×1080   30 fps   Preview Full");
    EXPECT_EQ(line(0.49).toStdString(), "Sequence 01   1920×1080   30 fps   Preview Half");
    EXPECT_EQ(line(0.48).toStdString(), "Sequence 01   1920×1080   30 fps   Preview Quarter");

    // The offline count comes from the applied build.
    ASSERT_TRUE(settle());
    offline = {Uuid::make(), Uuid::make()};
    Project q = document.project();
    q.sequence.name = "Sequence 01";
    q.sequence.frameRate = FrameRate{30, 1};
    q.sequence.previewScale = 0.1;
    document.setProject(q);
    ASSERT_TRUE(settle());
    EXPECT_EQ(model->offlineIDs().size(), 2u);
    EXPECT_EQ(model->status().toStdString(), "Sequence 01   1920×1080   30 fps   Preview Quarter  ·  2 offline");
    std::lock_guard lock(recorder->mutex);
    EXPECT_EQ(recorder->sizes.back().width, 480);
}

TEST_F(PreviewRebuild, FailedBuildReportsAndKeepsThePreviousItem) {
    ASSERT_TRUE(settle());
    const int itemChanges = player->itemChanges;
    rename("Broken");
    ASSERT_TRUE(settle());
    EXPECT_EQ(model->status().toStdString(), "The sequence could not be built.");
    EXPECT_FALSE(model->isBuilding());
    EXPECT_EQ(player->itemChanges, itemChanges);
}

TEST_F(PreviewRebuild, ModelClosedDuringBuildIsSafe) {
    ASSERT_TRUE(settle());
    gate->close();
    rename("Closing");
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->isBuilding(); }, 2000));
    // The window's going tells whatever still runs for it to stop.
    const std::stop_token work = model->workToken();
    model.reset();
    EXPECT_TRUE(work.stop_requested());
    gate->release();
    QTest::qWait(50); // the result arrives for a model that is gone
    EXPECT_GE(builds(), 1);
}

TEST_F(PreviewRebuild, ThumbnailsAndWaveformsLoadOncePerItem) {
    Project p = document.project();
    for (auto item : {mediaItem("clip.mov", MediaKind::video, true), mediaItem("still.png", MediaKind::image, false),
                      mediaItem("tone.wav", MediaKind::audio, true), mediaItem("unreadable.wav", MediaKind::audio, true)})
        p.media.push_back(item);
    document.setProject(p);
    // Several changes before any request finishes.
    model->loadAuxiliary();
    model->loadAuxiliary();
    // Every answer has come back, the unreadable file's too, which leaves no outline to show for it.
    const EditorModelTestAccess access{*model};
    ASSERT_TRUE(QTest::qWaitFor([&] { return access.picturesSettled(); }, 20000));
    EXPECT_EQ(recorder->thumbnails.load(), 2);
    EXPECT_TRUE(model->thumbnails().contains(p.media[0].id));
    EXPECT_TRUE(model->thumbnails().contains(p.media[1].id));
    EXPECT_TRUE(model->waveforms().contains(p.media[2].id));
    EXPECT_FALSE(model->waveforms().contains(p.media[3].id));
    EXPECT_EQ(recorder->waveforms.load(), 2);

    // Only the empty outline is asked for again (the document's own change notice may have asked
    // already, depending on when the first answer came back).
    const int asked = recorder->unreadable.load();
    EXPECT_GE(asked, 1);
    model->loadAuxiliary();
    EXPECT_FALSE(access.picturesSettled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return access.picturesSettled(); }, 20000));
    EXPECT_EQ(recorder->unreadable.load(), asked + 1);
    EXPECT_EQ(recorder->waveforms.load(), 2);
    EXPECT_EQ(recorder->thumbnails.load(), 2);
}

// Pictures of 40 new items are held on their workers; an edit's preview still builds, and lands with
// one refresh of the window and one request to the player.
TEST_F(PreviewRebuild, APreviewNeverWaitsBehindPicturesOfMedia) {
    ASSERT_TRUE(settle());
    auto pictures = std::make_shared<BuildGate>();
    pictures->close();
    EditorModel::PreviewServices services = EditorModel::defaultPreviewServices();
    services.build = [recorder = recorder](const Project& project, const std::optional<std::filesystem::path>&,
                                           media::Size) {
        std::lock_guard lock(recorder->mutex);
        recorder->built.push_back(project);
        CompositionBuild build;
        build.composition = std::make_shared<media::Composition>();
        return build;
    };
    services.thumbnail = [pictures](const MediaItem&, const std::optional<std::filesystem::path>&) {
        pictures->pass();
        return std::optional<QImage>();
    };
    services.peaks = [pictures](const MediaItem&, const std::optional<std::filesystem::path>&) {
        pictures->pass();
        return std::vector<float>();
    };
    model->setPreviewServices(std::move(services));
    Project p = document.project();
    for (int i = 0; i < 40; ++i)
        p.media.push_back(mediaItem("clip" + std::to_string(i) + ".mov", MediaKind::video, true));
    const int before = builds();
    document.setProject(p);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return builds() > before && !model->isBuilding() && !model->rebuilds().isPending(); }, 20000));
    QCoreApplication::processEvents();

    int refreshes = 0;
    QObject::connect(model.get(), &EditorModel::changed, [&] { ++refreshes; });
    const int replaced = player->replacements, items = player->itemChanges;
    const auto seeks = player->seeks.size();
    rename("Edited");
    const bool landed = QTest::qWaitFor([&] { return model->status().startsWith("Edited"); }, 20000);
    pictures->release();
    ASSERT_TRUE(landed);
    QCoreApplication::processEvents();
    EXPECT_EQ(refreshes, 2); // the edit, and the status line that names the sequence anew
    EXPECT_EQ(player->replacements, replaced + 1);
    EXPECT_EQ(player->itemChanges, items + 1);
    EXPECT_EQ(player->seeks.size(), seeks + 1);
}

// Typing in a title of a UHD sequence: each keystroke's rebuild sets the title in type on its worker.
// With that work held there, every keystroke still reaches the document and the model while the GUI
// thread turns its event loop; let go, the preview that lands has the last letter typed. How long the
// GUI thread goes without turning is a benchmark figure (BM_TypeTitleAtUHD).
TEST_F(PreviewRebuild, TypingATitleAtUHDNeverWaitsOnItsBuild) {
    static PlateStore plates(testsupport::MediaFixtures::shared().directory() / "plate");
    auto services = EditorModel::defaultPreviewServices();
    services.build = [gate = gate](const Project& project, const std::optional<std::filesystem::path>& url,
                                   media::Size size) {
        gate->pass();
        return CompositionBuilder::build(project, url, size, project.sequence.frameRate, plates);
    };
    model->setPreviewServices(std::move(services));
    const testsupport::OpenAtExit opened{gate};
    Project p = document.project();
    p.sequence.width = 3840;
    p.sequence.height = 2160;
    p.sequence.previewScale = 1;
    TimelineClip title;
    title.id = Uuid::make();
    title.name = "Title";
    title.duration = 5;
    title.title = TitleStyle{};
    p.sequence.tracks.mut(0).clips.push_back(title);
    document.setProject(p);
    ASSERT_TRUE(settle(60000));

    // A caption, its last words typed one letter at a time.
    const std::string typed = "Osterveil, seen from the harbour wall at first light: the fishing boats come in "
                              "one by one, the gulls follow them, and the town wakes to the sound of the bell "
                              "from the old church on the hill. " +
                              std::to_string(QCoreApplication::applicationPid());
    const auto type = [&](std::size_t letters) {
        p.sequence.updateClip(title.id, [&](TimelineClip& c) { c.title->text = typed.substr(0, letters); });
        document.setProject(p);
    };
    // Were the GUI thread to wait on the held build, the gate opens after a while: a failure, not a hang.
    std::atomic<bool> forced{false};
    std::jthread watchdog([&](std::stop_token stop) {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock lock(mutex);
        wake.wait_for(lock, stop, std::chrono::seconds(60), [] { return false; });
        if (stop.stop_requested()) return;
        forced = true;
        gate->release();
    });

    gate->close();
    type(typed.size() - 3);
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->isBuilding(); }, 60000));
    QSignalSpy announced(&document, &ProjectDocument::projectChanged);
    const int itemChanges = player->itemChanges;
    for (std::size_t n = typed.size() - 2; n <= typed.size(); ++n) {
        const Uuid token = model->rebuilds().token();
        type(n);
        // The model takes the keystroke up on a later turn of the loop and asks for a newer preview.
        ASSERT_TRUE(QTest::qWaitFor([&] { return model->rebuilds().token() != token; }, 60000));
        EXPECT_TRUE(model->isBuilding());
        EXPECT_EQ(player->itemChanges, itemChanges);
    }
    EXPECT_EQ(announced.count(), 3);
    EXPECT_FALSE(forced);

    gate->release();
    ASSERT_TRUE(settle(120000));
    EXPECT_GT(player->itemChanges, itemChanges);
    ASSERT_TRUE(player->item() && player->item()->build() && player->item()->build()->images);
    const ImageSet& pictures = *player->item()->build()->images;
    const std::string finalKey = "title:" + typed + "|";
    EXPECT_TRUE(std::any_of(pictures.begin(), pictures.end(),
                            [&](const auto& picture) { return picture.first.starts_with(finalKey); }));
}
