// RemovalLock: one holder per service pipe at a time; a waiter gets it when the holder lets go.
// Threads stand in for client processes: a flock (POSIX) is held per open file and a named mutex
// (Windows) per thread, so two threads contend as two processes do.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "service/removal_lock.h"
#include "tests/channel/scripted_service.h"

namespace zel::vem::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Taken {
    bool held = false;
    bool busy = false;
    Clock::duration waited{};
};

// Takes the lock of `pipe` on another thread, waiting up to `timeoutMs`.
Taken takeOnAnotherThread(const std::string& pipe, uint32_t timeoutMs) {
    Taken taken;
    std::thread([&] {
        const auto start = Clock::now();
        RemovalLock lock(pipe.c_str(), timeoutMs);
        taken = Taken{lock.held(), lock.busy(), Clock::now() - start};
    }).join();
    return taken;
}

TEST(RemovalLock, OneHolderPerPipeAndTheWaiterFollows) {
    const std::string pipe = uniquePipeName();
    {
        RemovalLock first(pipe.c_str(), 0);
        ASSERT_TRUE(first.held());
        EXPECT_FALSE(first.busy());
        // Each row: the pipe asked for, the wait, whether it is had.
        const struct {
            std::string pipe;
            uint32_t timeoutMs;
            bool held;
        } rows[] = {
            {pipe, 0, false},             // held elsewhere: refused at once
            {pipe, 150, false},           // and still after the wait
            {uniquePipeName(), 0, true},  // another service's removals are not held up
        };
        for (const auto& row : rows) {
            const Taken taken = takeOnAnotherThread(row.pipe, row.timeoutMs);
            EXPECT_EQ(taken.held, row.held) << row.pipe << " " << row.timeoutMs;
            EXPECT_EQ(taken.busy, !row.held) << row.pipe << " " << row.timeoutMs;
            if (!row.held) {
                EXPECT_GE(taken.waited, std::chrono::milliseconds(row.timeoutMs));
            }
        }
    }
    EXPECT_TRUE(takeOnAnotherThread(pipe, 0).held);  // released with its holder

    // A waiter is let in once the holder goes, well before its own time runs out.
    enum { kTrying, kHolding, kRefused };
    std::atomic<int> state{kTrying};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        RemovalLock lock(pipe.c_str(), 0);
        state = lock.held() ? kHolding : kRefused;
        while (!release) {
            std::this_thread::sleep_for(1ms);
        }
    });
    while (state == kTrying) {
        std::this_thread::sleep_for(1ms);
    }
    if (state != kHolding) {
        release = true;
        holder.join();
        FAIL() << "the holder could not take the lock";
    }
    std::thread releaser([&] {
        std::this_thread::sleep_for(100ms);
        release = true;
    });
    const Taken waiter = takeOnAnotherThread(pipe, 20000);
    holder.join();
    releaser.join();
    EXPECT_TRUE(waiter.held);
    EXPECT_GE(waiter.waited, 90ms);
    EXPECT_LT(waiter.waited, 10s);
}

}  // namespace
}  // namespace zel::vem::test
