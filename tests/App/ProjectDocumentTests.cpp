#include <gtest/gtest.h>

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <atomic>
#include <fstream>
#include <sys/mount.h>
#include <sys/resource.h>
#include <tuple>
#include <unistd.h>

#include "App/ProjectDocument.hpp"
#include "Platform/Foundation/Log.hpp"

using namespace osterveil;

namespace {

struct ProjectFiles : ::testing::Test {
    std::filesystem::path file(const std::string& name, const std::string& contents) {
        const std::filesystem::path p = path(name);
        std::ofstream(p, std::ios::binary) << contents;
        return p;
    }
    std::filesystem::path path(const std::string& name) const {
        return std::filesystem::path(dir.path().toStdString()) / name;
    }
    static std::string bytes(const std::filesystem::path& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    QTemporaryDir dir;
};

template <class F> ProjectError projectError(F&& f) {
    try {
        f();
    } catch (const ProjectError& e) {
        return e;
    }
    ADD_FAILURE() << "no ProjectError";
    return ProjectError::corrupt();
}

} // namespace

TEST_F(ProjectFiles, ReadFailuresMapToTheUsersErrors) {
    // Not a project at all: empty, not JSON, wrong shape.
    EXPECT_EQ(projectError([&] { ProjectDocument::read(file("empty.osterveil", "")); }),
              ProjectError::corrupt());
    EXPECT_EQ(projectError([&] { ProjectDocument::read(file("text.osterveil", "hello")); }),
              ProjectError::corrupt());
    EXPECT_EQ(projectError([&] { ProjectDocument::read(file("shape.osterveil", R"({"fileVersion": 1})")); }),
              ProjectError::corrupt());

    // A newer program's file says so, with its version.
    Project p = ProjectDocument::newProject();
    p.fileVersion = 2;
    const ProjectError newer = projectError([&] { ProjectDocument::read(file("v2.osterveil", p.encode())); });
    EXPECT_EQ(newer, ProjectError::newerFile(2));
    EXPECT_EQ(newer.errorDescription(), "This project was saved by a newer Osterveil (file version 2).");

    // A folder is no file to read; a path with nothing there, or under a file, is not found.
    std::filesystem::create_directory(path("folder.osterveil"));
    const std::string folderText =
        "The file “folder.osterveil” could not be opened because it is not in the right format.";
    const std::string missingText = "This file cannot be found.";
    for (const auto& [name, kind, text] :
         {std::tuple{path("folder.osterveil"), DocumentError::Kind::fileReadCorruptFile, folderText},
          {path("missing.osterveil"), DocumentError::Kind::fileReadNoSuchFile, missingText},
          {path("folder.osterveil") / "gone" / "x.osterveil", DocumentError::Kind::fileReadNoSuchFile,
           missingText},
          {file("plain.osterveil", "{}") / "x.osterveil", DocumentError::Kind::fileReadNoSuchFile,
           missingText}}) {
        try {
            ProjectDocument::read(name);
            ADD_FAILURE() << name << " was read";
        } catch (const DocumentError& e) {
            EXPECT_EQ(e.kind(), kind) << name;
            EXPECT_EQ(std::string(e.what()), text) << name;
        }
    }

    // The older file type holds the same JSON and opens the same way.
    p.fileVersion = 1;
    p.name = "Reel 4";
    const auto older = ProjectDocument::open(file("reel.kestwater", p.encode()));
    EXPECT_EQ(older->project(), p);
    EXPECT_EQ(older->fileURL(), path("reel.kestwater"));
    EXPECT_FALSE(older->isModified());
}

TEST_F(ProjectFiles, OpeningHoldsTimesBeyondADayThereAndLeavesLongSequencesAlone) {
    // Saved while a file's header claimed ten billion seconds: the media, the clips laid from it, a
    // marker and the out point at its end, in the sequence and in a nest.
    Project p = ProjectDocument::newProject();
    MediaItem movie;
    movie.id = Uuid::make();
    movie.duration = 80000;
    p.media.push_back(movie);
    auto clip = [&](double start, double in, double duration) {
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = movie.id;
        c.start = start;
        c.inPoint = in;
        c.duration = duration;
        return c;
    };
    // A twenty-hour sequence holds nothing absurd.
    p.sequence.tracks.mut(0).clips.push_back(clip(2, 5, 72000));
    const Project ordinary = p;
    p.media.mut(0).duration = 1e10;
    p.sequence.tracks.mut(3).clips.push_back(clip(60, 1e10 - 60, 1e10));
    p.sequence.outPoint = 1e10;
    p.sequence.markers.push_back(SequenceMarker{Uuid::make(), 1e10, "End", 0});
    NestedSequence nest{Uuid::make(), "Nest", Sequence::makeNew()};
    nest.sequence.tracks.mut(0).clips.push_back(clip(0, 0, 1e10));
    p.nests.push_back(nest);

    std::vector<std::string> logged;
    const Log::Sink previous = Log::setSink([&](Log::Level, const std::string&, const std::string& m) { logged.push_back(m); });
    const auto opened = ProjectDocument::open(file("years.osterveil", p.encode()));
    const auto plain = ProjectDocument::open(file("day.osterveil", ordinary.encode()));
    Log::setSink(previous);

    const Project& q = opened->project();
    EXPECT_EQ(q.media[0].duration, 86400);
    EXPECT_EQ(q.sequence.duration(), 86400);
    const TimelineClip& bounded = q.sequence.tracks[3].clips[0];
    EXPECT_EQ(bounded.start, 60);
    EXPECT_EQ(bounded.inPoint, 86400);
    EXPECT_EQ(bounded.duration, 86400 - 60);
    EXPECT_EQ(q.sequence.outPoint, 86400);
    EXPECT_EQ(q.sequence.markers[0].time, 86400);
    EXPECT_EQ(q.nests[0].sequence.duration(), 86400);
    EXPECT_EQ(q.sequence.tracks[0].clips[0], p.sequence.tracks[0].clips[0]);
    EXPECT_FALSE(opened->isModified());
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("years.osterveil"), std::string::npos);

