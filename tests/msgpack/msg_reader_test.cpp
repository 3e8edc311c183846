// Tests of MsgReader: bytes to values and exact errors per format family, truncation, typed
// reads, skip, findField and blob data.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "msgpack/memory_stream.h"
#include "msgpack/msg_reader.h"
#include "tests/msgpack/msg_dump.h"

namespace zel::vem {
namespace {

using Bytes = std::vector<uint8_t>;
using test::bytes;
using test::dump;

const std::string kFailed = "error: Failed to read.";

// The message of the runtime_error that `call` throws, or "ok".
std::string outcome(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& error) {
        return std::string("error: ") + error.what();
    }
    return "ok";
}

// readObject on `input`: the value's dump or the error, and any bytes it left unread.
std::string decode(const Bytes& input) {
    MemoryStream stream(input);
    std::string result;
    const std::string status = outcome([&] { result = dump(MsgReader(&stream).readObject()); });
    if (status != "ok") {
        return status;
    }
    return stream.remaining() ? "left " + std::to_string(stream.remaining()) + ": " + result
                              : result;
}

// skip on `input`: "ok" when it consumed all of it.
std::string skipAll(const Bytes& input) {
    MemoryStream stream(input);
    const std::string status = outcome([&] { MsgReader(&stream).skip(); });
    return status == "ok" && stream.remaining() ? "left " + std::to_string(stream.remaining())
                                                : status;
}

struct Case {
    const char* input;
    std::string expected;
};

// One complete value of every format family, then malformed input.
const Case kValues[] = {
    {"7f", "u127"},
    {"ff", "i-1"},
    {"e0", "i-32"},
    {"cc ff", "u255"},
    {"cd 01 02", "u258"},
    {"ce 01 02 03 04", "u16909060"},
    {"cf ff ff ff ff ff ff ff ff", "u18446744073709551615"},
    {"cf 01 02 03 04 05 06 07 08", "u72623859790382856"},
    {"d3 fe fd fc fb fa f9 f8 f8", "i-72623859790382856"},
    {"d0 05", "u5"},
    {"d0 fb", "i-5"},
    {"d1 ff 7f", "i-129"},
    {"d2 00 00 00 00", "u0"},
    {"d2 80 00 00 00", "i-2147483648"},
    {"d3 80 00 00 00 00 00 00 00", "i-9223372036854775808"},
    {"c0", "nil"},
    {"c2", "false"},
    {"c3", "true"},
    {"ca 3f c0 00 00", "f1.5/3ff8000000000000"},
    {"cb 3f e0 00 00 00 00 00 00", "f0.5/3fe0000000000000"},
    {"cb 80 00 00 00 00 00 00 00", "f-0/8000000000000000"},
    {"cb 40 09 21 fb 54 44 2d 18", "f3.1415926535897931/400921fb54442d18"},
    {"ca 40 49 0f db", "f3.1415927410125732/400921fb60000000"},
    {"a0", "\"\""},
    {"a3 61 00 62", "\"a\\x00b\""},
    {"d9 02 68 69", "\"hi\""},
    {"da 00 01 7a", "\"z\""},
    {"db 00 00 00 02 6f 6b", "\"ok\""},
    {"c4 00", "bin()"},
    {"c4 02 00 ff", "bin(00ff)"},
    {"c5 00 01 7e", "bin(7e)"},
    {"c6 00 00 00 01 01", "bin(01)"},
    {"93 01 a1 78 c0", "[u1, \"x\", nil]"},
    {"81 a1 61 2a", "{a: u42}"},
    {"80", "{}"},
    {"82 a1 61 01 a1 61 02", "{a: u1, a: u2}"},
    {"dc 00 02 c2 c3", "[false, true]"},
    {"dd 00 00 00 01 e0", "[i-32]"},
    {"de 00 01 a1 6b 90", "{k: []}"},
    {"df 00 00 00 01 d9 01 6b 80", "{k: {}}"},
    {"82 a5 65 72 72 6f 72 c0 a6 72 65 73 75 6c 74 81 a4 69 6e 66 6f 92 c4 01 05 d0 fb",
     "{error: nil, result: {info: [bin(05), i-5]}}"},
    {"81 01 02", "error: Expected string."},
    {"91 81 90 01", "error: Expected string."},
    {"92 01 d4 01 00", kFailed},
    {"92 01", kFailed},
    {"", kFailed},
};

TEST(MsgReaderTest, ReadObjectAndSkipAgree) {
    for (const Case& c : kValues) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(decode(bytes(c.input)), c.expected);
        // skip does not look at keys; otherwise it must end where readObject ends.
        EXPECT_EQ(skipAll(bytes(c.input)), c.expected == kFailed ? kFailed : "ok");
    }
}

