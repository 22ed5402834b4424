#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>

#include "App/MediaFiles.hpp"
#include "App/WorkService.hpp"
#include "EditorCommandSupport.hpp"
#include "EditorModelTestAccess.hpp"
#include "FakeDesktop.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Foundation/Log.hpp"

using namespace osterveil;
using testsupport::Fixture;
using testsupport::MediaFixtures;
namespace fs = std::filesystem;

namespace {

struct MediaCommands : testsupport::CommandFixture {
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        model.setDesktopServices(desktop);
    }

    // The preview's status line would replace the commands' own a moment later: these tests stop the
    // document's change hook once the first preview has landed, and look at the commands alone.
    void open() {
        CommandFixture::open();
        QObject::disconnect(&document, nullptr, &model, nullptr);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return !model.rebuilds().isPending() && !model.isBuilding(); }, 10000));
    }

    fs::path root() const { return folder.path().toStdString(); }
    // A copy of a generated fixture at `name` below the test's folder.
    fs::path copy(Fixture fixture, const fs::path& name) {
        const fs::path target = root() / name;
        fs::create_directories(target.parent_path());
        fs::copy_file(MediaFixtures::shared().path(fixture), target);
        return target;
    }
    fs::path write(const fs::path& name, const std::string& text) {
        const fs::path target = root() / name;
        fs::create_directories(target.parent_path());
        std::ofstream(target, std::ios::binary) << text;
        return target;
    }
    // Runs an asynchronous command to its end.
    template <class F> void run(F command) {
        bool done = false;
        command([&done] { done = true; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 10000));
    }
    MediaItem offlineItem(const std::string& name, const std::string& path) {
        MediaItem item{.id = Uuid::make(), .name = name, .path = path, .duration = 7, .width = 99};
        start.media.push_back(item);
        return item;
    }

    QTemporaryDir folder;
    std::shared_ptr<testsupport::FakeDesktop> desktop = std::make_shared<testsupport::FakeDesktop>();
};

// One sequence "Cut" at 25 fps, 1280×720: on V1 a clip of `present`, on V2 a disabled clip of a file
// that does not exist.
std::string premiereXML(const fs::path& present) {
    return QStringLiteral(R"(<xmeml version="4"><sequence><name>Cut</name><rate><timebase>25</timebase></rate>
<media><video><format><samplecharacteristics><width>1280</width><height>720</height></samplecharacteristics>
</format><track><clipitem id="c1"><start>0</start><end>10</end><in>0</in><out>10</out><file id="f1">
<pathurl>file://%1</pathurl><media><video/></media></file></clipitem></track><track><clipitem id="c2">
<start>10</start><end>20</end><in>0</in><out>10</out><enabled>FALSE</enabled><file id="f2">
<pathurl>file:///nowhere/gone.mov</pathurl><media><video/></media></file></clipitem></track></video>
</media></sequence></xmeml>)")
        .arg(QString::fromStdString(present.string()))
        .toStdString();
}

// One sequence "Many" whose `items` clip items each carry a `<file>` of their own, naming the files
// in turn.
std::string manyItemsXML(const std::vector<fs::path>& files, int items) {
    std::string clips;
    for (int i = 0; i < items; ++i) {
        const std::string n = std::to_string(i);
        clips += "<clipitem id=\"c" + n + "\"><start>" + std::to_string(i * 10) + "</start><end>" +
                 std::to_string(i * 10 + 10) + "</end><in>0</in><out>10</out><file id=\"f" + n +
                 "\"><pathurl>file://" + files[std::size_t(i) % files.size()].string() +
                 "</pathurl><media><video/></media></file></clipitem>";
    }
    return "<xmeml version=\"4\"><sequence><name>Many</name><rate><timebase>25</timebase></rate><media><video>"
           "<track>" + clips + "</track></video></media></sequence></xmeml>";
}

// Counts the times files are opened while it lives.
class OpenCounter {
  public:
    explicit OpenCounter(const std::vector<fs::path>& files) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        for (const fs::path& file : files)
            inotify_add_watch(fd_, file.c_str(), IN_OPEN);
    }
    ~OpenCounter() { ::close(fd_); }
    int opens() {
        alignas(inotify_event) char buffer[65536];
        for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;)
            for (char* at = buffer; at < buffer + n; at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len)
                ++count_;
        return count_;
    }

  private:
    int fd_;
    int count_ = 0;
};

