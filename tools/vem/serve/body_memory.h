// BodyMemory: the memory all streamed bodies of the server may hold at once, and each one's share.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vemserve {

// What one streamed body is given: `count` buffers of `size` bytes.
struct BufferPlan {
    size_t size = 0;
    int count = 0;
    bool budgeted = false;  // counted against the budget (else a lean buffer, outside it)
    uint64_t bytes() const { return uint64_t{size} * static_cast<uint64_t>(count); }
};

// A body is read in chunks of whole frames (up to 64 MiB each) into two buffers, so that
// reading and sending overlap. Many slow downloads of movies with large frames would hold that
// much per connection; the buffers therefore come out of one budget. A body that does not fit
// is not refused: it gets one lean buffer, read in smaller pieces and without the overlap. The
// lean buffers lie outside the budget; the connection cap bounds them.
class BodyMemory {
  public:
    static constexpr uint64_t kBudget = uint64_t{1} << 30;
    static constexpr size_t kLean = size_t{1} << 20;

    explicit BodyMemory(uint64_t budget = kBudget) : budget_(budget) {}

    // Plans and reserves the buffers of a body of `bodySize` bytes (more than 0) read in chunks
    // of `chunk`; every plan goes back through release().
    BufferPlan reserve(uint64_t bodySize, size_t chunk);
    void release(BufferPlan& plan);
    uint64_t inUse() const { return used_.load(); }

  private:
    const uint64_t budget_;
    std::atomic<uint64_t> used_{0};  // by budgeted plans only
};

}  // namespace vemserve