TEST(MsgReaderTest, EveryTruncationFailsToRead) {
    // Cutting a complete encoding short must fail with the stream's message, never hang or
    // return a partial value.
    for (const Case& c : kValues) {
        if (c.expected.rfind("error", 0) == 0) {
            continue;
        }
        const Bytes whole = bytes(c.input);
        for (size_t cut = 0; cut < whole.size(); ++cut) {
            SCOPED_TRACE(std::string(c.input) + " cut to " + std::to_string(cut) + " bytes");
            const Bytes prefix(whole.begin(), whole.begin() + cut);
            EXPECT_EQ(decode(prefix), kFailed);
            EXPECT_EQ(skipAll(prefix), kFailed);
        }
    }
}

TEST(MsgReaderTest, UnsupportedFormatsConsumeOnlyTheTypeByte) {
    // Reserved 0xc1 and every extension format.
    for (const char* input :
         {"c1", "c7 01 05 00", "c8 00 01 05 00", "c9 00 00 00 01 05 00", "d4 01 00", "d5 01 00 00",
          "d6 01 00 00 00 00", "d7 01 00 00", "d8 01 00 00"}) {
        SCOPED_TRACE(input);
        MemoryStream stream(bytes(input));
        EXPECT_FALSE(MsgReader(&stream).readHeader());
        EXPECT_EQ(stream.position, 1u);
        EXPECT_EQ(decode(bytes(input)), kFailed);
    }
}

TEST(MsgReaderTest, ContainersGetTheAnnouncedCapacityAndEndOnTheirLastByte) {
    MemoryStream stream(bytes("93 01 a1 78 c0  82 a1 61 01 a1 61 02"));
    MsgReader reader(&stream);
    MsgObject array = reader.readObject();
    EXPECT_EQ(array.size(), 3u);
    EXPECT_EQ(array.capacity(), 3u);
    MsgObject map = reader.readObject();
    EXPECT_EQ(map.capacity(), 2u);
    EXPECT_EQ(map.get("a").asPositive(), 1u);
    EXPECT_EQ(stream.remaining(), 0u);
}

TEST(MsgReaderTest, HeaderFieldsOutliveAFailedHeader) {
    // Both integer fields get the same 64 bits.
    MemoryStream stream(bytes("d0 fb  cf ff ff ff ff ff ff ff fe  a2 6f 6b  c3  c1"));
    MsgReader reader(&stream);
    ASSERT_TRUE(reader.readHeader());
    EXPECT_EQ(reader.lastNegative(), -5);
    EXPECT_EQ(reader.lastPositive(), 0xfffffffffffffffbu);
    ASSERT_TRUE(reader.readHeader());
    EXPECT_EQ(reader.kind(), MsgType::PositiveInt);
    EXPECT_EQ(reader.lastNegative(), -2);
    ASSERT_TRUE(reader.readHeader());
    EXPECT_EQ(reader.lastString(), "ok");
    ASSERT_TRUE(reader.readHeader());
    // A failed header keeps what the previous one recorded.
    EXPECT_FALSE(reader.readHeader());
    EXPECT_EQ(reader.kind(), MsgType::Bool);
    EXPECT_TRUE(reader.lastBool());
    EXPECT_EQ(reader.lastString(), "ok");
}

TEST(MsgReaderTest, TypedReadsCheckTheKind) {
    using Read = std::function<std::string(MsgReader&)>;
    const Read arrayHeader = [](MsgReader& r) { return std::to_string(r.readArrayHeader()); };
    const Read mapHeader = [](MsgReader& r) { return std::to_string(r.readMapHeader()); };
    const Read blobHeader = [](MsgReader& r) { return std::to_string(r.readBlobHeader()); };
    const Read boolean = [](MsgReader& r) { return std::to_string(r.readBool()); };
    const Read pos = [](MsgReader& r) { return std::to_string(r.readPositive()); };
    const Read neg = [](MsgReader& r) { return std::to_string(r.readNegative()); };
    const Read int64 = [](MsgReader& r) { return std::to_string(r.readInt64()); };
    const Read text = [](MsgReader& r) { return r.readString(); };
    struct TypedCase {
        const char* input;
        const Read& read;
        std::string expected;
    };
    const TypedCase cases[] = {
        {"92", arrayHeader, "2"},
        {"82", arrayHeader, "error: Expected array."},
        {"dd 00 01 00 00", arrayHeader, "65536"},
        {"8f", mapHeader, "15"},
        {"de 01 00", mapHeader, "256"},
        {"df ff ff ff ff", mapHeader, "4294967295"},
        {"90", mapHeader, "error: Expected map."},
        {"c4 03", blobHeader, "3"},
        {"c5 01 00", blobHeader, "256"},
        {"a3 61 62 63", blobHeader, "error: Expected blob."},
        {"c2", boolean, "0"},
        {"c0", boolean, "error: Expected boolean."},
        {"d0 05", pos, "5"},
        {"ff", pos, "error: Expected pos integer."},
        {"d1 ff 7f", neg, "-129"},
        {"05", neg, "error: Expected neg integer."},
        {"cf ff ff ff ff ff ff ff ff", int64,
         "error: Integer value out of range, expected int64_t."},
        {"cf 7f ff ff ff ff ff ff ff", int64, "9223372036854775807"},
        {"d3 80 00 00 00 00 00 00 00", int64, "-9223372036854775808"},
        {"cb 00 00 00 00 00 00 00 00", int64, "error: Expected integer."},
        {"d9 03 61 62 63", text, "abc"},
        {"01", text, "error: Expected string."},
        // A failed header wins over the kind check.
        {"", pos, kFailed},
        {"c1", mapHeader, kFailed},
        {"cd 01", pos, kFailed},
        {"a2 61", text, kFailed},
    };
    for (const TypedCase& c : cases) {
        SCOPED_TRACE(c.input);
        MemoryStream stream(bytes(c.input));
        MsgReader reader(&stream);
        std::string result;
        const std::string status = outcome([&] { result = c.read(reader); });
        EXPECT_EQ(status == "ok" ? result : status, c.expected);
    }
}

