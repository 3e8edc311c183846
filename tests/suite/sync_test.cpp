// Tests of the critical section and the events.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "suite/sync.h"

namespace zel {
namespace {

TEST(SuiteSync, CriticalSectionIsRecursive) {
    CCriticalSection cs;
    CAutoLock outer(cs);
    {
        CAutoLock inner(cs);  // would deadlock if not recursive
        EXPECT_TRUE(cs.TryEnter());
        cs.Leave();
    }
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = cs.TryEnter(); }).join();
    EXPECT_FALSE(otherGotIt);
}

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

}  // namespace
}  // namespace zel
