#include <gtest/gtest.h>

#include <chrono>
#include <future>

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

} // namespace

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
