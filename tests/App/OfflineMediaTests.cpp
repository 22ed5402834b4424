// Media that is there but can no longer be read, or is no longer the media it was, counts as offline
// like media that has gone: the bin, the timeline and the status line say so, the preview leaves its
// clips out, and an export that needs it fails naming the file.

#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <linux/capability.h>
#include <mutex>
#include <semaphore>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "App/MediaFileWatch.hpp"
#include "App/MediaPlayerControl.hpp"
#include "EditorCommandSupport.hpp"
#include "EditorModelTestAccess.hpp"
#include "Engine/SequenceExporter.hpp"
#include "HungShare.hpp"
#include "Media/MediaProbe.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Audio/Output.hpp"
#include "Platform/Foundation/Log.hpp"

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
    // The model saw `file` change to `stamp` (none: gone) and waits for it to settle.
    static bool waitsAs(const EditorModelTestAccess& access, const QString& file,
                        const std::optional<FileStamp>& stamp) {
        const auto changed = access.changedStamp(file);
        return changed && *changed == stamp;
    }
    bool settled() { return !model.rebuilds().isPending() && !model.isBuilding(); }
    // The project is open, its first preview built, and its media files watched.
    bool opened() {
        open();
        if (!QTest::qWaitFor([&] { return settled(); }, 20000)) return false;
        EditorModelTestAccess{model}.mediaWatchCaughtUp();
        return true;
    }
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
    ASSERT_TRUE(opened());
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
    ASSERT_TRUE(opened());
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
    std::optional<FileStamp> last;
    access.whileMediaWatchHeld([&] {
        last = append();
        access.settleMedia();
    });
    ASSERT_TRUE(noticed(last));
    EXPECT_EQ(player->replacements, before);

    // Still since its last write: one preview looks at it.
    access.settleMedia();
    ASSERT_TRUE(QTest::qWaitFor([&] { return player->replacements > before && settled(); }, 20000));
    QCoreApplication::processEvents();
    EXPECT_EQ(player->replacements, before + 1);
    EXPECT_FALSE(access.changedStamp(name).has_value());
}

TEST_F(OfflineMedia, AChangedMediaFileSettlesOnItsOwnWhileAnotherIsStillBeingWritten) {
    const fs::path a = movie("a.mp4", 2);
    const fs::path b = movie("b.mp4", 2);
    const QString aName = QString::fromStdString(a.string());
    const QString bName = QString::fromStdString(b.string());
    place(a, 0);
    const Uuid second = place(b, 2);
    ASSERT_TRUE(opened());
    EditorModelTestAccess access{model};
    access.holdMediaSettle();
    const auto noticed = [&](const QString& name, const std::optional<FileStamp>& stamp) {
        return QTest::qWaitFor([&] { return waitsAs(access, name, stamp) && settled(); }, 20000);
    };
    const int before = player->replacements;

    fs::remove(b);
    ASSERT_TRUE(noticed(bName, std::nullopt));
    // Half a wait later a is written to, as a recording goes on.
    access.passMediaTime(EditorModel::mediaSettleDelay / 2);
    std::ofstream(a, std::ios::binary | std::ios::app) << std::string(4096, '\0');
    ASSERT_TRUE(noticed(aName, FileStamp::of(a)));
    EXPECT_EQ(player->replacements, before);

    // b has been still for a whole wait, a for half of one: the preview looks at b, a waits on.
    access.passMediaTime(EditorModel::mediaSettleDelay / 2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.offlineIDs().contains(second) && settled(); }, 20000))
        << "b was held back by a";
    EXPECT_EQ(player->replacements, before + 1);
    EXPECT_TRUE(waitsAs(access, aName, FileStamp::of(a)));
    EXPECT_FALSE(access.changedStamp(bName).has_value());

    access.passMediaTime(EditorModel::mediaSettleDelay / 2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return player->replacements == before + 2 && settled(); }, 20000));
    EXPECT_FALSE(access.changedStamp(aName).has_value());
}