    EXPECT_EQ(plain->project(), ordinary);
}

TEST_F(ProjectFiles, SavingWritesTheWholeFileTheSameEachTimeAndMarksTheDocumentClean) {
    ProjectDocument document;
    QSignalSpy urlChanged(&document, &ProjectDocument::fileURLChanged);
    QSignalSpy modified(&document, &ProjectDocument::modifiedChanged);
    document.undoStack()->push(new QUndoCommand("Rename"));
    EXPECT_TRUE(document.isModified());

    const auto target = path("cut.osterveil");
    document.save(target);
    EXPECT_FALSE(document.isModified());
    EXPECT_EQ(document.fileURL(), target);
    EXPECT_EQ(urlChanged.count(), 1);
    ASSERT_EQ(modified.count(), 2);
    EXPECT_FALSE(modified.last().at(0).toBool());

    const std::string first = bytes(target);
    document.save(target);
    EXPECT_EQ(bytes(target), first);
    EXPECT_EQ(urlChanged.count(), 1);
    EXPECT_EQ(ProjectDocument::read(target), document.project());

    // A save that cannot reach the disk says so and changes nothing.
    document.undoStack()->push(new QUndoCommand("Rename"));
    EXPECT_THROW(document.save(path("no-such-folder") / "cut.osterveil"), DocumentError);
    EXPECT_TRUE(document.isModified());
    EXPECT_EQ(document.fileURL(), target);
}

