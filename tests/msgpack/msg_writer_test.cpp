// Tests of MsgWriter: the exact bytes of every format family at each threshold.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "msgpack/memory_stream.h"
#include "msgpack/msg_writer.h"
#include "tests/msgpack/msg_dump.h"

namespace zel::vem {
namespace {

using Bytes = std::vector<uint8_t>;
using W = MsgWriter&;
using test::hex;

std::string encode(const std::function<void(W)>& write) {
    MemoryStream stream;
    MsgWriter writer(&stream);
    write(writer);
    return hex(stream.data);
}

TEST(MsgWriterTest, FormatsWithoutPayload) {
    const std::pair<std::function<void(W)>, const char*> cases[] = {
        {[](W w) { w.writeUInt(0); }, "00"},
        {[](W w) { w.writeUInt(127); }, "7f"},
        {[](W w) { w.writeUInt(128); }, "cc 80"},
        {[](W w) { w.writeUInt(255); }, "cc ff"},
        {[](W w) { w.writeUInt(256); }, "cd 01 00"},
        {[](W w) { w.writeUInt(65535); }, "cd ff ff"},
        {[](W w) { w.writeUInt(65536); }, "ce 00 01 00 00"},
        {[](W w) { w.writeUInt(4294967295u); }, "ce ff ff ff ff"},
        {[](W w) { w.writeUInt(4294967296u); }, "cf 00 00 00 01 00 00 00 00"},
        {[](W w) { w.writeUInt(UINT64_MAX); }, "cf ff ff ff ff ff ff ff ff"},
        // Eight different bytes, so that any two swapped would show.
        {[](W w) { w.writeUInt(0x0102030405060708u); }, "cf 01 02 03 04 05 06 07 08"},
        // A non-negative signed value always goes out in an unsigned format.
        {[](W w) { w.writeInt(5); }, "05"},
        {[](W w) { w.writeInt(200); }, "cc c8"},
        {[](W w) { w.writeInt(70000); }, "ce 00 01 11 70"},
        {[](W w) { w.writeInt(INT64_MAX); }, "cf 7f ff ff ff ff ff ff ff"},
        {[](W w) { w.writeInt(-1); }, "ff"},
        {[](W w) { w.writeInt(-32); }, "e0"},
        {[](W w) { w.writeInt(-33); }, "d0 df"},
        {[](W w) { w.writeInt(-128); }, "d0 80"},
        {[](W w) { w.writeInt(-129); }, "d1 ff 7f"},
        {[](W w) { w.writeInt(-32768); }, "d1 80 00"},
        {[](W w) { w.writeInt(-32769); }, "d2 ff ff 7f ff"},
        {[](W w) { w.writeInt(-2147483648LL); }, "d2 80 00 00 00"},
        {[](W w) { w.writeInt(-2147483649LL); }, "d3 ff ff ff ff 7f ff ff ff"},
        {[](W w) { w.writeInt(INT64_MIN); }, "d3 80 00 00 00 00 00 00 00"},
        {[](W w) { w.writeNil(); }, "c0"},
        {[](W w) { w.writeBool(true); }, "c3"},
        {[](W w) { w.writeBool(false); }, "c2"},
        {[](W w) { w.writeDouble(1.0); }, "cb 3f f0 00 00 00 00 00 00"},
        {[](W w) { w.writeDouble(-0.0); }, "cb 80 00 00 00 00 00 00 00"},
        {[](W w) { w.writeDouble(3.141592653589793); }, "cb 40 09 21 fb 54 44 2d 18"},
        {[](W w) { w.writeFloat(3.14159274f); }, "ca 40 49 0f db"},
        {[](W w) { w.writeFloat(1.0f); }, "ca 3f 80 00 00"},
        {[](W w) { w.writeFloat(-2.5f); }, "ca c0 20 00 00"},
        {[](W w) { w.writeMapHeader(2); }, "82"},
        {[](W w) { w.writeMapHeader(15); }, "8f"},
        {[](W w) { w.writeMapHeader(16); }, "de 00 10"},
        {[](W w) { w.writeMapHeader(65535); }, "de ff ff"},
        {[](W w) { w.writeMapHeader(65536); }, "df 00 01 00 00"},
        {[](W w) { w.writeArrayHeader(15); }, "9f"},
        {[](W w) { w.writeArrayHeader(16); }, "dc 00 10"},
        {[](W w) { w.writeArrayHeader(65536); }, "dd 00 01 00 00"},
        {[](W w) { w.writeArrayHeader(4294967295u); }, "dd ff ff ff ff"},
        {[](W w) { w.writeRaw("\xc1\x00", 2); }, "c1 00"},
        // A text's length is measured only when the caller does not give it.
        {[](W w) { w.writeString("abc"); }, "a3 61 62 63"},
        {[](W w) { w.writeString("abcdef", 2); }, "a2 61 62"},
        {[](W w) { w.writeString(std::string("a\0b", 3)); }, "a3 61 00 62"},
        {[](W w) { w.writeString("a\0b"); }, "a1 61"},
        {[](W w) { w.writeString(nullptr); }, "a0"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE("case " + std::to_string(i) + ", expecting " + cases[i].second);
        EXPECT_EQ(encode(cases[i].first), cases[i].second);
    }
}

TEST(MsgWriterTest, PayloadHeadersAtEachThreshold) {
    struct Case {
        char format;  // s: string, b: blob, e: extension of type 1
        uint32_t size;
        const char* header;
    };
    const Case cases[] = {
        {'s', 0, "a0"},
        {'s', 31, "bf"},
        {'s', 32, "d9 20"},
        {'s', 255, "d9 ff"},
        {'s', 256, "da 01 00"},
        {'s', 65535, "da ff ff"},
        {'s', 65536, "db 00 01 00 00"},
        {'b', 0, "c4 00"},
        {'b', 255, "c4 ff"},
        {'b', 256, "c5 01 00"},
        {'b', 65535, "c5 ff ff"},
        {'b', 65536, "c6 00 01 00 00"},
        // fixext for 1, 2, 4, 8 and 16 bytes, otherwise ext 8/16/32; the type comes last.
        {'e', 1, "d4 01"},
        {'e', 2, "d5 01"},
        {'e', 4, "d6 01"},
        {'e', 8, "d7 01"},
        {'e', 16, "d8 01"},
        {'e', 0, "c7 00 01"},
        {'e', 3, "c7 03 01"},
        {'e', 255, "c7 ff 01"},
        {'e', 256, "c8 01 00 01"},
        {'e', 65535, "c8 ff ff 01"},
        {'e', 65536, "c9 00 01 00 00 01"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(1, c.format) + " of " + std::to_string(c.size));
        // No NUL bytes, so a measured text has the same length; no two neighbours alike.
        Bytes payload(c.size);
        for (size_t i = 0; i < c.size; ++i) {
            payload[i] = static_cast<uint8_t>(i % 255 + 1);
        }
        const std::string text(payload.begin(), payload.end());
        const std::string expected = c.size ? std::string(c.header) + " " + hex(payload) : c.header;
        EXPECT_EQ(encode([&](W w) {
                      if (c.format == 's') {
                          w.writeString(text);
                      } else if (c.format == 'b') {
                          w.writeBlob(payload.data(), c.size);
                      } else {
                          w.writeExt(1, payload.data(), c.size);
                      }
                  }),
                  expected);
        if (c.format == 's') {
            EXPECT_EQ(encode([&](W w) { w.writeString(text.c_str()); }), expected);
        }
    }
    EXPECT_EQ(encode([](W w) { w.writeExt(-1, "\x55", 1); }), "d4 ff 55");
}

TEST(MsgWriterTest, Objects) {
    MsgObject map(msgMap, 0);
    map.insert("a", MsgObject(uint64_t{1}));
    map.insert("b", MsgObject("x"));
    EXPECT_EQ(encode([&](W w) { w.writeObject(map); }), "82 a1 61 01 a1 62 a1 78");
    EXPECT_EQ(encode([](W w) { w.writeObject(MsgObject(0.5)); }), "cb 3f e0 00 00 00 00 00 00");
    MsgObject spare(msgArray, 4);
    spare.append(MsgObject());
    EXPECT_EQ(encode([&](W w) { w.writeObject(spare); }), "91 c0");

    // Every other kind once: a NegativeInt holding a non-negative value comes out unsigned, a
    // string keeps its recorded length, spare slots of an empty map are not written.
    MsgObject all(msgArray, 0);
    all.append(MsgObject(false));
    all.append(MsgObject(true));
    all.append(MsgObject(int64_t{200}));
    all.append(MsgObject(int64_t{-33}));
    all.append(MsgObject("a\0b", 3));
    const uint8_t blob[] = {1, 8};
    all.append(MsgObject(blob, 2));
    all.append(MsgObject(msgMap, 3));
    EXPECT_EQ(encode([&](W w) { w.writeObject(all); }),
              "97 c2 c3 cc c8 d0 df a3 61 00 62 c4 02 01 08 80");
}

}  // namespace
}  // namespace zel::vem
