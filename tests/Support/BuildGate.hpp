#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

namespace osterveil::testsupport {

// A build that the test can hold on its worker, to let it finish when the test says so. Open unless
// closed.
struct BuildGate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = true;

    void close() {
        std::lock_guard lock(mutex);
        open = false;
    }
    void release() {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        cv.notify_all();
    }
    void pass() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return open; });
    }
};

// Opens the gate when it goes, also after a failed assertion, so that no worker stays held past the test.
struct OpenAtExit {
    std::shared_ptr<BuildGate> gate;
    ~OpenAtExit() { gate->release(); }
};

} // namespace osterveil::testsupport