TEST_F(ProjectFiles, ASaveOntoAFullDiskSaysTheDiskIsFullAndKeepsTheOldFile) {
    // A small disk of its own: a memory file system of 64 KB.
    const auto disk = path("small");
    std::filesystem::create_directory(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    struct Unmount {
        std::filesystem::path at;
        ~Unmount() { ::umount(at.c_str()); }
    } unmount{disk};

    Project p = ProjectDocument::newProject();
    ProjectDocument document(p);
    const auto target = disk / "p.osterveil";
    document.save(target);
    const std::string before = bytes(target);

    // Far more than fits.
    for (int i = 0; i < 400; ++i) {
        TimelineClip c;
        c.id = Uuid::make();
        c.start = i;
        c.duration = 1;
        p.sequence.tracks.mut(0).clips.push_back(c);
    }
    document.setProject(p);
    document.undoStack()->push(new QUndoCommand("Add"));
    try {
        document.save(target);
        ADD_FAILURE() << "saved onto a full disk";
    } catch (const DocumentError& e) {
        EXPECT_EQ(e.kind(), DocumentError::Kind::fileWriteFailed);
        EXPECT_EQ(std::string(e.what()), "The disk is full.");
    }
    EXPECT_EQ(bytes(target), before);
    EXPECT_TRUE(document.isModified());
    // Nothing is left behind on the disk.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(disk), std::filesystem::directory_iterator()), 1);
}

// A file is judged by its start and its size before it is read whole, in a process that may not hold
// even one gigabyte (the files are sparse, so they cost no disk): one as large as a project may be but
// starting like a picture is no project, and one beyond that size starting like a project is too large.
TEST_F(ProjectFiles, AHugeFileIsJudgedWithoutReadingIt) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#else
    const auto picture = file("picture.osterveil", " \r\n\x89PNG\r\n");
    std::filesystem::resize_file(picture, ProjectDocument::largestFile);
    const auto huge = file("x.osterveil", "\xEF\xBB\xBF\n{");
    std::filesystem::resize_file(huge, std::uintmax_t(4) << 30);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto readWithLittleMemory = [](const std::filesystem::path& file, const ProjectError& expected) {
        rlimit limit{rlim_t(768) << 20, rlim_t(768) << 20};
        setrlimit(RLIMIT_AS, &limit);
        try {
            ProjectDocument::read(file);
        } catch (const ProjectError& e) {
            _exit(e == expected ? 0 : 2);
        } catch (...) {
            _exit(3);
        }
        _exit(4);
    };
    EXPECT_EXIT(readWithLittleMemory(picture, ProjectError::corrupt()), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(readWithLittleMemory(huge, ProjectError::tooLarge()), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(ProjectError::tooLarge().errorDescription(),
              "This project is too large to open: Osterveil opens project files of up to 1 GB.");
#endif
}

namespace {

// A few megabytes: several of the pieces a file is read in.
Project longProject() {
    Project p = ProjectDocument::newProject();
    for (int i = 0; i < 600; ++i) {
        TimelineClip c{.id = Uuid::make(),
                       .name = "A001_C" + std::to_string(i) + ".mov",
                       .start = 2.0 * i,
                       .duration = 2};
        c.opacity.keyframes = {{0, 0}, {0.5, 1}};
        c.grade.exposure.keyframes = {{0, 0}, {1, 0.5}};
        p.sequence.tracks.mut(0).clips.push_back(c);
    }
    return p;
}

} // namespace

TEST_F(ProjectFiles, AnOpenStopsPartWayThroughReadingItsFileOnceAskedTo) {
    const std::filesystem::path long_ = file("long.osterveil", ProjectDocument::contents(longProject()));
    ASSERT_GT(std::filesystem::file_size(long_), 3 * ProjectDocument::readPiece);

    // The program ends as the first piece comes in.
    std::stop_source ending;
    double furthest = 0;
    try {
        ProjectDocument::readFile(
            long_,
            [&](double f) {
                furthest = std::max(furthest, f);
                ending.request_stop();
            },
            ending.get_token());
        ADD_FAILURE() << "read to its end";
    } catch (const DocumentError& error) {
        EXPECT_EQ(error.kind(), DocumentError::Kind::readStopped);
    }
    // Reading is the first fifth of the way.
    EXPECT_GT(furthest, 0);
    EXPECT_LT(furthest, 0.2);
}

// A file still being written when it is opened: what is added while it is read is read too, past the
// room made for the size it had.
TEST_F(ProjectFiles, AFileThatGrowsWhileItIsReadIsReadToItsNewEnd) {
    const Project p = longProject();
    const std::filesystem::path growing = file("growing.osterveil", ProjectDocument::contents(p));
    // Told from the decoder's threads too.
    std::atomic<bool> grown = false;
    const ProjectDocument::Reading reading = ProjectDocument::readFile(growing, [&](double) {
        // Blank space after the object, as a writer adds at its end: several megabytes of it.
        if (!grown.exchange(true))
            std::ofstream(growing, std::ios::binary | std::ios::app)
                << std::string(3 * ProjectDocument::readPiece, ' ');
    });
    ASSERT_TRUE(grown);
    EXPECT_EQ(reading.project, p);
}
