// Tests of the info block: the documented bytes, round trips and every rejection rule.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "suite/file/info_block.h"

using zel::file::EncodeInfoBlock;
using zel::file::ParseInfoBlock;
using zel::file::SInfoBlock;

namespace {

constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

void putLE(std::vector<uint8_t>& bytes, size_t offset, uint64_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

SInfoBlock threeFrames() {
    SInfoBlock block;
    block.width = 640;
    block.height = 480;
    block.recordingTime = kUnixEpochTicks + 5;
    block.frameTimes = {kUnixEpochTicks + 10, kUnixEpochTicks + 20, -7};
    return block;
}

}  // namespace

// The example of docs/info-block.md, byte for byte.
TEST(InfoBlock, EncodesTheDocumentedExample) {
    SInfoBlock block;
    block.width = 4;
    block.height = 2;
    block.recordingTime = kUnixEpochTicks;
    block.frameTimes = {kUnixEpochTicks};
    const std::vector<uint8_t> expected = {
        0x5A, 0x56, 0x45, 0x4D, 0x49, 0x4E, 0x46, 0x4F, 0x01, 0x00, 0x38, 0x00, 0x01,
        0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x80, 0x3E, 0xD5, 0xDE, 0xB1, 0x9D, 0x01, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3E, 0xD5, 0xDE, 0xB1, 0x9D, 0x01};
    EXPECT_EQ(EncodeInfoBlock(block), expected);
}

TEST(InfoBlock, RoundTripsEveryField) {
    const SInfoBlock block = threeFrames();
    const std::vector<uint8_t> bytes = EncodeInfoBlock(block);
    ASSERT_EQ(bytes.size(), 56u + 3 * 8);
    SInfoBlock parsed;
    std::string error;
    ASSERT_TRUE(ParseInfoBlock(bytes.data(), bytes.size(), parsed, &error)) << error;
    EXPECT_EQ(parsed.width, 640u);
    EXPECT_EQ(parsed.height, 480u);
    EXPECT_EQ(parsed.pixelFormat, zel::file::kPixelGray16);
    EXPECT_EQ(parsed.recordingTime, block.recordingTime);
    EXPECT_EQ(parsed.frameTimes, block.frameTimes);
    EXPECT_EQ(parsed.frameBytes(), 640u * 480u * 2u);
}

TEST(InfoBlock, AcceptsAMovieWithoutFramesAndTheLargestSides) {
    SInfoBlock block;
    block.width = 65535;
    block.height = 65535;
    block.recordingTime = 42;
    const std::vector<uint8_t> bytes = EncodeInfoBlock(block);
    SInfoBlock parsed;
    ASSERT_TRUE(ParseInfoBlock(bytes.data(), bytes.size(), parsed));
    EXPECT_EQ(parsed.frameCount(), 0u);
    EXPECT_EQ(parsed.recordingTime, 42);
    EXPECT_EQ(parsed.frameBytes(), uint64_t{65535} * 65535 * 2);
}

// A later revision may grow the header; a version 1 reader skips what it does not know.
TEST(InfoBlock, SkipsHeaderFieldsOfALaterRevision) {
    std::vector<uint8_t> bytes = EncodeInfoBlock(threeFrames());
    bytes.insert(bytes.begin() + 56, 16, 0xEE);
    putLE(bytes, 10, 72, 2);
    SInfoBlock parsed;
    ASSERT_TRUE(ParseInfoBlock(bytes.data(), bytes.size(), parsed));
    EXPECT_EQ(parsed.frameTimes, threeFrames().frameTimes);
}

// Each row damages a good three-frame block in one way; every one must be refused with its
// reason and leave the output untouched.
TEST(InfoBlock, RejectsDamagedBlocks) {
    using Bytes = std::vector<uint8_t>;
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        const char* reason;
    };
    const Case cases[] = {
        {"empty", [](Bytes& b) { b.clear(); }, "Info block truncated."},
        {"header cut", [](Bytes& b) { b.resize(55); }, "Info block truncated."},
        {"wrong magic", [](Bytes& b) { b[7] = 'X'; }, "Not an info block."},
        {"version 0", [](Bytes& b) { putLE(b, 8, 0, 2); }, "Unsupported info block version."},
        {"version 2", [](Bytes& b) { putLE(b, 8, 2, 2); }, "Unsupported info block version."},
        {"header 48", [](Bytes& b) { putLE(b, 10, 48, 2); }, "Bad info block header size."},
        {"header 60", [](Bytes& b) { putLE(b, 10, 60, 2); }, "Bad info block header size."},
        {"header 4104", [](Bytes& b) { putLE(b, 10, 4104, 2); }, "Bad info block header size."},
        {"header past end", [](Bytes& b) { putLE(b, 10, 1024, 2); }, "Info block truncated."},
        {"pixel format 2", [](Bytes& b) { putLE(b, 12, 2, 4); }, "Unsupported pixel format."},
        {"width 0", [](Bytes& b) { putLE(b, 16, 0, 4); }, "Bad frame size."},
        {"height 0", [](Bytes& b) { putLE(b, 20, 0, 4); }, "Bad frame size."},
        {"width 65536", [](Bytes& b) { putLE(b, 16, 65536, 4); }, "Bad frame size."},
        {"height 2^32-1", [](Bytes& b) { putLE(b, 20, 0xFFFFFFFF, 4); }, "Bad frame size."},
        {"frame bytes off by 2", [](Bytes& b) { putLE(b, 32, 640 * 480 * 2 + 2, 8); },
         "Frame byte count does not match the frame size."},
        {"flags", [](Bytes& b) { putLE(b, 48, 1, 4); }, "Unknown info block flags."},
        {"one time missing", [](Bytes& b) { b.resize(b.size() - 8); },
         "Frame count does not match the block length."},
        {"half a time", [](Bytes& b) { b.resize(b.size() - 4); },
         "Frame count does not match the block length."},
        {"trailing bytes", [](Bytes& b) { b.insert(b.end(), 8, 0); },
         "Frame count does not match the block length."},
        // 56 + 8 * 2^61 wraps to 56 in 64 bits: a reader that multiplies would accept it.
        {"count that wraps",
         [](Bytes& b) {
             putLE(b, 24, uint64_t{1} << 61, 8);
             b.resize(56);
         },
         "Frame count does not match the block length."},
        {"count 2^64-1", [](Bytes& b) { putLE(b, 24, ~uint64_t{0}, 8); },
         "Frame count does not match the block length."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes = EncodeInfoBlock(threeFrames());
        c.damage(bytes);
        SInfoBlock out;
        out.width = 7;
        std::string error;
        EXPECT_FALSE(ParseInfoBlock(bytes.data(), bytes.size(), out, &error));
        EXPECT_EQ(error, c.reason);
        EXPECT_EQ(out.width, 7u);
        EXPECT_TRUE(out.frameTimes.empty());
    }
    SInfoBlock out;
    EXPECT_FALSE(ParseInfoBlock(nullptr, 100, out));
}