// Folders opened while it lives, as the kernel tells them: each watched folder's own opening, and the
// names of the files opened in it.
class OpenedInFolders {
  public:
    OpenedInFolders() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~OpenedInFolders() { ::close(fd_); }
    int watch(const fs::path& folder) { return inotify_add_watch(fd_, folder.c_str(), IN_OPEN); }
    // Waits for `done`, as the events come; false if they stop coming for a minute.
    bool waitFor(const std::function<bool()>& done) {
        for (read(); !done(); read()) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 60000) <= 0) return false;
        }
        return true;
    }
    bool folderOpened(int folder) {
        read();
        return opened_.contains({folder, {}});
    }
    // The files opened in the folder.
    std::size_t filesOpened(int folder) {
        read();
        return std::count_if(opened_.begin(), opened_.end(),
                             [&](const auto& o) { return o.first == folder && !o.second.empty(); });
    }

  private:
    void read() {
        alignas(inotify_event) char buffer[65536];
        for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
            for (char* at = buffer; at < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                opened_.insert({event->wd, event->len > 0 ? std::string(event->name) : std::string()});
                at += sizeof(inotify_event) + event->len;
            }
        }
    }

    int fd_;
    std::set<std::pair<int, std::string>> opened_;
};

// Every line of the program's log held on the thread that writes it, from the first, until released.
class HeldLog {
  public:
    HeldLog() {
        previous_ = Log::setSink([gate = gate_](Log::Level, const std::string&, const std::string&) {
            std::unique_lock lock(gate->mutex);
            gate->held = true;
            gate->changed.notify_all();
            gate->changed.wait(lock, [&] { return gate->released; });
        });
    }
    ~HeldLog() {
        release();
        Log::setSink(previous_);
    }
    bool waitUntilHeld() {
        std::unique_lock lock(gate_->mutex);
        return gate_->changed.wait_for(lock, std::chrono::minutes(1), [&] { return gate_->held; });
    }
    void release() {
        {
            std::lock_guard lock(gate_->mutex);
            gate_->released = true;
        }
        gate_->changed.notify_all();
    }

  private:
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool held = false, released = false;
    };
    std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
    Log::Sink previous_;
};

std::unique_ptr<EditorModel> window() {
    return std::make_unique<EditorModel>(std::make_unique<testsupport::FakePlayer>(),
                                         std::make_unique<testsupport::FakePlayer>());
}

bool picturesLaneIdle() {
    const WorkService& work = WorkService::shared();
    return work.waiting(WorkService::Lane::pictures) == 0 && work.running(WorkService::Lane::pictures) == 0;
}

} // namespace

TEST_F(MediaCommands, IngestImportsXMLFirstThenAddsEveryProbedFileInOneStepAndListsTheSkipped) {
    const fs::path movie = copy(Fixture::h264Movie, "a.mp4");
    const fs::path sound = copy(Fixture::wavAudio, "b.wav");
    const fs::path junk = write("notes.mov", "not a movie");
    const fs::path xml = write("cut.XML", premiereXML(movie));
    open();

    model.importMedia();
    EXPECT_EQ(desktop->panels.at(0).filters.back(), MediaFiles::premiereXMLType());
    desktop->choose({movie, junk, xml, sound});
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.alert().has_value(); }, 10000));
    EXPECT_EQ(steps(), (std::vector<QString>{"Import Premiere XML", "Import Media"}));
    const Project& p = project();
    ASSERT_EQ(p.media.size(), 4u); // the XML's two files, then the two probed
    EXPECT_EQ(p.media[2].path, movie.string());
    EXPECT_EQ(p.media[3].kind, MediaKind::audio);
    EXPECT_EQ(model.status(), "Imported 2 files.");
    EXPECT_EQ(model.alert()->title, "Some files were skipped");
    EXPECT_EQ(model.alert()->message, "notes.mov is not a video, audio, or still Osterveil can import.");

    run([&](auto done) { model.ingest({sound}, done); });
    EXPECT_EQ(model.status(), "Imported 1 file.");
}

