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

// Every byte this program asks of operator new is counted, so a test can bound what decoding
// one input costs. Only the total is kept (no per-block sizes), so blocks that another module
// allocates and this one frees cause no confusion.
namespace {
std::atomic<uint64_t> allocatedBytes{0};
}  // namespace

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
    std::string error;       // the runtime_error's message, empty when decoding succeeded
    uint64_t allocated = 0;  // bytes requested from operator new while decoding
};

Outcome decodeCounting(MemoryStream& stream) {
    MsgReader reader(&stream);
    Outcome outcome;
    const uint64_t before = allocatedBytes;
    try {
        MsgObject value = reader.readObject();
    } catch (const std::runtime_error& error) {
        outcome.error = error.what();
    }
    outcome.allocated = allocatedBytes - before;
    return outcome;
}

Bytes nestedArrays(size_t depth, Bytes innermost) {
    Bytes bytes(depth, 0x91);
    bytes.insert(bytes.end(), innermost.begin(), innermost.end());
    return bytes;
}

TEST(MsgHardeningTest, TenMegabytesOfNestedArrayHeaders) {
    MemoryStream stream(Bytes(10 * kMiB, 0x91));
    Outcome outcome = decodeCounting(stream);
    EXPECT_EQ(outcome.error, "Failed to read.");
    EXPECT_LT(outcome.allocated, 1 * kMiB);
    // It gave up at the depth limit, not at the end of the input.
    EXPECT_LE(stream.position, MsgReader::kMaxDepth + 1);

    // skip() walks the same input to its end without recursion and fails there.
    MemoryStream again(Bytes(10 * kMiB, 0x91));
    MsgReader reader(&again);
    EXPECT_THROW(reader.skip(), std::runtime_error);
    EXPECT_EQ(again.remaining(), 0u);
}

TEST(MsgHardeningTest, DepthLimitIsExact) {
    MemoryStream deepest(nestedArrays(MsgReader::kMaxDepth, {0xc0}));
    MsgReader reader(&deepest);
    MsgObject value = reader.readObject();
    const MsgObject* inner = &value;
    for (unsigned depth = 0; depth < MsgReader::kMaxDepth; ++depth) {
        ASSERT_EQ(inner->type(), MsgType::Array);
        inner = &inner->at(0);
    }
    EXPECT_EQ(inner->type(), MsgType::Nil);

    MemoryStream tooDeep(nestedArrays(MsgReader::kMaxDepth + 1, {0xc0}));
    EXPECT_EQ(decodeCounting(tooDeep).error, "Failed to read.");

    // Maps count toward the same depth.
    Bytes maps;
    for (unsigned i = 0; i <= MsgReader::kMaxDepth; ++i) {
        maps.insert(maps.end(), {0x81, 0xa1, 'k'});
    }
    maps.push_back(0xc0);
    MemoryStream deepMaps(maps);
    EXPECT_EQ(decodeCounting(deepMaps).error, "Failed to read.");
}

TEST(MsgHardeningTest, HugeAnnouncedCountsCostOnlyWhatArrives) {
    const std::vector<std::pair<const char*, Bytes>> inputs = {
        {"map of 4294967295 entries, then nothing", {0xdf, 0xff, 0xff, 0xff, 0xff}},
        {"array of 4294967295 elements, three sent", {0xdd, 0xff, 0xff, 0xff, 0xff, 1, 2, 3}},
        {"map 16 of 65535 entries, one sent", {0xde, 0xff, 0xff, 0xa1, 'k', 0x01}},
        {"str 32 of 4294967295 bytes, two sent", {0xdb, 0xff, 0xff, 0xff, 0xff, 'h', 'i'}},
        {"bin 32 of 4294967295 bytes, one sent", {0xc6, 0xff, 0xff, 0xff, 0xff, 0x00}},
        {"skipped inner huge string", {0x92, 0xdb, 0x7f, 0xff, 0xff, 0xff}},
    };
    for (const auto& [what, bytes] : inputs) {
        MemoryStream stream(bytes);
        Outcome outcome = decodeCounting(stream);
        EXPECT_EQ(outcome.error, "Failed to read.") << what;
        EXPECT_LT(outcome.allocated, 2 * kMiB) << what;

        MemoryStream skipped(bytes);
        MsgReader reader(&skipped);
        const uint64_t before = allocatedBytes;
        EXPECT_THROW(reader.skip(), std::runtime_error) << what;
        EXPECT_LT(allocatedBytes - before, 2 * kMiB) << what;
    }

    // Nested containers each announcing the maximum: every level preallocates at most the
    // bound, so the whole stays within a few MB.
    Bytes nested;
    for (unsigned i = 0; i < MsgReader::kMaxDepth; ++i) {
        nested.insert(nested.end(), {0xdf, 0xff, 0xff, 0xff, 0xff, 0xa1, 'k'});
    }
    MemoryStream stream(nested);
    Outcome outcome = decodeCounting(stream);
    EXPECT_EQ(outcome.error, "Failed to read.");
    EXPECT_LT(outcome.allocated, 8 * kMiB);
}

TEST(MsgHardeningTest, MemoryFollowsALongPayloadThatStopsShort) {
    // 3 MB of a blob announced as 4 GB: the buffer grows with the data, it is not taken whole.
    Bytes bytes = {0xc6, 0xff, 0xff, 0xff, 0xff};
    bytes.resize(bytes.size() + 3 * kMiB, 0x5a);
    MemoryStream stream(bytes);
    Outcome outcome = decodeCounting(stream);
    EXPECT_EQ(outcome.error, "Failed to read.");
    EXPECT_LT(outcome.allocated, 16 * kMiB);
    // The data that did arrive was kept (and the counting works on this platform).
    EXPECT_GE(outcome.allocated, 3 * kMiB);
}

TEST(MsgHardeningTest, CountsAboveThePreallocationBoundStillDecode) {
    const uint32_t bound = MsgReader::kMaxPreallocSlots;
    for (uint32_t count : {bound, bound + 1, 3 * bound + 5}) {
        Bytes array = {0xdc, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
        Bytes map = {0xde, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
        for (uint32_t i = 0; i < count; ++i) {
            array.insert(array.end(),
                         {0xcd, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)});
            map.insert(map.end(),
                       {0xa2, static_cast<uint8_t>('a' + i % 26),
                        static_cast<uint8_t>('a' + i / 26 % 26), 0xcc, static_cast<uint8_t>(i)});
        }
        MemoryStream arrayStream(array);
        MsgReader arrayReader(&arrayStream);
        MsgObject decodedArray = arrayReader.readObject();
        ASSERT_EQ(decodedArray.size(), count);
        // Growth stops at the announced count.
        EXPECT_EQ(decodedArray.capacity(), count);
        for (uint32_t i = 0; i < count; ++i) {
            ASSERT_EQ(decodedArray.at(i).asPositive(), i) << "element " << i;
        }

        MemoryStream mapStream(map);
        MsgReader mapReader(&mapStream);
        MsgObject decodedMap = mapReader.readObject();
        ASSERT_EQ(decodedMap.size(), count);
        EXPECT_EQ(decodedMap.capacity(), count);
        for (uint32_t i = 0; i < count; ++i) {
            const char key[] = {static_cast<char>('a' + i % 26),
                                static_cast<char>('a' + i / 26 % 26), '\0'};
            ASSERT_STREQ(decodedMap.keyAt(i), key);
            ASSERT_EQ(decodedMap.valueAt(i).asPositive(), i & 0xff);
        }
    }
}

}  // namespace
}  // namespace zel::vem