TEST_F(OfflineMedia, AMediaFileDeletedAndPutBackOrRenamedOverIsWatchedAgain) {
    const fs::path clip = movie("clip.mp4", 2);
    const fs::path kept = root() / "kept.mp4";
    fs::copy_file(clip, kept);
    const QString name = QString::fromStdString(clip.string());
    const Uuid id = place(clip, 0);
    ASSERT_TRUE(opened());
    ASSERT_TRUE(model.offlineIDs().empty());
    EditorModelTestAccess access{model};
    access.holdMediaSettle();
    const auto noticed = [&](const std::optional<FileStamp>& stamp) {
        return QTest::qWaitFor([&] { return waitsAs(access, name, stamp) && settled(); }, 20000);
    };
    const auto looked = [&](bool offline) {
        access.settleMedia();
        return QTest::qWaitFor([&] { return model.offlineIDs().contains(id) == offline && settled(); },
                               20000);
    };
    // Held open, as a player reading it holds it: its deletion ends no watch by itself.
    std::ifstream reader(clip, std::ios::binary);

    // Unplugged and plugged back: deleted, then copied back.
    fs::remove(clip);
    ASSERT_TRUE(noticed(std::nullopt));
    ASSERT_TRUE(looked(true));
    fs::copy_file(kept, clip);
    ASSERT_TRUE(noticed(FileStamp::of(clip))) << "the file put back was not seen";
    ASSERT_TRUE(looked(false));
    fs::resize_file(clip, 0);
    ASSERT_TRUE(noticed(FileStamp::of(clip))) << "a change to the file put back was not seen";
    ASSERT_TRUE(looked(true));

    // Deleted and put back before the watch has looked, the copy taking the inode number the deleted
    // file had (as ext4 gives it): the watch on the deleted file has ended all the same.
    access.whileMediaWatchHeld([&] {
        fs::remove(clip);
        fs::copy_file(kept, clip);
    });
    ASSERT_TRUE(noticed(FileStamp::of(clip)));
    ASSERT_TRUE(looked(false));
    fs::resize_file(clip, 0);
    ASSERT_TRUE(noticed(FileStamp::of(clip))) << "a change to the file put back at once was not seen";
    ASSERT_TRUE(looked(true));

    // Replaced by a copy renamed over it, as editors and copy tools save, while the old one is open.
    std::ifstream emptyReader(clip, std::ios::binary);
    fs::copy_file(kept, root() / "incoming.mp4");
    fs::rename(root() / "incoming.mp4", clip);
    ASSERT_TRUE(noticed(FileStamp::of(clip)));
    ASSERT_TRUE(looked(false));
    fs::resize_file(clip, 0);
    ASSERT_TRUE(noticed(FileStamp::of(clip))) << "a change to the file renamed over it was not seen";
    ASSERT_TRUE(looked(true));
}

// While a recording is written into one file, the folder of another is renamed away, a new folder is
// made with a copy at the old path, that copy is cut short, and the first folder is put back: each
// change is seen on the real clock, not held back by the file being written, and the file then at the
// path is the one watched.
TEST_F(OfflineMedia, AMediaFolderRenamedAwayOrBackIsSeenWhileAnotherFileIsWritten) {
    fs::create_directory(root() / "media");
    const fs::path clip = movie("media/clip.mp4", 2);
    const fs::path kept = root() / "kept.mp4";
    fs::copy_file(clip, kept);
    const fs::path recording = movie("recording.mp4", 2);
    const Uuid id = place(clip, 0);
    place(recording, 2);
    ASSERT_TRUE(opened());
    ASSERT_TRUE(model.offlineIDs().empty());
    // A write every tenth of a second, each long before the one before has settled.
    QTimer writer;
    QObject::connect(&writer, &QTimer::timeout, [&] {
        std::ofstream(recording, std::ios::binary | std::ios::app) << std::string(4096, '\0');
    });
    writer.start(100);
    const auto seen = [&](bool offline) {
        return QTest::qWaitFor([&] { return model.offlineIDs().contains(id) == offline && settled(); },
                               20000);
    };

    fs::rename(root() / "media", root() / "media.away");
    ASSERT_TRUE(seen(true)) << "the folder renamed away was not seen";
    fs::create_directory(root() / "media");
    fs::copy_file(kept, clip);
    ASSERT_TRUE(seen(false)) << "the copy in the new folder was not seen";
    fs::resize_file(clip, 0);
    ASSERT_TRUE(seen(true)) << "the copy cut short was not seen";
    fs::remove_all(root() / "media");
    fs::rename(root() / "media.away", root() / "media");
    ASSERT_TRUE(seen(false)) << "the folder put back was not seen";
    fs::resize_file(clip, 0);
    ASSERT_TRUE(seen(true)) << "the file of the folder put back is not watched";
}