TEST_F(MediaCommands, TheFirstLargeEnoughVideoFormatsAnEmptySequenceOnly) {
    // Stored 480 pixels wide, each shown a third wider: the sequence takes the shape it is shown in.
    testsupport::MovieRecipe wide{
        .width = 480, .height = 360, .framesPerSecond = 25, .frames = 2, .sampleAspect = {4, 3}};
    testsupport::MovieRecipe tiny{.width = 16, .height = 16, .frames = 2};
    testsupport::writeMovie(root() / "Wide.mp4", wide);
    testsupport::writeMovie(root() / "Tiny.mp4", tiny);
    const fs::path sound = copy(Fixture::wavAudio, "Sound.wav");
    open();
    const Sequence before = project().sequence;

    // Audio and a 16-pixel video first: neither sets the format; the 640×360 one does.
    run([&](auto done) { model.ingest({sound, root() / "Tiny.mp4", root() / "Wide.mp4"}, done); });
    Sequence expected = before;
    std::tie(expected.width, expected.height, expected.frameRate, expected.name) =
        std::tuple(640, 360, FrameRate{25, 1}, "Wide");
    EXPECT_EQ(project().sequence, expected);
    EXPECT_EQ(steps().size(), 1u);
    undo().undo();

    // A sequence holding a clip keeps its format.
    change([](Project& p) {
        TimelineClip clip{.id = Uuid::make(), .duration = 1};
        p.sequence.tracks.mut(V1).clips.push_back(clip);
    });
    const Sequence withClip = project().sequence;
    run([&](auto done) { model.ingest({root() / "Wide.mp4"}, done); });
    EXPECT_EQ(project().sequence, withClip);
    EXPECT_EQ(project().media.size(), 1u);
}

TEST_F(MediaCommands, PremiereXMLReplacesTheTracksKeepsTheBinAndReportsWhatIsOffline) {
    const fs::path movie = copy(Fixture::h264Movie, "shot.mp4");
    const fs::path xml = write("cut.xml", premiereXML(movie));
    const Uuid old = addMedia(MediaKind::video, 4);
    put(V1, 0, 2);
    start.sequence.inPoint = 1.0;
    start.sequence.outPoint = 2.0;
    start.sequence.markers.push_back({.id = Uuid::make(), .time = 1});
    open();
    const Project before = project();
    EditorModelTestAccess{model}.setCurrentTime(3);
    model.setSelectedClipIDs({before.sequence.tracks[V1].clips[0].id});
    desktop->answers = {-1};

    run([&](auto done) { model.importPremiereXML(xml, done); });
    const Project& p = project();
    EXPECT_EQ(steps(), std::vector<QString>{"Import Premiere XML"});
    ASSERT_EQ(p.media.size(), 3u);
    EXPECT_EQ(p.media[0].id, old);
    // The file that exists is probed afresh and keeps the id its clip uses.
    EXPECT_EQ(p.media[1].width, 320);
    EXPECT_EQ(p.sequence.tracks[0].clips[0].mediaID, p.media[1].id);
    EXPECT_EQ(p.sequence.width, 1280);
    EXPECT_EQ(p.sequence.frameRate, (FrameRate{25, 1}));
    EXPECT_FALSE(p.sequence.inPoint || p.sequence.outPoint);
    EXPECT_EQ(p.sequence.markers, before.sequence.markers);
    EXPECT_EQ(model.currentTime(), 0);
    EXPECT_TRUE(model.selectedClipIDs().empty());
    EXPECT_EQ(model.status(), "Imported Cut from Premiere XML.");

    // The report lists the missing file and offers the folder relink.
    ASSERT_EQ(desktop->alerts.size(), 1u);
    EXPECT_EQ(desktop->alerts[0].informativeText,
              "Cut  1280×720  25 fps\n2 timeline clips.\n\nOffline, file not found:\n• gone.mov\n\n"
              "1 disabled clip stay on the timeline and do not play.");
    EXPECT_EQ(desktop->alerts[0].buttons, (QStringList{"Locate Folder…", "Leave Offline"}));

    undo().undo();
    EXPECT_EQ(project(), before);
}