TEST(MsgReaderTest, BlobDataFollowsItsHeader) {
    MemoryStream stream(bytes("c4 03 0a 0b 0c  01"));
    MsgReader reader(&stream);
    uint8_t buffer[3] = {};
    EXPECT_EQ(reader.readBlobHeader(), 3u);
    EXPECT_EQ(outcome([&] { reader.readBlobData(buffer, 2); }), "error: Must read entire blob.");
    EXPECT_EQ(stream.position, 2u);
    reader.readBlobData(buffer, 3);
    EXPECT_EQ(test::hex(Bytes(buffer, buffer + 3)), "0a 0b 0c");
    EXPECT_EQ(reader.readPositive(), 1u);
    EXPECT_EQ(outcome([&] { reader.readBlobData(buffer, 3); }), "error: Not a blob.");

    MemoryStream shortStream(bytes("c4 03 0a"));
    MsgReader shortReader(&shortStream);
    shortReader.readBlobHeader();
    EXPECT_EQ(outcome([&] { shortReader.readBlobData(buffer, 3); }), kFailed);
}

TEST(MsgReaderTest, FindFieldWalksForward) {
    const char* const twoFields = "82 a1 61 01 a1 62 02";
    MemoryStream stream(bytes(twoFields));
    MsgReader reader(&stream);
    uint32_t remaining = reader.readMapHeader();
    EXPECT_EQ(remaining, 2u);
    reader.findField(remaining, "b");
    EXPECT_EQ(remaining, 0u);
    EXPECT_EQ(reader.readPositive(), 2u);
    EXPECT_EQ(outcome([&] { reader.findField(remaining, "a"); }), "error: Map field not found.");

    // Fields asked for in the sender's order, the first one found at once.
    stream.data = bytes(twoFields);
    stream.position = 0;
    remaining = reader.readMapHeader();
    reader.findField(remaining, "a");
    EXPECT_EQ(remaining, 1u);
    EXPECT_EQ(reader.readPositive(), 1u);
    reader.findField(remaining, "b");
    EXPECT_EQ(reader.readPositive(), 2u);

    struct FindCase {
        const char* input;
        const char* name;
        std::string expected;
        size_t consumed;
    };
    const FindCase cases[] = {
        {"81 a1 61 01", "z", "error: Map field not found.", 4},  // the pair is consumed
        {"81 a2 61 62 01", "a", "error: Map field not found.", 5},
        {"80", "a", "error: Map field not found.", 1},
        {"81 01 01", "a", "error: Expected string.", 2},
        {"82 a1 61 92 01", "b", kFailed, 5},  // the stream ends in a skipped value
        {"82 a1 61 01", "b", kFailed, 4},
    };
    for (const FindCase& c : cases) {
        SCOPED_TRACE(c.input);
        MemoryStream map(bytes(c.input));
        MsgReader mapReader(&map);
        uint32_t left = mapReader.readMapHeader();
        EXPECT_EQ(outcome([&] { mapReader.findField(left, c.name); }), c.expected);
        EXPECT_EQ(map.position, c.consumed);
    }
}

TEST(MsgReaderTest, LongTextsAcrossChunks) {
    // Lengths at and past the chunk size, where texts and blobs are read piece by piece.
    const size_t chunk = MsgReader::kReadChunk;
    for (size_t length : {chunk, chunk + 1, 3 * chunk + 17}) {
        SCOPED_TRACE(length);
        Bytes payload(length);
        for (size_t i = 0; i < length; ++i) {
            payload[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
        }
        Bytes input = {0x92};
        for (uint8_t type : {0xdb, 0xc6}) {
            input.insert(
                input.end(),
                {type, static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                 static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
            input.insert(input.end(), payload.begin(), payload.end());
        }
        MemoryStream stream(input);
        MsgObject value = MsgReader(&stream).readObject();
        ASSERT_EQ(value.at(0).size(), length);
        EXPECT_EQ(std::memcmp(value.at(0).asString(), payload.data(), length), 0);
        EXPECT_EQ(value.at(0).asString()[length], '\0');
        ASSERT_EQ(value.at(1).blobSize(), length);
        EXPECT_EQ(std::memcmp(value.at(1).blobData(), payload.data(), length), 0);
        EXPECT_EQ(skipAll(input), "ok");
        input.pop_back();
        EXPECT_EQ(decode(input), kFailed);
    }
}

}  // namespace
}  // namespace zel::vem
