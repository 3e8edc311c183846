// Tests of the info block: the documented bytes, round trips and every rejection rule.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "suite/file/info_block.h"

using zel::file::EncodeInfoBlock;
using zel::file::ParseInfoBlock;
using zel::file::SInfoBlock;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

void putLE(Bytes& bytes, size_t offset, uint64_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

SInfoBlock block(uint32_t w, uint32_t h, int64_t recorded, std::vector<int64_t> times) {
    SInfoBlock b;
    b.width = w;
    b.height = h;
    b.recordingTime = recorded;
    b.frameTimes = std::move(times);
    return b;
}

const SInfoBlock kThreeFrames =
    block(640, 480, kUnixEpochTicks + 5, {kUnixEpochTicks + 10, kUnixEpochTicks + 20, -7});

}  // namespace

// The example of docs/info-block.md, byte for byte.
TEST(InfoBlock, EncodesTheDocumentedExample) {
    const Bytes expected = {0x5A, 0x56, 0x45, 0x4D, 0x49, 0x4E, 0x46, 0x4F, 0x01, 0x00, 0x38,
                            0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x02, 0x00,
                            0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3E, 0xD5,
                            0xDE, 0xB1, 0x9D, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x80, 0x3E, 0xD5, 0xDE, 0xB1, 0x9D, 0x01};
    EXPECT_EQ(EncodeInfoBlock(block(4, 2, kUnixEpochTicks, {kUnixEpochTicks})), expected);
}

TEST(InfoBlock, ParsesWhatItEncodes) {
    struct Case {
        const char* what;
        SInfoBlock block;
        uint16_t extraHeader;
    };
    const Case cases[] = {
        {"three frames, one before 1601", kThreeFrames, 0},
        {"no frames, largest sides", block(65535, 65535, 42, {}), 0},
        // A later revision may grow the header; a version 1 reader skips what it does not know.
        {"header of a later revision", kThreeFrames, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes = EncodeInfoBlock(c.block);
        bytes.insert(bytes.begin() + 56, c.extraHeader, 0xEE);
        putLE(bytes, 10, 56 + c.extraHeader, 2);
        SInfoBlock parsed;
        std::string error;
        ASSERT_TRUE(ParseInfoBlock(bytes.data(), bytes.size(), parsed, &error)) << error;
        EXPECT_EQ(parsed.width, c.block.width);
        EXPECT_EQ(parsed.height, c.block.height);
        EXPECT_EQ(parsed.recordingTime, c.block.recordingTime);
        EXPECT_EQ(parsed.frameTimes, c.block.frameTimes);
    }
}

// Each row damages a good three-frame block in one way; every one must be refused with its
// reason and leave the output untouched.
TEST(InfoBlock, RejectsDamagedBlocks) {
    const char* const kTruncated = "Info block truncated.";
    const char* const kHeader = "Bad info block header size.";
    const char* const kSize = "Bad frame size.";
    const char* const kCount = "Frame count does not match the block length.";
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        const char* reason;
    };
    const Case cases[] = {
        {"empty", [](Bytes& b) { b.clear(); }, kTruncated},
        {"header cut", [](Bytes& b) { b.resize(55); }, kTruncated},
        {"wrong magic", [](Bytes& b) { b[7] = 'X'; }, "Not an info block."},
        {"version 0", [](Bytes& b) { putLE(b, 8, 0, 2); }, "Unsupported info block version."},
        {"version 2", [](Bytes& b) { putLE(b, 8, 2, 2); }, "Unsupported info block version."},
        {"header 48", [](Bytes& b) { putLE(b, 10, 48, 2); }, kHeader},
        {"header 60", [](Bytes& b) { putLE(b, 10, 60, 2); }, kHeader},
        {"header 4104", [](Bytes& b) { putLE(b, 10, 4104, 2); }, kHeader},
        {"header past end", [](Bytes& b) { putLE(b, 10, 1024, 2); }, kTruncated},
        {"pixel format 2", [](Bytes& b) { putLE(b, 12, 2, 4); }, "Unsupported pixel format."},
        {"width 0", [](Bytes& b) { putLE(b, 16, 0, 4); }, kSize},
        {"height 0", [](Bytes& b) { putLE(b, 20, 0, 4); }, kSize},
        {"width 65536", [](Bytes& b) { putLE(b, 16, 65536, 4); }, kSize},
        {"height 2^32-1", [](Bytes& b) { putLE(b, 20, 0xFFFFFFFF, 4); }, kSize},
        {"frame bytes off by 2", [](Bytes& b) { putLE(b, 32, 640 * 480 * 2 + 2, 8); },
         "Frame byte count does not match the frame size."},
        {"flags", [](Bytes& b) { putLE(b, 48, 1, 4); }, "Unknown info block flags."},
        {"one time missing", [](Bytes& b) { b.resize(b.size() - 8); }, kCount},
        {"half a time", [](Bytes& b) { b.resize(b.size() - 4); }, kCount},
        {"trailing bytes", [](Bytes& b) { b.insert(b.end(), 8, 0); }, kCount},
        // 56 + 8 * 2^61 wraps to 56 in 64 bits: a reader that multiplies would accept it.
        {"count that wraps", [](Bytes& b) { putLE(b, 24, uint64_t{1} << 61, 8), b.resize(56); },
         kCount},
        {"count 2^64-1", [](Bytes& b) { putLE(b, 24, ~uint64_t{0}, 8); }, kCount},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes = EncodeInfoBlock(kThreeFrames);
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
