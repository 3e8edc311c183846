// BodyMemory: budgeted body buffers, with one lean buffer for a body that does not fit.
#include "body_memory.h"

#include <algorithm>

namespace vemserve {

BufferPlan BodyMemory::reserve(uint64_t bodySize, size_t chunk) {
    BufferPlan plan;
    plan.size = static_cast<size_t>(std::max<uint64_t>(1, std::min<uint64_t>(chunk, bodySize)));
    // A body of one chunk has nothing to overlap with: one buffer is all it can use.
    plan.count = bodySize > plan.size ? 2 : 1;
    plan.budgeted = true;
    const uint64_t want = plan.bytes();
    uint64_t used = used_.load();
    while (used <= budget_ && want <= budget_ - used) {
        if (used_.compare_exchange_weak(used, used + want)) {
            return plan;
        }
    }
    plan.size = std::min(plan.size, kLean);
    plan.count = 1;
    plan.budgeted = false;
    return plan;
}

void BodyMemory::release(BufferPlan& plan) {
    if (plan.budgeted) {
        used_.fetch_sub(plan.bytes());
    }
    plan = BufferPlan{};
}

}  // namespace vemserve
