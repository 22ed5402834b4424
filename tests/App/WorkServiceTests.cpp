// The work service's promises on their own: only the newest preview of an owner is built, cancelling an
// owner drops its queued jobs and stops its running one (a real long one too), shutting down drops
// what is queued while it lets what runs finish, and the process's end waits for saves alone.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <sched.h>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "App/WorkService.hpp"
#include "Media/WaveformService.hpp"
#include "MediaFixtures.hpp"
#include "ProcessFiles.hpp"

using namespace osterveil;
using Lane = WorkService::Lane;
using namespace std::chrono_literals;

namespace {

// What the jobs did, in order; the test waits on it for the event it expects.
struct Journal {
    std::mutex mutex;
    std::condition_variable_any changed;
    std::vector<std::string> lines;
    bool open = false;

    void add(std::string line) {
        {
            std::lock_guard lock(mutex);
            lines.push_back(std::move(line));
        }
        changed.notify_all();
    }
    // Holds the calling job until `release`, or until its owner is cancelled when `stop` is given.
    void hold(const std::stop_token& stop = {}) {
        std::unique_lock lock(mutex);
        changed.wait(lock, stop, [this] { return open; });
    }
    void release() {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        changed.notify_all();
    }
    // The wait is bounded only so that a broken promise fails instead of hanging.
    bool waitFor(const std::function<bool(const std::vector<std::string>&)>& done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 60s, [&] { return done(lines); });
    }
    bool waitForLine(const std::string& line) {
        return waitFor([&](const auto& all) { return std::find(all.begin(), all.end(), line) != all.end(); });
    }
    std::vector<std::string> all() {
        std::lock_guard lock(mutex);
        return lines;
    }
};

// Lets every held job go when a test ends, also a failed one, before its service waits for them.
struct ReleasedAtEnd {
    Journal& journal;
    ~ReleasedAtEnd() { journal.release(); }
};

bool waitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 60000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

bool idle(const WorkService& service, Lane lane) {
    return service.waiting(lane) == 0 && service.running(lane) == 0;
}

using Lines = std::vector<std::string>;

} // namespace

TEST(WorkService, ThePreviewLaneBuildsOnlyTheNewestPreviewOfEachOwner) {
    Journal journal;
    WorkService service(1);
    const ReleasedAtEnd releasing{journal};
    std::stop_source busy, first, second;
    // The lane's one thread is busy while the two windows ask for previews.
    service.run(Lane::preview, busy.get_token(), [&](const std::stop_token&) {
        journal.add("busy");
        journal.hold();
    });
    ASSERT_TRUE(journal.waitForLine("busy"));
    for (const char* name : {"first 1", "first 2", "first 3"})
        service.run(Lane::preview, first.get_token(),
                    [&, name](const std::stop_token&) { journal.add(name); });
    service.run(Lane::preview, second.get_token(), [&](const std::stop_token&) { journal.add("second 1"); });
    EXPECT_EQ(service.waiting(Lane::preview), 2u);

    journal.release();
    ASSERT_TRUE(waitUntil([&] { return idle(service, Lane::preview); }));
    EXPECT_EQ(journal.all(), (Lines{"busy", "first 3", "second 1"}));
}

TEST(WorkService, CancellingAnOwnerDropsItsQueuedJobsAndStopsItsRunningOne) {
    Journal journal;
    WorkService service(1);
    const ReleasedAtEnd releasing{journal};
    std::stop_source closing, staying;
    // A long job with no end of its own, such as a walk through a vast folder: it ends when told to.
    service.run(Lane::pictures, closing.get_token(), [&](const std::stop_token& stop) {
        journal.add("walk started");
        journal.hold(stop);
        journal.add(stop.stop_requested() ? "walk stopped" : "walk ended");
    });
    ASSERT_TRUE(journal.waitForLine("walk started"));
    service.run(Lane::pictures, closing.get_token(),
                [&](const std::stop_token&) { journal.add("closing 2"); });
    service.run(Lane::pictures, staying.get_token(), [&](const std::stop_token&) { journal.add("staying"); });

    service.cancel(closing);
    ASSERT_TRUE(journal.waitForLine("staying"));
    // Asked for after the owner went: never runs.
    service.run(Lane::pictures, closing.get_token(),
                [&](const std::stop_token&) { journal.add("closing 3"); });
    ASSERT_TRUE(waitUntil([&] { return idle(service, Lane::pictures); }));
    EXPECT_EQ(journal.all(), (Lines{"walk started", "walk stopped", "staying"}));
    EXPECT_FALSE(staying.stop_requested());

    // A real one: the outline of two hours of sound, which decodes for seconds, stops once it is
    // under way and gives up what it had.
    const std::filesystem::path sound = testsupport::MediaFixtures::shared().scratch("two-hours.wav");
    testsupport::writeSparseWav(sound, 2 * 3600);
    MediaItem item;
    item.kind = MediaKind::audio;
    item.path = sound.string();
    item.hasAudio = true;
    std::stop_source window;
    service.run(Lane::pictures, window.get_token(), [&](const std::stop_token& stop) {
        journal.add(WaveformService::peaks(item, std::nullopt, 1400, stop).empty() ? "outline stopped"
                                                                                   : "outline drawn");
    });
    ASSERT_TRUE(waitUntil([&] { return testsupport::isOpen(sound); }));
    service.cancel(window);
    ASSERT_TRUE(journal.waitFor([](const Lines& all) { return all.size() == 4; }));
    EXPECT_EQ(journal.all().back(), "outline stopped");
}

