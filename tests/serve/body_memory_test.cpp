// The body buffers' budget: two chunks while they fit, one lean buffer when not, and back.
#include "body_memory.h"

#include <gtest/gtest.h>

namespace vemserve {
namespace {

constexpr uint64_t MiB = 1 << 20;

TEST(BodyMemory, PlansTwoChunksWhileTheyFitAndOneLeanBufferWhenNot) {
    struct Case {
        uint64_t inUse, body, chunk;
        size_t size;
        int count;
        bool budgeted;
    };
    const Case cases[] = {
        // in use, body, chunk    ->  size, count, budgeted
        {0, 400 * MiB, 4 * MiB, 4 * MiB, 2, true},    // a long body: two chunks
        {0, 3 * MiB, 4 * MiB, 3 * MiB, 1, true},      // one chunk's worth: one buffer of its size
        {0, 4 * MiB, 4 * MiB, 4 * MiB, 1, true},      // exactly one chunk
        {0, 4 * MiB + 1, 4 * MiB, 4 * MiB, 2, true},  // one byte more
        {0, 1, 4 * MiB, 1, 1, true},                  // a one-byte range
        {56 * MiB, 400 * MiB, 4 * MiB, 4 * MiB, 2, true},       // fills the budget exactly
        {57 * MiB, 400 * MiB, 4 * MiB, 1 * MiB, 1, false},      // a byte short: lean
        {0, 400 * MiB, 64 * MiB, 1 * MiB, 1, false},            // larger than the whole budget
        {64 * MiB, 512 * 1024, 4 * MiB, 512 * 1024, 1, false},  // lean, and no larger than the body
    };
    for (const Case& c : cases) {
        BodyMemory memory(64 * MiB);
        BufferPlan held;
        if (c.inUse > 0) {
            held = memory.reserve(c.inUse + 1, static_cast<size_t>(c.inUse / 2));
            ASSERT_EQ(memory.inUse(), c.inUse);
        }
        BufferPlan plan = memory.reserve(c.body, static_cast<size_t>(c.chunk));
        EXPECT_EQ(plan.size, c.size) << c.inUse << " " << c.body << " " << c.chunk;
        EXPECT_EQ(plan.count, c.count) << c.inUse << " " << c.body << " " << c.chunk;
        EXPECT_EQ(plan.budgeted, c.budgeted) << c.inUse << " " << c.body << " " << c.chunk;
        EXPECT_EQ(memory.inUse(), c.inUse + (c.budgeted ? c.size * c.count : 0));
        memory.release(plan);
        memory.release(plan);  // a second release gives nothing back twice
        EXPECT_EQ(memory.inUse(), c.inUse);
        memory.release(held);
        EXPECT_EQ(memory.inUse(), 0u);
    }
}

}  // namespace
}  // namespace vemserve