// A folder renamed anywhere on the way to a clip is seen both ways: two folders above it, and, for a
// clip reached through a symbolic link, the link's target and a folder above that; and so is the link
// pointed elsewhere.
TEST_F(OfflineMedia, AFolderRenamedAnywhereOnTheWayToAClipLinksFollowedIsSeenBothWays) {
    fs::create_directories(root() / "a" / "b");
    fs::create_directories(root() / "real" / "media");
    const fs::path deep = movie("a/b/clip.mp4", 1);
    const Uuid deepID = place(deep, 0);
    movie("real/media/linked.mp4", 1);
    fs::create_directory_symlink("real/media", root() / "link");
    const fs::path linked = root() / "link" / "linked.mp4";
    const Uuid linkedID = place(linked, 1);
    ASSERT_TRUE(opened());
    ASSERT_TRUE(model.offlineIDs().empty());
    EditorModelTestAccess access{model};
    access.holdMediaSettle();
    const auto seen = [&](const fs::path& clip, const Uuid& id) {
        const std::optional<FileStamp> now = FileStamp::of(clip);
        if (!QTest::qWaitFor([&] { return waitsAs(access, QString::fromStdString(clip.string()), now); }, 20000))
            return false;
        access.settleMedia();
        return QTest::qWaitFor([&] { return model.offlineIDs().contains(id) == !now && settled(); }, 20000);
    };
    const auto renamedAwayAndBack = [&](const fs::path& folder, const fs::path& clip, const Uuid& id) {
        fs::rename(folder, folder.string() + ".away");
        EXPECT_TRUE(seen(clip, id)) << folder << " renamed away was not seen";
        fs::rename(folder.string() + ".away", folder);
        EXPECT_TRUE(seen(clip, id)) << folder << " renamed back was not seen";
    };
    renamedAwayAndBack(root() / "a", deep, deepID);
    renamedAwayAndBack(root() / "real" / "media", linked, linkedID);
    renamedAwayAndBack(root() / "real", linked, linkedID);
    // The link pointed at a folder without the clip, as `ln -sfn` does it.
    fs::create_directory(root() / "empty");
    fs::create_directory_symlink("empty", root() / "link.new");
    fs::rename(root() / "link.new", root() / "link");
    EXPECT_TRUE(seen(linked, linkedID)) << "the link pointed elsewhere was not seen";
}

// Notices lost while the watch was held, the kernel's queue having filled, hide no change: a clip
// written to after the queue filled is seen.
TEST_F(OfflineMedia, AClipWrittenToAfterNoticesWereLostIsSeen) {
    const fs::path clip = movie("clip.mp4", 1);
    place(clip, 0);
    ASSERT_TRUE(opened());
    EditorModelTestAccess access{model};
    access.holdMediaSettle();
    int queued = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    std::optional<FileStamp> appended;
    access.whileMediaWatchHeld([&] {
        // Files made beside the clip, as a render or an unpack makes them: two notices a rename.
        std::ofstream(root() / "frame.a");
        for (int i = 0; i <= queued / 2; ++i)
            fs::rename(root() / (i % 2 ? "frame.b" : "frame.a"), root() / (i % 2 ? "frame.a" : "frame.b"));
        std::ofstream(clip, std::ios::binary | std::ios::app) << std::string(4096, '\0');
        appended = FileStamp::of(clip);
    });
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return waitsAs(access, QString::fromStdString(clip.string()), appended); }, 20000));
}

