// Media that is there but can no longer be read, or is no longer the media it was, counts as offline
// like media that has gone: the bin, the timeline and the status line say so, the preview leaves its
// clips out, and an export that needs it fails naming the file.

#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <sys/stat.h>

#include "EditorCommandSupport.hpp"
#include "EditorModelTestAccess.hpp"
#include "Engine/SequenceExporter.hpp"
#include "Media/MediaProbe.hpp"
#include "MediaFixtures.hpp"

using namespace osterveil;
using testsupport::Fixture;
using testsupport::MediaFixtures;
namespace fs = std::filesystem;

namespace {

struct OfflineMedia : testsupport::CommandFixture {
    fs::path root() const { return folder.path().toStdString(); }
    // A movie of `seconds` at 24 fps written at `name` below the test's folder.
    fs::path movie(const std::string& name, int seconds) {
        const fs::path file = root() / name;
        testsupport::MovieRecipe recipe;
        recipe.frames = 24 * seconds;
        testsupport::writeMovie(file, recipe);
        return file;
    }
    // An item made by probing `file`, placed whole on V1 at `at`.
    Uuid place(const fs::path& file, double at) {
        MediaItem item = MediaProbe::makeItem(file, std::nullopt);
        start.media.push_back(item);
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = item.id;
        c.name = item.name;
        c.start = at;
        c.duration = item.duration;
        track(V1).clips.push_back(c);
        return item.id;
    }
    // An item naming `file`, which is no media file at all, placed on V1 at `at`.
    Uuid placeNamed(const fs::path& file, double at) {
        MediaItem item{.id = Uuid::make(), .name = file.filename().string(), .kind = MediaKind::video,
                       .path = file.string(), .duration = 2, .width = 320, .height = 180};
        item.hasVideo = true;
        start.media.push_back(item);
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = item.id;
        c.start = at;
        c.duration = 2;
        track(V1).clips.push_back(c);
        return item.id;
    }
    bool settled() { return !model.rebuilds().isPending() && !model.isBuilding(); }
    // The message an export of the whole sequence fails with; empty when it succeeds.
    std::string exportFailure() {
        SequenceExporter exporter;
        ExportRequest request{.project = project(), .outputURL = root() / "out.mp4", .width = 64, .height = 36};
        try {
            exporter.exportMovie(request, {});
        } catch (const ExportError& e) {
            return e.what();
        }
        return {};
    }

    QTemporaryDir folder;
};

} // namespace

TEST_F(OfflineMedia, AMovieOverwrittenOrReplacedWhileOpenGoesOfflineAndStopsTheExport) {
    const fs::path a = movie("a.mp4", 3);
    const fs::path b = movie("b.mp4", 3);
    const Uuid first = place(a, 0);
    const Uuid second = place(b, 3);
    open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return settled(); }, 20000));
    EXPECT_TRUE(model.offlineIDs().empty());
    EXPECT_EQ(exportFailure(), "");

    // Overwritten with bytes of no format, in place.
    testsupport::writeRandomBytes(a, 200000, 7);
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.offlineIDs().contains(first) && settled(); }, 20000));
    EXPECT_TRUE(model.status().endsWith(QStringLiteral("  \u00B7  1 offline"))) << model.status().toStdString();
    EXPECT_EQ(exportFailure(), "a.mp4 could not be decoded.");

    // A three-second movie replaced by a one-second one, written elsewhere and renamed over it.
    const fs::path shorter = movie("short.mp4", 1);
    fs::rename(shorter, b);
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.offlineIDs().contains(second) && settled(); }, 20000));
    EXPECT_TRUE(model.status().endsWith(QStringLiteral("2 offline"))) << model.status().toStdString();

    // An export of only the second clip's stretch names the file it needs.
    change([](Project& p) {
        p.sequence.inPoint = 3.5;
        p.sequence.outPoint = 5.0;
    });
    SequenceExporter exporter;
    ExportRequest request{.project = project(), .outputURL = root() / "range.mp4", .width = 64, .height = 36,
                          .useMarkedRange = true};
    try {
        exporter.exportMovie(request, {});
        ADD_FAILURE() << "the export succeeded without b.mp4";
    } catch (const ExportError& e) {
        EXPECT_EQ(std::string(e.what()), "b.mp4 has changed since it was imported. Relink it to use it again.");
    }
    EXPECT_FALSE(fs::exists(root() / "range.mp4"));
}

TEST_F(OfflineMedia, AMediaFileBeingWrittenIsLookedAtAgainOnlyOnceItHasSettled) {
    const fs::path growing = movie("growing.mp4", 2);
    const QString name = QString::fromStdString(growing.string());
    place(growing, 0);
    open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return settled(); }, 20000));
    EditorModelTestAccess access{model};
    access.holdMediaSettle();
    const int before = player->replacements;
    // Appends as a copy or a recording makes them; each one's notice lands before the next write.
    const auto append = [&] {
        std::ofstream(growing, std::ios::binary | std::ios::app) << std::string(4096, '\0');
        return FileStamp::of(growing);
    };
    const auto noticed = [&](const std::optional<FileStamp>& stamp) {
        return QTest::qWaitFor([&] { return access.changedStamp(name) == stamp && settled(); }, 20000);
    };
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(noticed(append()));
    EXPECT_EQ(player->replacements, before) << "rebuilt while the file was being written";

    // Written again just before the wait ends, its notice not in yet: still not settled.
    const std::optional<FileStamp> last = append();
    access.settleMedia();
    ASSERT_TRUE(noticed(last));
    EXPECT_EQ(player->replacements, before);

    // Still since its last write: one preview looks at it.
    access.settleMedia();
    ASSERT_TRUE(QTest::qWaitFor([&] { return player->replacements > before && settled(); }, 20000));
    QCoreApplication::processEvents();
    EXPECT_EQ(player->replacements, before + 1);
    EXPECT_FALSE(access.changedStamp(name).has_value());
}

TEST_F(OfflineMedia, ADeviceAFIFOOrAFolderIsNoMediaFile) {
    const fs::path fifo = root() / "pipe.mov";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path dir = root() / "folder.mov";
    fs::create_directory(dir);
    const Uuid zero = placeNamed("/dev/zero", 0);
    const Uuid pipe = placeNamed(fifo, 2);
    const Uuid inFolder = placeNamed(dir, 4);
    open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return settled() && !model.offlineIDs().empty(); }, 20000));
    EXPECT_EQ(model.offlineIDs(), (UuidSet{zero, pipe, inFolder}));
    EXPECT_TRUE(model.status().endsWith(QStringLiteral("3 offline"))) << model.status().toStdString();
    EXPECT_EQ(exportFailure(), "zero, pipe.mov and folder.mov could not be decoded.");
}
