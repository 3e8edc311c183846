// Tests of the critical section and the events.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "suite/sync.h"

namespace zel {
namespace {

TEST(SuiteSync, EventResetModes) {
    CEvent autoReset(false, true);
    EXPECT_TRUE(autoReset.Wait(0));
    EXPECT_FALSE(autoReset.Wait(0));  // cleared by the first wait
    CEvent manual(true, false);
    EXPECT_FALSE(manual.Wait(10));
    manual.Signal();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));  // stays signalled
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));
}

TEST(SuiteSync, WaitsEndOnSignalOrAfterTheLimit) {
    CEvent ready(false, false);
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ready.Signal();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ready.Wait(CEvent::kInfinite));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
    signaller.join();
    const auto again = std::chrono::steady_clock::now();
    EXPECT_FALSE(ready.Wait(100));  // auto-reset: the signal was used up
    EXPECT_GE(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(90));
}

// The hand-off at start-up: the waiter destroys the event as soon as its wait returns, while the
// signalling thread may still be inside Signal. The sanitizer jobs catch any touch after that.
TEST(SuiteSync, AWaiterMayDestroyTheEventOnceWoken) {
    for (int round = 0; round < 200; ++round) {
        auto event = std::make_unique<CEvent>(false, false);
        std::thread signaller([raw = event.get()] { raw->Signal(); });
        EXPECT_TRUE(event->Wait(CEvent::kInfinite));
        event.reset();
        signaller.join();
    }
}

}  // namespace
}  // namespace zel