TEST(PremiereReport, ListsTwelveOfEachCountsTheRestAndIsShownOnlyWithSomethingToTell) {
    PremiereReport report;
    report.sequence = Sequence::makeNew();
    EXPECT_TRUE(report.isEmpty());
    for (int i = 1; i <= 13; ++i)
        report.missing.push_back(
            {.name = "n" + std::to_string(i), .path = i == 1 ? "" : "/x/f" + std::to_string(i)});
    const QStringList lines = report.text().split('\n');
    ASSERT_EQ(lines.size(), 2 + 2 + 13);
    EXPECT_EQ(lines[4], "• n1"); // no path: the name
    EXPECT_EQ(lines[15], "• f12");
    EXPECT_EQ(lines[16], "• 1 more");

    report.missing.pop_back();
    EXPECT_EQ(report.text().split('\n').size(), 2 + 2 + 12);

    PremiereReport disabledOnly{.sequence = report.sequence, .clipCount = 3, .disabled = 2};
    EXPECT_FALSE(disabledOnly.isEmpty());
    EXPECT_EQ(disabledOnly.text(), "Sequence 01  1920×1080  24 fps\n3 timeline clips.\n\n"
                                   "2 disabled clips stay on the timeline and do not play.");
    EXPECT_EQ(disabledOnly.alert().buttons, QStringList{"OK"});
}

TEST_F(MediaCommands, FolderRelinkMatchesOfflineItemsByNameAcrossTheTree) {
    copy(Fixture::h264Movie, "a/.hidden/Clip.mov"); // hidden: never indexed
    const fs::path clip = copy(Fixture::h264Movie, "a/b/clip.mov");
    copy(Fixture::h264Movie, "z/clip.mov");                       // the same name met later
    const fs::path base = copy(Fixture::h264Movie, "a/Take.mp4"); // only the base name matches
    copy(Fixture::wavAudio, "a/interview.wav");
    const fs::path picture = copy(Fixture::h264Movie, "b/interview.mov");
    const fs::path online = copy(Fixture::h264Movie, "here.mov");
    copy(Fixture::h264Movie, "a/here.mov");
    const fs::path junk = write("a/broken.mov", "not a movie");
    const MediaItem byName = offlineItem("x", "/gone/CLIP.MOV");
    const MediaItem byBase = offlineItem("x", "/gone/take.mov");
    // Two candidates by name: the sound met first, the picture of the item's own kind wins.
    const MediaItem byKind = offlineItem("x", "/gone/interview.mxf");
    const MediaItem kept = offlineItem("here", online.string());
    const MediaItem rejected = offlineItem("broken", "/gone/broken.mov");
    const MediaItem unmatched = offlineItem("nothing", "/gone/nothing.mov");
    open();

    desktop->answers = {1};
    model.relink(byName.id);
    EXPECT_EQ(desktop->alerts.at(0).buttons, (QStringList{"Locate File…", "Locate Folder…", "Cancel"}));
    EXPECT_EQ(desktop->panels.at(0).prompt, "Locate Folder");
    desktop->choose({root()});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !steps().empty(); }, 10000));

    const Project& p = project();
    EXPECT_EQ(p.media[0].path, clip.string());
    EXPECT_EQ(p.media[0].id, byName.id);
    EXPECT_EQ(p.media[0].width, 320);
    EXPECT_EQ(p.media[1].path, base.string());
    EXPECT_EQ(p.media[2].path, picture.string());
    EXPECT_EQ(p.media[3], kept);
    // Rejected by the probe but there: only the path moves.
    MediaItem moved = rejected;
    moved.path = junk.string();
    EXPECT_EQ(p.media[4], moved);
    EXPECT_EQ(p.media[5], unmatched);
    EXPECT_EQ(model.status(), "Relinked 4 files.");
    EXPECT_EQ(steps(), std::vector<QString>{"Relink Media"});

    // Nothing offline matches any more.
    run([&](auto done) { model.relinkOffline(root() / "a", done); });
    EXPECT_EQ(model.status(), "No file names in that folder matched the offline media.");
    EXPECT_EQ(steps().size(), 1u);

    // A walk whose window has closed goes no further: it has found nothing.
    std::stop_source closed;
    closed.request_stop();
    EXPECT_FALSE(MediaFiles::mediaIndex(root()).empty());
    EXPECT_TRUE(MediaFiles::mediaIndex(root(), closed.get_token()).empty());
}

