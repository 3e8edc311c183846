// Tests of the decoder against a hostile peer: nesting, announced counts and lengths that never
// arrive, and the memory they may cost.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "msgpack/memory_stream.h"
#include "msgpack/msg_reader.h"
#include "msgpack/msg_writer.h"
#include "tests/msgpack/msg_dump.h"

// Every byte this program asks of operator new is counted, so a test can bound what decoding
// one input costs. Only the total is kept (no per-block sizes), so blocks that another module
// allocates and this one frees cause no confusion.
namespace {
std::atomic<uint64_t> allocatedBytes{0};
}  // namespace

// These replacements pair malloc with free themselves; GCC, seeing free() inlined into a
// delete of memory it believes came from operator new, warns about a mismatch that is not one.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    allocatedBytes += size;
    if (void* block = std::malloc(size ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}

namespace zel::vem {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t kMiB = 1024 * 1024;

struct Outcome {
    std::string error;       // the runtime_error's message, empty when the call succeeded
    uint64_t allocated = 0;  // bytes requested from operator new during the call
    size_t consumed = 0;     // bytes taken off the stream
};

// Decodes (or skips) one value of `input`, counting what it costs.
Outcome run(const Bytes& input, bool skip = false) {
    MemoryStream stream(input);
    MsgReader reader(&stream);
    Outcome outcome;
    const uint64_t before = allocatedBytes;
    try {
        if (skip) {
            reader.skip();
        } else {
            reader.readObject();
        }
    } catch (const std::runtime_error& error) {
        outcome.error = error.what();
    }
    outcome.allocated = allocatedBytes - before;
    outcome.consumed = stream.position;
    return outcome;
}

// `unit` repeated `times` times, then `tail`.
Bytes repeated(const Bytes& unit, size_t times, const Bytes& tail) {
    Bytes out;
    for (size_t i = 0; i < times; ++i) {
        out.insert(out.end(), unit.begin(), unit.end());
    }
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

TEST(MsgHardeningTest, TenMegabytesOfNestedArrayHeaders) {
    const Bytes input(10 * kMiB, 0x91);
    const Outcome decoded = run(input);
    EXPECT_EQ(decoded.error, "Failed to read.");
    EXPECT_LT(decoded.allocated, 1 * kMiB);
    // It gave up at the depth limit, not at the end of the input.
    EXPECT_LE(decoded.consumed, MsgReader::kMaxDepth + 1);

    // skip walks the same input to its end without recursion and fails there.
    const Outcome skipped = run(input, true);
    EXPECT_EQ(skipped.error, "Failed to read.");
    EXPECT_EQ(skipped.consumed, input.size());
}

TEST(MsgHardeningTest, DepthLimitIsExact) {
    MemoryStream deepest(repeated({0x91}, MsgReader::kMaxDepth, {0xc0}));
    const MsgObject value = MsgReader(&deepest).readObject();
    const MsgObject* inner = &value;
    for (unsigned depth = 0; depth < MsgReader::kMaxDepth; ++depth) {
        ASSERT_EQ(inner->type(), MsgType::Array);
        inner = &inner->at(0);
    }
    EXPECT_EQ(inner->type(), MsgType::Nil);

    EXPECT_EQ(run(repeated({0x91}, MsgReader::kMaxDepth + 1, {0xc0})).error, "Failed to read.");
    // Maps count toward the same depth.
    EXPECT_EQ(run(repeated({0x81, 0xa1, 'k'}, MsgReader::kMaxDepth + 1, {0xc0})).error,
              "Failed to read.");
}

TEST(MsgHardeningTest, HugeAnnouncedCountsCostOnlyWhatArrives) {
    const std::pair<const char*, Bytes> inputs[] = {
        {"map of 4294967295 entries, then nothing", {0xdf, 0xff, 0xff, 0xff, 0xff}},
        {"array of 4294967295 elements, three sent", {0xdd, 0xff, 0xff, 0xff, 0xff, 1, 2, 3}},
        {"map 16 of 65535 entries, one sent", {0xde, 0xff, 0xff, 0xa1, 'k', 0x01}},
        {"str 32 of 4294967295 bytes, two sent", {0xdb, 0xff, 0xff, 0xff, 0xff, 'h', 'i'}},
        {"bin 32 of 4294967295 bytes, one sent", {0xc6, 0xff, 0xff, 0xff, 0xff, 0x00}},
        {"skipped inner huge string", {0x92, 0xdb, 0x7f, 0xff, 0xff, 0xff}},
    };
    for (const auto& [what, input] : inputs) {
        for (bool skip : {false, true}) {
            SCOPED_TRACE(std::string(what) + (skip ? ", skipped" : ", decoded"));
            const Outcome outcome = run(input, skip);
            EXPECT_EQ(outcome.error, "Failed to read.");
            EXPECT_LT(outcome.allocated, 2 * kMiB);
        }
    }
    // Nested containers each announcing the maximum: every level preallocates at most the
    // bound, so the whole stays within a few MB.
    const Outcome nested =
        run(repeated({0xdf, 0xff, 0xff, 0xff, 0xff, 0xa1, 'k'}, MsgReader::kMaxDepth, {}));
    EXPECT_EQ(nested.error, "Failed to read.");
    EXPECT_LT(nested.allocated, 8 * kMiB);
}

TEST(MsgHardeningTest, MemoryFollowsALongPayloadThatStopsShort) {
    // 3 MB of a blob announced as 4 GB: the buffer grows with the data, it is not taken whole.
    Bytes input = {0xc6, 0xff, 0xff, 0xff, 0xff};
    input.resize(input.size() + 3 * kMiB, 0x5a);
    const Outcome outcome = run(input);
    EXPECT_EQ(outcome.error, "Failed to read.");
    EXPECT_LT(outcome.allocated, 16 * kMiB);
    // The data that did arrive was kept (and the counting works on this platform).
    EXPECT_GE(outcome.allocated, 3 * kMiB);
}

TEST(MsgHardeningTest, CountsAboveThePreallocationBoundStillDecode) {
    const uint32_t bound = MsgReader::kMaxPreallocSlots;
    for (uint32_t count : {bound, bound + 1, 3 * bound + 5}) {
        SCOPED_TRACE(count);
        MsgObject array(msgArray, 0);
        MsgObject map(msgMap, 0);
        for (uint32_t i = 0; i < count; ++i) {
            array.append(MsgObject(uint64_t{i}));
            map.insert(std::to_string(i).c_str(), MsgObject(uint64_t{i}));
        }
        for (const MsgObject* value : {&array, &map}) {
            MemoryStream stream;
            MsgWriter(&stream).writeObject(*value);
            const MsgObject decoded = MsgReader(&stream).readObject();
            // Growth stops at the announced count.
            EXPECT_EQ(decoded.capacity(), count);
            EXPECT_EQ(test::dump(decoded), test::dump(*value));
        }
    }
}

}  // namespace
}  // namespace zel::vem