namespace {

// Root's reading and searching past permissions, taken from the calling thread, and from the threads
// it starts, while this lives; nothing to take from a user without it.
class WithoutPermissionOverride {
  public:
    WithoutPermissionOverride() {
        if (::syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        taken_ = ::syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~WithoutPermissionOverride() {
        if (taken_) ::syscall(SYS_capset, &header_, saved_);
    }
    WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
    WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;

  private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool taken_ = false;
};

} // namespace

// A clip whose file and folder the watch may not read cannot be watched: the log names both, and the
// clip is looked at every so often instead, so that a change to it is still seen.
TEST_F(OfflineMedia, AClipThatCannotBeWatchedIsNamedInTheLogAndStillSeenToChange) {
    fs::create_directory(root() / "closed");
    const fs::path clip = movie("closed/clip.mp4", 1);
    std::mutex mutex;
    std::vector<std::string> said;
    const Log::Sink before = Log::setSink([&](Log::Level, const std::string& category, const std::string& line) {
        std::lock_guard lock(mutex);
        if (category == "watch") said.push_back(line);
    });
    const auto named = [&](const fs::path& path) {
        std::lock_guard lock(mutex);
        return std::any_of(said.begin(), said.end(),
                           [&](const std::string& line) { return line.starts_with(path.string() + " "); });
    };
    // Written to, and passed through, but not read.
    fs::permissions(clip, fs::perms::owner_write);
    fs::permissions(root() / "closed", fs::perms::owner_write | fs::perms::owner_exec);
    std::optional<MediaFileWatch> watch;
    {
        WithoutPermissionOverride asAUser;
        watch.emplace(std::chrono::milliseconds(100));
    }
    bool changed = false;
    QObject::connect(&*watch, &MediaFileWatch::settled, [&] { changed = true; });
    watch->watch({QString::fromStdString(clip.string())});
    EXPECT_TRUE(QTest::qWaitFor([&] { return named(clip) && named(root() / "closed"); }, 20000));
    std::ofstream(clip, std::ios::binary | std::ios::app) << std::string(4096, '\0');
    EXPECT_TRUE(QTest::qWaitFor([&] { return changed; }, 20000)) << "the clip's change was not seen";
    watch.reset();
    Log::setSink(before);
    fs::permissions(root() / "closed", fs::perms::owner_all);
}

// A window closed while its watch is held (by a share that does not answer) gives the kernel's
// instance of its watch back at once: a user has few of them.
TEST_F(OfflineMedia, AWatchHeldAsItsWindowClosesGivesItsInstanceBack) {
    const auto instances = [] {
        int count = 0;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            count += fs::read_symlink(entry.path(), error) == "anon_inode:inotify";
        }
        return count;
    };
    const int before = instances();
    auto watch = std::make_unique<MediaFileWatch>(std::chrono::milliseconds(100));
    EXPECT_EQ(instances(), before + 1);
    // The watch's thread may still be on its way out of the gate once the test has ended.
    struct Gate {
        std::binary_semaphore held{0}, go{0};
    };
    const auto gate = std::make_shared<Gate>();
    watch->beside([gate] {
        gate->held.release();
        gate->go.acquire();
    });
    gate->held.acquire();
    watch.reset();
    EXPECT_EQ(instances(), before);
    gate->go.release();
}

// Saved into another folder, the project finds its media beside its new place and watches the file
// there. The project itself has not changed, so the views are not drawn again: on a long project that
// redraw is the save's longest turn.
TEST_F(OfflineMedia, SavedIntoAnotherFolderTheProjectFindsAndWatchesItsMediaBesideItWithoutARedraw) {
    fs::create_directories(root() / "here");
    fs::create_directories(root() / "away" / "media");
    const fs::path clip = movie("away/media/clip.mp4", 1);
    const Uuid id = place(clip, 0);
    start.media.mut(0).path = (root() / "gone" / "clip.mp4").string();
    start.media.mut(0).relativePath = "media/clip.mp4";
    open();
    document.save(root() / "here" / "p.osterveil");
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.offlineIDs().contains(id) && settled(); }, 20000));

    EditorModel::Parts delivered;
    QObject::connect(&model, &EditorModel::partsChanged, &model,
                     [&](EditorModel::Parts parts) { delivered |= parts; });
    document.save(root() / "away" / "p.osterveil");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.offlineIDs().contains(id) && settled(); }, 20000))
        << "the media beside the project's new place was not found";
    EXPECT_FALSE(delivered & EditorModel::Part::project) << "a new file name redrew the views";

    EditorModelTestAccess access{model};
    access.mediaWatchCaughtUp();
    access.holdMediaSettle();
    fs::remove(clip);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return waitsAs(access, QString::fromStdString(clip.string()), std::nullopt); }, 20000))
        << "the file beside the project's new place is not watched";
    access.settleMedia();
    EXPECT_TRUE(QTest::qWaitFor([&] { return model.offlineIDs().contains(id) && settled(); }, 20000));
}