TEST_F(MediaCommands, LocatingOneFileRelinksItButNeverAnItemRemovedMeanwhile) {
    const fs::path movie = copy(Fixture::h264Movie, "found.mp4");
    const MediaItem item = offlineItem("lost", "/gone/lost.mov");
    open();
    const auto locate = [&] {
        desktop->answers = {0};
        model.relink(item.id);
        desktop->choose({movie});
    };

    locate();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !steps().empty(); }, 10000));
    EXPECT_EQ(project().media[0].path, movie.string());
    EXPECT_EQ(model.status(), "Relinked found.");

    // Removed while its file is probed: no step, and no word of a relink.
    undo().undo();
    EditorModelTestAccess{model}.setStatus("");
    locate();
    model.removeMedia(item.id);
    const Project removed = project();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    EXPECT_EQ(project(), removed);
    EXPECT_EQ(model.status(), "");
}

// The file put back where it was: relinking to it changes nothing in the project, yet the preview must
// find it again and the bin show its picture, with no other edit to set that off.
TEST_F(MediaCommands, RelinkingToTheFileBackAtItsPathBringsItOnlineAtOnce) {
    const fs::path movie = copy(Fixture::h264Movie, "take.mp4");
    const fs::path away = root() / "elsewhere.mp4";
    CommandFixture::open(); // with the document hook, so the real preview follows the project
    run([&](auto done) { model.ingest({movie}, done); });
    const Uuid id = project().media.at(0).id;
    model.overwriteMediaAtPlayhead(id);
    const auto settled = [&] { return !model.rebuilds().isPending() && !model.isBuilding(); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return settled() && model.thumbnails().contains(id); }, 20000));
    ASSERT_TRUE(model.offlineIDs().empty());

    fs::rename(movie, away);
    model.addVideoTrack();
    ASSERT_TRUE(QTest::qWaitFor([&] { return settled() && model.offlineIDs().contains(id); }, 20000));
    fs::rename(away, movie);
    const Project before = project();
    const int items = player->itemChanges;

    QStringList said;
    QObject listening;
    QObject::connect(&model, &EditorModel::changed, &listening, [&] { said << model.status(); });
    desktop->answers = {0};
    model.relink(id);
    desktop->choose({movie});
    ASSERT_TRUE(QTest::qWaitFor([&] { return settled() && model.offlineIDs().empty(); }, 20000));
    EXPECT_TRUE(said.contains("Relinked take.")) << said.join(" | ").toStdString();
    EXPECT_EQ(project(), before); // the same item at the same path
    EXPECT_GT(player->itemChanges, items);
    ASSERT_TRUE(player->item().has_value());
    EXPECT_TRUE(QTest::qWaitFor([&] { return model.thumbnails().contains(id); }, 20000));
}

TEST_F(MediaCommands, RemovingMediaTakesItsClipsEverywhereInOneStepAndPrunesTheSelection) {
    const Uuid gone = addMedia(MediaKind::video, 10);
    const Uuid other = addMedia(MediaKind::video, 10);
    const auto clipOf = [&](std::size_t t, double at, const Uuid& media) {
        const Uuid id = put(t, at, 2);
        track(t).clips.mut(track(t).clips.size() - 1).mediaID = media;
        return id;
    };
    const Uuid selected = clipOf(V1, 0, gone);
    clipOf(V2, 4, gone);
    const Uuid keep = clipOf(V1, 3, other);
    NestedSequence nest{.id = Uuid::make(), .name = "N", .sequence = Sequence::makeNew()};
    TimelineClip inner{.id = Uuid::make(), .mediaID = gone, .duration = 1};
    nest.sequence.tracks.mut(0).clips.push_back(inner);
    start.nests.push_back(nest);
    open();
    model.setSelectedClipIDs({keep, selected});

    model.removeMedia(gone);
    Project expected = start;
    expected.media.erase(0);
    expected.sequence.tracks.mut(V1).clips.erase(0);
    expected.sequence.tracks.mut(V2).clips.erase(0);
    expected.nests.mut(0).sequence.tracks.mut(0).clips.erase(0);
    EXPECT_EQ(project(), expected);
    EXPECT_EQ(model.selectedClipIDs(), std::vector<Uuid>{keep});
    EXPECT_EQ(steps(), std::vector<QString>{"Remove Media"});
    undo().undo();
    EXPECT_EQ(project(), start);

    model.removeMedia(Uuid::make()); // nothing uses it
    EXPECT_EQ(undo().count(), 1);
}

