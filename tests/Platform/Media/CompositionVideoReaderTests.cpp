#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Platform/Media/CompositionVideoReader.hpp"

using namespace osterveil::media;

namespace {

// A compositor that cannot stop in the middle of a frame: each frame is held until the test lets
// them all go, whatever cancel asks.
struct HoldingCompositor : VideoCompositor {
    std::mutex mutex;
    std::condition_variable changed;
    int entered = 0;
    bool released = false;

    void startRequest(CompositionRequest& request) override {
        std::unique_lock lock(mutex);
        ++entered;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
        request.finishCancelled();
    }
    void cancelAllPendingRequests() override {}
    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
};

} // namespace

// Cancelling only signals: it returns while frames are still being composed, and the reader ends
// its threads when it goes away.
TEST(CompositionVideoReader, CancelDoesNotWaitForFramesInProgress) {
    auto compositor = std::make_shared<HoldingCompositor>();
    VideoComposition video;
    video.renderSize = {64, 36};
    video.frameDuration = Time(1, 24);
    video.instructions.push_back(
        std::make_shared<CompositionInstruction>(TimeRange(Time::zero(), Time(1, 1)), std::vector<std::int32_t>{}));
    video.makeCompositor = [compositor] { return compositor; };
    CompositionVideoReader reader(std::make_shared<Composition>(), video, std::nullopt, 2);
    {
        std::unique_lock lock(compositor->mutex);
        compositor->changed.wait(lock, [&] { return compositor->entered > 0; });
    }
    // The held frames are let go once cancel has returned, or after ten seconds should it wait for them.
    std::mutex mutex;
    std::condition_variable returnedSignal;
    bool returned = false, forced = false;
    std::thread releaser([&] {
        std::unique_lock lock(mutex);
        forced = !returnedSignal.wait_for(lock, std::chrono::seconds(10), [&] { return returned; });
        compositor->release();
    });
    reader.cancel();
    {
        std::lock_guard lock(mutex);
        returned = true;
        returnedSignal.notify_all();
    }
    releaser.join();
    EXPECT_FALSE(forced) << "cancel waited for the frames in progress";
    EXPECT_THROW(reader.next(), Error);
}