TEST(WorkService, ShutdownLetsTheRunningJobsFinishAndDropsTheQueuedOnes) {
    Journal journal;
    WorkService service(1);
    const ReleasedAtEnd releasing{journal};
    std::stop_source owner, other;
    // Like a save, it does not look at its token: shutting down must not cut it short.
    service.run(Lane::pictures, owner.get_token(), [&](const std::stop_token&) {
        journal.add("running");
        journal.hold();
        journal.add("finished");
    });
    ASSERT_TRUE(journal.waitForLine("running"));
    service.run(Lane::pictures, owner.get_token(), [&](const std::stop_token&) { journal.add("queued"); });
    service.run(Lane::pictures, other.get_token(), [&](const std::stop_token&) { journal.add("other's"); });
    EXPECT_EQ(service.waiting(Lane::pictures), 2u);

    std::jthread quitting([&] { service.shutdown(); });
    ASSERT_TRUE(waitUntil([&] { return service.waiting(Lane::pictures) == 0; }));
    journal.release();
    quitting.join();
    // Returned only once the running job had finished; nothing queued ran, nor anything asked for later.
    EXPECT_EQ(journal.all(), (Lines{"running", "finished"}));
    service.run(Lane::pictures, owner.get_token(), [&](const std::stop_token&) { journal.add("later"); });
    EXPECT_EQ(service.waiting(Lane::pictures), 0u);
    EXPECT_EQ(journal.all(), (Lines{"running", "finished"}));
}

TEST(WorkService, FinishingWaitsForTheSavesAndNotForTheWorkOfOwnersThatHaveGone) {
    Journal journal, parse;
    WorkService service(1);
    const ReleasedAtEnd releasing{journal}, releasingParse{parse};
    std::stop_source document, window;
    // A save: its owner never stops it, and it never looks.
    service.run(Lane::documents, document.get_token(), [&](const std::stop_token&) {
        journal.add("saving");
        journal.hold();
        journal.add("saved");
    });
    // A closed window's parse, deep in a call that looks at no token.
    service.run(Lane::pictures, window.get_token(), [&](const std::stop_token&) {
        journal.add("parsing");
        parse.hold();
        journal.add("parsed");
    });
    ASSERT_TRUE(journal.waitFor([](const Lines& all) { return all.size() == 2; }));
    service.run(Lane::pictures, document.get_token(), [&](const std::stop_token&) { journal.add("queued"); });
    service.cancel(window);

    std::atomic<bool> ended = false;
    bool idle = true;
    Lines linesAtEnd;
    std::jthread ending([&] {
        idle = service.finish();
        linesAtEnd = journal.all();
        ended = true;
    });
    // Lets the parse go before the end is waited for, also after a failed assertion.
    const ReleasedAtEnd releasingFirst{parse};
    // Under way once it has dropped what was queued; the save holds it.
    ASSERT_TRUE(waitUntil([&] { return service.waiting(Lane::pictures) == 0; }));
    journal.release();
    ASSERT_TRUE(waitUntil([&] { return ended.load(); }));
    ending.join();
    EXPECT_FALSE(idle);
    EXPECT_EQ(std::count(linesAtEnd.begin(), linesAtEnd.end(), "saved"), 1);
    EXPECT_EQ(std::count(linesAtEnd.begin(), linesAtEnd.end(), "parsed"), 0);
    EXPECT_EQ(std::count(linesAtEnd.begin(), linesAtEnd.end(), "queued"), 0);
    EXPECT_EQ(service.running(Lane::pictures), 1u);
}

// Pictures are made below the priority of the program that asks for them, even of one started below
// normal priority: the program's end tells its low-priority work apart by it. Documents are saved and
// opened at it, in the long turns of bulk work.
TEST(WorkService, PicturesRunBelowThePriorityOfTheProgramAndDocumentsAtItInBulk) {
    int program = 0, documents = 0, pictures = 0, documentsPolicy = -1;
    std::thread([&] {
        const auto self = id_t(gettid());
        // A program started with `nice -n 12`, where the lane's old fixed 10 would have been above it.
        setpriority(PRIO_PROCESS, self, std::min(19, getpriority(PRIO_PROCESS, self) + 12));
        program = getpriority(PRIO_PROCESS, self);
        WorkService service(1);
        Journal journal;
        const std::stop_source owner;
        service.run(Lane::documents, owner.get_token(), [&](const std::stop_token&) {
            documents = getpriority(PRIO_PROCESS, id_t(gettid()));
            documentsPolicy = sched_getscheduler(0);
            journal.add("documents");
        });
        service.run(Lane::pictures, owner.get_token(), [&](const std::stop_token&) {
            pictures = getpriority(PRIO_PROCESS, id_t(gettid()));
            journal.add("pictures");
        });
        EXPECT_TRUE(journal.waitFor([](const auto& all) { return all.size() == 2; }));
    }).join();
    if (program >= 19) GTEST_SKIP() << "the tests run at the lowest priority already";
    EXPECT_EQ(documents, program);
    EXPECT_EQ(documentsPolicy, SCHED_BATCH);
    EXPECT_GT(pictures, program);
}
