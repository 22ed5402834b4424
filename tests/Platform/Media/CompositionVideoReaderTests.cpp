#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <mutex>

#include "MediaFixtures.hpp"
#include "Platform/Media/CompositionVideoReader.hpp"

using namespace osterveil::media;

namespace {

// A compositor that cannot stop in the middle of a frame: every frame waits until `release` is set.
struct HoldingCompositor : VideoCompositor {
    std::promise<void> entered;
    std::shared_future<void> release;
    std::once_flag once;

    void startRequest(CompositionRequest& request) override {
        std::call_once(once, [&] { entered.set_value(); });
        release.wait();
        request.finishCancelled();
    }
    void cancelAllPendingRequests() override {}
};

// Notes, for each frame, the time of each source picture it was given.
struct RecordingCompositor : VideoCompositor {
    std::mutex mutex;
    std::map<double, std::map<std::int32_t, double>> seen;

    void startRequest(CompositionRequest& request) override {
        std::map<std::int32_t, double> pictures;
        for (std::int32_t id : request.instruction()->requiredSourceTrackIDs())
            if (auto frame = request.sourceFrame(id)) pictures[id] = frame->presentationTime.toSeconds();
        {
            std::lock_guard lock(mutex);
            seen[request.compositionTime().toSeconds()] = std::move(pictures);
        }
        request.finish(request.newPixelBuffer());
    }
    void cancelAllPendingRequests() override {}
};

} // namespace

// Five seconds at 24 fps from two movies, each decoded on its own thread: A on track 1 for the first
// second and again, after a gap longer than sources are kept open for, from 4 s (its second second);
// B on track 2 from 0.5 s, both at once up to 1 s. Every frame comes in order with each track's picture
// at the right time; a reader cancelled part way stops, and its threads end when it goes.
TEST(CompositionVideoReader, SourcesDecodeOnTheirOwnThreadsInOrder) {
    namespace ts = osterveil::testsupport;
    const auto a = ts::MediaFixtures::shared().scratch("a.mp4"), b = ts::MediaFixtures::shared().scratch("b.mp4");
    ts::writeMovie(a, {.frames = 48});
    ts::writeMovie(b, {.frames = 48, .keyFrameInterval = 5});
    const auto trackA = Asset::open(a)->tracks(MediaType::video).at(0);
    const auto trackB = Asset::open(b)->tracks(MediaType::video).at(0);
    auto composition = std::make_shared<Composition>();
    CompositionTrack* one = composition->addTrack(MediaType::video, 1);
    one->insertTimeRange(TimeRange(Time::zero(), Time(1, 1)), trackA, Time::zero());
    one->insertEmptyTimeRange(TimeRange(Time(1, 1), Time(3, 1)));
    one->insertTimeRange(TimeRange(Time(1, 1), Time(1, 1)), trackA, Time(4, 1));
    CompositionTrack* two = composition->addTrack(MediaType::video, 2);
    two->insertEmptyTimeRange(TimeRange(Time::zero(), Time(1, 2)));
    two->insertTimeRange(TimeRange(Time::zero(), Time(2, 1)), trackB, Time(1, 2));

    auto compositor = std::make_shared<RecordingCompositor>();
    VideoComposition video{{64, 36}, Time(1, 24), {}, [compositor] { return compositor; }};
    auto add = [&](Time from, Time to, std::vector<std::int32_t> ids) {
        video.instructions.push_back(std::make_shared<CompositionInstruction>(TimeRange::fromStartEnd(from, to), ids));
    };
    add(Time::zero(), Time(1, 2), {1});
    add(Time(1, 2), Time(1, 1), {1, 2});
    add(Time(1, 1), Time(5, 2), {2});
    add(Time(5, 2), Time(4, 1), {});
    add(Time(4, 1), Time(5, 1), {1});

    {
        CompositionVideoReader reader(composition, video, std::nullopt, 3);
        ASSERT_EQ(reader.frameCount(), 120);
        for (int k = 0; k < 120; ++k) {
            const auto frame = reader.next();
            ASSERT_TRUE(frame) << k;
            EXPECT_EQ(frame->time, Time(k, 24));
        }
        EXPECT_FALSE(reader.next());
    }
    ASSERT_EQ(compositor->seen.size(), 120u);
    for (int k = 0; k < 120; ++k) {
        const double t = k / 24.0;
        std::map<std::int32_t, double> expected;
        if (t < 1) expected[1] = t;
        if (t >= 4) expected[1] = t - 3;
        if (t >= 0.5 && t < 2.5) expected[2] = t - 0.5;
        const auto& got = compositor->seen[t];
        ASSERT_EQ(got.size(), expected.size()) << "frame " << k;
        for (const auto& [id, time] : expected) EXPECT_NEAR(got.at(id), time, 1e-6) << "frame " << k << " track " << id;
    }

    // A compositor that draws only BGRA gets BGRA buffers, whatever format the reader is asked for.
    CompositionVideoReader reader(composition, video, std::nullopt, 3, PixelFormat::yuv420p8);
    for (int k = 0; k < 30; ++k) {
        const auto frame = reader.next();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->picture.format(), PixelFormat::bgra8);
    }
    reader.cancel();
    EXPECT_THROW(reader.next(), Error);
}

// Cancelling only signals: it returns while frames are still being composed, and the reader joins
// its threads when it goes away.
TEST(CompositionVideoReader, CancelDoesNotWaitForFramesInProgress) {
    std::promise<void> release;
    auto compositor = std::make_shared<HoldingCompositor>();
    compositor->release = release.get_future().share();
    VideoComposition video{{64, 36}, Time(1, 24), {}, [compositor] { return compositor; }};
    video.instructions.push_back(std::make_shared<CompositionInstruction>(TimeRange(Time::zero(), Time(1, 1)),
                                                                          std::vector<std::int32_t>{}));
    CompositionVideoReader reader(std::make_shared<Composition>(), video, std::nullopt, 2);
    compositor->entered.get_future().wait();
    // Should cancel wait for the held frame, the frame is let go after ten seconds and the test fails.
    std::promise<void> returned;
    auto releaser = std::async(std::launch::async, [&, done = returned.get_future()] {
        const bool inTime = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        release.set_value();
        return inTime;
    });
    reader.cancel();
    returned.set_value();
    EXPECT_TRUE(releaser.get()) << "cancel waited for the frame in progress";
    EXPECT_THROW(reader.next(), Error);
}