TEST_F(MediaCommands, RevealShowsOnlineFilesAndSaysWhenOffline) {
    const fs::path movie = copy(Fixture::h264Movie, "shown.mp4");
    const MediaItem online = offlineItem("shown", movie.string());
    const MediaItem offline = offlineItem("lost", "/gone/lost.mov");
    open();

    model.revealMedia(offline.id);
    EXPECT_TRUE(desktop->revealed.empty());
    EXPECT_EQ(model.status(), "That media is offline. Relink it to show it in the file manager.");
    model.revealMedia(online.id);
    EXPECT_EQ(desktop->revealed, std::vector<fs::path>{movie});
}

TEST_F(MediaCommands, AChosenLUTReplacesTheTableKeepsItsIntensityAndSkipsADeletedClip) {
    const Uuid clip = put(V1, 0, 2);
    track(V1).clips.mut(0).grade.lumetri.lutPath = "/old.cube";
    track(V1).clips.mut(0).grade.lumetri.lutBookmark = Bytes{1, 2};
    track(V1).clips.mut(0).grade.lumetri.lutIntensity = 0.4;
    open();

    model.chooseLUT(clip);
    EXPECT_EQ(desktop->panels.back().prompt, "Load LUT");
    EXPECT_EQ(desktop->panels.back().filters, std::vector<FileFilter>{MediaFiles::lutType()});
    desktop->choose({"/luts/new.cube"});
    const LumetriPanel& lumetri = project().sequence.tracks[V1].clips[0].grade.lumetri;
    EXPECT_EQ(lumetri.lutPath, "/luts/new.cube");
    EXPECT_FALSE(lumetri.lutBookmark);
    EXPECT_EQ(lumetri.lutIntensity, 0.4);
    EXPECT_EQ(steps(), std::vector<QString>{"LUT"});

    // Deleted while the panel is open.
    model.chooseLUT(clip);
    model.selectOnly(clip);
    model.liftDelete();
    const Project deleted = project();
    desktop->choose({"/luts/other.cube"});
    EXPECT_EQ(project(), deleted);
    EXPECT_EQ(steps().back(), "Delete");
}

// Thousands of clip items naming a few files probe each file once, not once per item.
TEST_F(MediaCommands, PremiereXMLProbesEachFileOnceHoweverManyItemsNameIt) {
    const std::vector<fs::path> files{copy(Fixture::h264Movie, "a.mp4"), copy(Fixture::proresMovie, "b.mov")};
    const fs::path xml = write("many.xml", manyItemsXML(files, 400));
    open();
    OpenCounter counter(files);
    run([&](auto done) { model.importPremiereXML(xml, done); });
    EXPECT_EQ(model.status(), "Imported Many from Premiere XML.");
    ASSERT_EQ(project().media.size(), 400u);
    int prores = 0;
    for (const MediaItem& item : project().media) {
        const bool second = item.path == files[1].string();
        prores += second;
        EXPECT_EQ(item.codec, second ? "ProRes 422 HQ" : "H.264") << item.path;
    }
    EXPECT_EQ(prores, 200);
    // A probe opens its file a few times; four hundred would open them hundreds of times.
    EXPECT_LT(counter.opens(), 40);
}