// A network share mounted over a media folder whose server does not answer: the window goes on, and
// only the watch waits on the share.
TEST_F(OfflineMedia, AShareThatDoesNotAnswerMountedOverAMediaFolderHoldsNoWindow) {
    fs::create_directory(root() / "media");
    place(movie("media/clip.mp4", 2), 0);
    ASSERT_TRUE(opened());
    testsupport::HungShare share(root() / "media", pid_t(gettid()));
    if (!share.mounted()) GTEST_SKIP() << "mounting a file system needs root and /dev/fuse";
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !share.waiting().empty() || share.lookedInByAnswered(); }, 20000));
    EXPECT_FALSE(share.lookedInByAnswered()) << "the window's thread looked into the share";
}

// The program monitor of a model with a real player, over one counting clip.
TEST_F(OfflineMedia, TheOnlyClipGoingOfflineKeepsThePlayheadAndItsFrameShowsWhenItIsBack) {
    const fs::path clip = root() / "only.mp4";
    testsupport::writeMovie(clip, {.frames = 48, .countingFrames = true});
    const fs::path kept = root() / "kept.mp4";
    fs::copy_file(clip, kept);
    const QString name = QString::fromStdString(clip.string());
    const Uuid id = place(clip, 0);
    EditorModel monitor{std::make_unique<MediaPlayerControl>(audio::Output::createNull()),
                        std::make_unique<testsupport::FakePlayer>()};
    document.setProject(start);
    monitor.followDocument(&document);
    const auto shown = [&] {
        const media::PixelBuffer& p = monitor.player().currentFrame().picture;
        return p.isNull() ? -1
                          : testsupport::countedFrameIndex(p.data(), p.width(), p.height(),
                                                           std::ptrdiff_t(p.bytesPerRow()));
    };
    const auto quiet = [&] { return !monitor.rebuilds().isPending() && !monitor.isBuilding(); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return quiet() && shown() >= 0; }, 20000));
    monitor.seekProgram(1.5);
    ASSERT_TRUE(QTest::qWaitFor([&] { return shown() == 36; }, 20000));
    EditorModelTestAccess access{monitor};
    access.mediaWatchCaughtUp();
    access.holdMediaSettle();

    fs::remove(clip);
    ASSERT_TRUE(QTest::qWaitFor([&] { return waitsAs(access, name, std::nullopt); }, 20000));
    access.settleMedia();
    ASSERT_TRUE(QTest::qWaitFor([&] { return monitor.offlineIDs().contains(id) && quiet(); }, 20000));
    // The player's report of where the new preview put it has come in.
    QCoreApplication::processEvents();
    EXPECT_EQ(monitor.currentTime(), 1.5);

    fs::copy_file(kept, clip);
    ASSERT_TRUE(QTest::qWaitFor([&] { return waitsAs(access, name, FileStamp::of(clip)); }, 20000));
    access.settleMedia();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return monitor.offlineIDs().empty() && quiet() && shown() == 36; }, 20000))
        << "shows frame " << shown();
    EXPECT_EQ(monitor.currentTime(), 1.5);
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