// An import shows its progress in the status line while it runs, and can be called off: the project
// stays as it was.
TEST_F(MediaCommands, APremiereXMLImportShowsItsProgressAndCanBeCancelled) {
    const std::vector<fs::path> files{copy(Fixture::h264Movie, "a.mp4")};
    const fs::path xml = write("cut.xml", manyItemsXML(files, 50));
    open();
    const Project before = project();
    bool finished = false;
    model.importPremiereXML(xml, [&] { finished = true; });
    EXPECT_TRUE(model.isImporting());
    EXPECT_TRUE(model.status().startsWith(QStringLiteral("Importing \u201Ccut.xml\u201D"))) << model.status().toStdString();
    model.cancelImport();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished; }, 20000));
    EXPECT_FALSE(model.isImporting());
    EXPECT_EQ(model.status(), QStringLiteral("Import of \u201Ccut.xml\u201D cancelled."));
    EXPECT_EQ(project(), before);
    EXPECT_EQ(undo().count(), 0);
}

// A window closed while its Locate Folder walk runs: the walk ends at its next entry, and never opens
// the folder it would have come to last.
TEST_F(MediaCommands, AClosedWindowsFolderWalkGoesNoFurther) {
    // 300 links to a file through 38 more, each naming the next by a path that steps into one folder
    // and out again 800 times: the walk follows each link to see whether it is a file, which takes it
    // milliseconds a link.
    const fs::path chain = root() / "chain";
    fs::create_directories(chain / "in");
    std::ofstream(chain / "shot.mov");
    std::string steps = chain.string();
    while (steps.size() < 3990)
        steps += "/in/..";
    constexpr int links = 38;
    for (int i = 0; i < links; ++i)
        fs::create_symlink(steps + "/" + (i + 1 < links ? "c" + std::to_string(i + 1) : "shot.mov"),
                           chain / ("c" + std::to_string(i)));
    // Once the links lead nowhere, the test's folder goes at once.
    struct Unlinked {
        fs::path link;
        ~Unlinked() {
            std::error_code error;
            fs::remove(link, error);
        }
    } unlinking{chain / "c0"};
    const fs::path walked = root() / "walked";
    fs::create_directories(walked / "zz");
    for (int i = 0; i < 300; ++i)
        fs::create_symlink(chain / "c0", walked / ("link" + std::to_string(1000 + i) + ".mov"));
    ASSERT_TRUE(fs::is_regular_file(walked / "link1000.mov"));

    OpenedInFolders opened;
    const int first = opened.watch(walked), last = opened.watch(walked / "zz");
    auto closing = window();
    closing->relinkOffline(walked);
    ASSERT_TRUE(opened.waitFor([&] { return opened.folderOpened(first); }));
    closing.reset();
    ASSERT_TRUE(QTest::qWaitFor(picturesLaneIdle, 120000));
    EXPECT_FALSE(opened.folderOpened(last));
}

// A window closed while its Premiere XML import probes the files the XML names: the probes under way
// end, and no other file is opened.
TEST_F(MediaCommands, AClosedWindowsPremiereImportProbesNoFurther) {
    // Movies without their index, which the media library reports: its report holds the probe there.
    using namespace std::string_literals;
    const std::string damaged = "\0\0\0\024ftypqt  \0\0\0\0qt  \0\0\0\010free"s + std::string(2000, '\0');
    const int files = 2 * int(std::max(2u, std::thread::hardware_concurrency())) + 2;
    std::vector<fs::path> movies;
    for (int i = 0; i < files; ++i)
        movies.push_back(write("damaged/" + std::to_string(i) + ".mov", damaged));
    const fs::path xml = write("cut.xml", manyItemsXML(movies, files));

    OpenedInFolders opened;
    const int folder = opened.watch(root() / "damaged");
    HeldLog log;
    auto closing = window();
    closing->importPremiereXML(xml);
    ASSERT_TRUE(log.waitUntilHeld());
    closing.reset();
    log.release();
    ASSERT_TRUE(QTest::qWaitFor(picturesLaneIdle, 120000));
    EXPECT_GT(opened.filesOpened(folder), 0u);
    EXPECT_LT(opened.filesOpened(folder), std::size_t(files) / 2);
}
