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
using test::dump;

// The message of the runtime_error that decoding `bytes` raises, or the value's dump.
std::string decode(const Bytes& bytes) {
    MemoryStream stream(bytes);
    MsgReader reader(&stream);
    try {
        MsgObject value = reader.readObject();
        if (stream.remaining() != 0) {
            return "left " + std::to_string(stream.remaining()) + " bytes: " + dump(value);
        }
        return dump(value);
    } catch (const std::runtime_error& error) {
        return std::string("error: ") + error.what();
    }
}

Bytes concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

struct Case {
    const char* what;
    Bytes bytes;
    std::string expected;
};

void expectDecoded(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(decode(c.bytes), c.expected) << c.what;
    }
}

const std::vector<Case>& integerCases() {
    static const std::vector<Case> cases = {
        {"positive fixint 0", {0x00}, "u0"},
        {"positive fixint 127", {0x7f}, "u127"},
        {"negative fixint -1", {0xff}, "i-1"},
        {"negative fixint -32", {0xe0}, "i-32"},
        {"uint 8", {0xcc, 0xff}, "u255"},
        {"uint 16", {0xcd, 0x01, 0x02}, "u258"},
        {"uint 32", {0xce, 0x01, 0x02, 0x03, 0x04}, "u16909060"},
        {"uint 64 max",
         {0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
         "u18446744073709551615"},
        {"int 8 positive is PositiveInt", {0xd0, 0x05}, "u5"},
        {"int 8 negative", {0xd0, 0xfb}, "i-5"},
        {"int 8 min", {0xd0, 0x80}, "i-128"},
        {"int 16 positive", {0xd1, 0x7f, 0xff}, "u32767"},
        {"int 16 negative", {0xd1, 0xff, 0x7f}, "i-129"},
        {"int 32 zero", {0xd2, 0x00, 0x00, 0x00, 0x00}, "u0"},
        {"int 32 min", {0xd2, 0x80, 0x00, 0x00, 0x00}, "i-2147483648"},
        {"int 64 min",
         {0xd3, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
         "i-9223372036854775808"},
        {"int 64 max",
         {0xd3, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
         "u9223372036854775807"},
    };
    return cases;
}

const std::vector<Case>& scalarCases() {
    static const std::vector<Case> cases = {
        {"nil", {0xc0}, "nil"},
        {"false", {0xc2}, "false"},
        {"true", {0xc3}, "true"},
        {"float 32 widened", {0xca, 0x3f, 0xc0, 0x00, 0x00}, "f1.5/3ff8000000000000"},
        {"float 32 negative", {0xca, 0xc0, 0x20, 0x00, 0x00}, "f-2.5/c004000000000000"},
        {"float 64",
         {0xcb, 0x3f, 0xe0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
         "f0.5/3fe0000000000000"},
        {"float 64 negative zero",
         {0xcb, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
         "f-0/8000000000000000"},
    };
    return cases;
}

const std::vector<Case>& textCases() {
    static const std::vector<Case> cases = {
        {"fixstr empty", {0xa0}, "\"\""},
        {"fixstr", {0xa3, 'a', 'b', 'c'}, "\"abc\""},
        {"fixstr keeps NUL bytes", {0xa3, 'a', 0x00, 'b'}, "\"a\\x00b\""},
        {"str 8", {0xd9, 0x02, 'h', 'i'}, "\"hi\""},
        {"str 8 empty", {0xd9, 0x00}, "\"\""},
        {"str 16", {0xda, 0x00, 0x01, 'z'}, "\"z\""},
        {"str 32", {0xdb, 0x00, 0x00, 0x00, 0x02, 'o', 'k'}, "\"ok\""},
        {"bin 8 empty", {0xc4, 0x00}, "bin()"},
        {"bin 8", {0xc4, 0x02, 0x00, 0xff}, "bin(00ff)"},
        {"bin 16", {0xc5, 0x00, 0x01, 0x7e}, "bin(7e)"},
        {"bin 32", {0xc6, 0x00, 0x00, 0x00, 0x01, 0x01}, "bin(01)"},
    };
    return cases;
}

const std::vector<Case>& containerCases() {
    static const std::vector<Case> cases = {
        {"fixarray", {0x93, 0x01, 0xa1, 0x78, 0xc0}, "[u1, \"x\", nil]"},
        {"fixarray empty", {0x90}, "[]"},
        {"fixmap", {0x81, 0xa1, 0x61, 0x2a}, "{a: u42}"},
        {"fixmap empty", {0x80}, "{}"},
        {"duplicate keys kept in order",
         {0x82, 0xa1, 0x61, 0x01, 0xa1, 0x61, 0x02},
         "{a: u1, a: u2}"},
        {"array 16", {0xdc, 0x00, 0x02, 0xc2, 0xc3}, "[false, true]"},
        {"array 32", {0xdd, 0x00, 0x00, 0x00, 0x01, 0xe0}, "[i-32]"},
        {"map 16", {0xde, 0x00, 0x01, 0xa1, 'k', 0x90}, "{k: []}"},
        {"map 32", {0xdf, 0x00, 0x00, 0x00, 0x01, 0xd9, 0x01, 'k', 0x80}, "{k: {}}"},
        {"map with a str 8 key and nested values",
         {0x82, 0xa5, 'e',  'r', 'r', 'o', 'r', 0xc0, 0xa6, 'r',  'e',  's',  'u', 'l',
          't',  0x81, 0xa4, 'i', 'n', 'f', 'o', 0x92, 0xc4, 0x01, 0x05, 0xd0, 0xfb},
         "{error: nil, result: {info: [bin(05), i-5]}}"},
    };
    return cases;
}

TEST(MsgReaderTest, Integers) {
    expectDecoded(integerCases());
}
TEST(MsgReaderTest, NilBoolAndFloats) {
    expectDecoded(scalarCases());
}
TEST(MsgReaderTest, StringsAndBlobs) {
    expectDecoded(textCases());
}
TEST(MsgReaderTest, MapsAndArrays) {
    expectDecoded(containerCases());
}

TEST(MsgReaderTest, UnsupportedFormatsFailToRead) {
    // Reserved 0xc1 and every extension format; nothing after the type byte is consumed.
    const Bytes firstBytes = {0xc1, 0xc7, 0xc8, 0xc9, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8};
    for (uint8_t first : firstBytes) {
        MemoryStream stream({first, 0x01, 0x05, 0x00});
        MsgReader reader(&stream);
        EXPECT_FALSE(reader.readHeader()) << int(first);
        EXPECT_EQ(stream.position, 1u) << int(first);
        EXPECT_EQ(decode({first, 0x01, 0x05, 0x00}), "error: Failed to read.") << int(first);
    }
    expectDecoded({
        {"non-string map key", {0x81, 0x01, 0x02}, "error: Expected string."},
        {"nil map key", {0x81, 0xc0, 0x02}, "error: Expected string."},
        {"nested non-string key", {0x91, 0x81, 0x90, 0x01}, "error: Expected string."},
        {"extension inside an array", {0x92, 0x01, 0xd4, 0x01, 0x00}, "error: Failed to read."},
        {"empty stream", {}, "error: Failed to read."},
    });
}

TEST(MsgReaderTest, EveryTruncationFailsToRead) {
    // Cutting any complete encoding short must fail with the stream's message, never hang or
    // return a partial value.
    for (const auto* group : {&integerCases(), &scalarCases(), &textCases(), &containerCases()}) {
        for (const Case& c : *group) {
            for (size_t cut = 0; cut < c.bytes.size(); ++cut) {
                Bytes prefix(c.bytes.begin(), c.bytes.begin() + cut);
                EXPECT_EQ(decode(prefix), "error: Failed to read.")
                    << c.what << " cut to " << cut << " bytes";
            }
        }
    }
}

TEST(MsgReaderTest, DecodedContainersHaveTheAnnouncedCapacity) {
    MemoryStream stream({0x93, 0x01, 0xa1, 0x78, 0xc0, 0x82, 0xa1, 0x61, 0x01, 0xa1, 0x61, 0x02});
    MsgReader reader(&stream);
    MsgObject array = reader.readObject();
    EXPECT_EQ(array.size(), 3u);
    EXPECT_EQ(array.capacity(), 3u);
    // Reading stops exactly at the end of the first value: the next one decodes on its own.
    MsgObject map = reader.readObject();
    EXPECT_EQ(map.capacity(), 2u);
    EXPECT_EQ(map.get("a").asPositive(), 1u);
    EXPECT_EQ(stream.remaining(), 0u);
}

TEST(MsgReaderTest, HeaderRecordsKindLengthAndValues) {
    struct HeaderCase {
        Bytes bytes;
        MsgType kind;
        uint32_t length;
        size_t consumed;
    };
    const HeaderCase cases[] = {
        {{0x8f}, MsgType::Map, 15, 1},
        {{0xde, 0x12, 0x34}, MsgType::Map, 0x1234, 3},
        {{0xdf, 0xff, 0xff, 0xff, 0xff}, MsgType::Map, 0xffffffffu, 5},
        {{0x9a}, MsgType::Array, 10, 1},
        {{0xdd, 0x00, 0x01, 0x00, 0x00}, MsgType::Array, 65536, 5},
        // A blob header leaves the blob's bytes on the stream.
        {{0xc5, 0x01, 0x00, 0xaa}, MsgType::Blob, 256, 3},
        {{0xc6, 0x00, 0x00, 0x00, 0x03, 0xaa}, MsgType::Blob, 3, 5},
    };
    for (const HeaderCase& c : cases) {
        MemoryStream stream(c.bytes);
        MsgReader reader(&stream);
        ASSERT_TRUE(reader.readHeader());
        EXPECT_EQ(reader.kind(), c.kind);
        EXPECT_EQ(reader.length(), c.length);
        EXPECT_EQ(stream.position, c.consumed);
    }

    // Both integer fields get the same 64 bits.
    MemoryStream stream({0xd0, 0xfb, 0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe, 0xa2,
                         'o', 'k', 0xc3, 0xc1});
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
    EXPECT_TRUE(reader.lastBool());
    // A failed header keeps what the previous one recorded.
    EXPECT_FALSE(reader.readHeader());
    EXPECT_EQ(reader.kind(), MsgType::Bool);
    EXPECT_TRUE(reader.lastBool());
    EXPECT_EQ(reader.lastString(), "ok");
}

template <typename Read>
std::string typed(const Bytes& bytes, Read read) {
    MemoryStream stream(bytes);
    MsgReader reader(&stream);
    try {
        return std::to_string(read(reader));
    } catch (const std::runtime_error& error) {
        return std::string("error: ") + error.what();
    }
}

TEST(MsgReaderTest, TypedReadsCheckTheKind) {
    auto arrayHeader = [](MsgReader& r) { return r.readArrayHeader(); };
    auto mapHeader = [](MsgReader& r) { return r.readMapHeader(); };
    auto blobHeader = [](MsgReader& r) { return r.readBlobHeader(); };
    auto boolean = [](MsgReader& r) { return r.readBool(); };
    auto pos = [](MsgReader& r) { return r.readPositive(); };
    auto neg = [](MsgReader& r) { return r.readNegative(); };
    auto int64 = [](MsgReader& r) { return r.readInt64(); };
    auto text = [](MsgReader& r) { return r.readString().size(); };

    EXPECT_EQ(typed({0x92}, arrayHeader), "2");
    EXPECT_EQ(typed({0x82}, arrayHeader), "error: Expected array.");
    EXPECT_EQ(typed({0xde, 0x01, 0x00}, mapHeader), "256");
    EXPECT_EQ(typed({0x90}, mapHeader), "error: Expected map.");
    EXPECT_EQ(typed({0xc4, 0x03}, blobHeader), "3");
    EXPECT_EQ(typed({0xa3, 'a', 'b', 'c'}, blobHeader), "error: Expected blob.");
    EXPECT_EQ(typed({0xc2}, boolean), "0");
    EXPECT_EQ(typed({0xc0}, boolean), "error: Expected boolean.");
    EXPECT_EQ(typed({0xd0, 0x05}, pos), "5");
    EXPECT_EQ(typed({0xff}, pos), "error: Expected pos integer.");
    EXPECT_EQ(typed({0xd1, 0xff, 0x7f}, neg), "-129");
    EXPECT_EQ(typed({0x05}, neg), "error: Expected neg integer.");
    EXPECT_EQ(typed({0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, int64),
              "error: Integer value out of range, expected int64_t.");
    EXPECT_EQ(typed({0xcf, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, int64),
              "9223372036854775807");
    EXPECT_EQ(typed({0xd3, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, int64),
              "-9223372036854775808");
    EXPECT_EQ(typed({0xcb, 0, 0, 0, 0, 0, 0, 0, 0}, int64), "error: Expected integer.");
    EXPECT_EQ(typed({0xd9, 0x03, 'a', 'b', 'c'}, text), "3");
    EXPECT_EQ(typed({0x01}, text), "error: Expected string.");
    // A failed header wins over the kind check.
    for (const Bytes& bad : {Bytes{}, Bytes{0xc1}, Bytes{0xcd, 0x01}, Bytes{0xa2, 'a'}}) {
        EXPECT_EQ(typed(bad, pos), "error: Failed to read.");
        EXPECT_EQ(typed(bad, text), "error: Failed to read.");
    }
}

TEST(MsgReaderTest, BlobDataFollowsItsHeader) {
    MemoryStream stream({0xc4, 0x03, 0x0a, 0x0b, 0x0c, 0x01});
    MsgReader reader(&stream);
    uint8_t buffer[3] = {};
    EXPECT_EQ(reader.readBlobHeader(), 3u);
    try {
        reader.readBlobData(buffer, 2);
        ADD_FAILURE() << "a partial read was accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Must read entire blob.");
    }
    EXPECT_EQ(stream.position, 2u);
    reader.readBlobData(buffer, 3);
    EXPECT_EQ(buffer[0], 0x0a);
    EXPECT_EQ(buffer[2], 0x0c);
    EXPECT_EQ(reader.readPositive(), 1u);
    try {
        reader.readBlobData(buffer, 3);
        ADD_FAILURE() << "blob data read after an integer";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Not a blob.");
    }

    MemoryStream shortStream({0xc4, 0x03, 0x0a});
    MsgReader shortReader(&shortStream);
    shortReader.readBlobHeader();
    EXPECT_THROW(
        {
            try {
                shortReader.readBlobData(buffer, 3);
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "Failed to read.");
                throw;
            }
        },
        std::runtime_error);
}

TEST(MsgReaderTest, SkipConsumesExactlyOneValue) {
    const std::vector<Bytes> values = {
        {0xc0},
        {0xcd, 0x01, 0x02},
        {0xa2, 'h', 'i'},
        {0xc5, 0x00, 0x02, 0xff, 0xfe},
        {0x82, 0xa1, 'a', 0x92, 0x01, 0x81, 0xa1, 'b', 0xc4, 0x01, 0x00, 0xa1, 'c', 0x80},
        {0xdc, 0x00, 0x02, 0x91, 0x90, 0xca, 0, 0, 0, 0},
    };
    for (const Bytes& value : values) {
        // The marker after the value must be the next thing read.
        MemoryStream stream(concat(value, {0x2a}));
        MsgReader reader(&stream);
        reader.skip();
        EXPECT_EQ(reader.readPositive(), 42u) << "value of " << value.size() << " bytes";
        for (size_t cut = 0; cut < value.size(); ++cut) {
            MemoryStream partial(Bytes(value.begin(), value.begin() + cut));
            MsgReader partialReader(&partial);
            EXPECT_THROW(partialReader.skip(), std::runtime_error);
        }
    }
    MemoryStream ext({0x91, 0xd6, 0x01, 0, 0, 0, 0});
    MsgReader extReader(&ext);
    EXPECT_THROW(extReader.skip(), std::runtime_error);
}

TEST(MsgReaderTest, FindFieldWalksForward) {
    const Bytes twoFields = {0x82, 0xa1, 0x61, 0x01, 0xa1, 0x62, 0x02};
    {
        MemoryStream stream(twoFields);
        MsgReader reader(&stream);
        uint32_t remaining = reader.readMapHeader();
        EXPECT_EQ(remaining, 2u);
        reader.findField(remaining, "b");
        EXPECT_EQ(remaining, 0u);
        EXPECT_EQ(reader.readPositive(), 2u);
        EXPECT_THROW(reader.findField(remaining, "a"), std::runtime_error);
    }
    {
        // Fields asked for in the sender's order, the first one found at once.
        MemoryStream stream(twoFields);
        MsgReader reader(&stream);
        uint32_t remaining = reader.readMapHeader();
        reader.findField(remaining, "a");
        EXPECT_EQ(remaining, 1u);
        EXPECT_EQ(reader.readPositive(), 1u);
        reader.findField(remaining, "b");
        EXPECT_EQ(reader.readPositive(), 2u);
    }
    struct FindCase {
        const char* what;
        Bytes bytes;
        const char* name;
        std::string expected;
        size_t consumed;
    };
    const FindCase cases[] = {
        {"absent key consumes the pair", {0x81, 0xa1, 0x61, 0x01}, "z", "Map field not found.", 4},
        {"passed-over key",
         {0x82, 0xa1, 0x61, 0x01, 0xa1, 0x62, 0x02},
         "ab",
         "Map field not found.",
         7},
        {"prefix of a key does not match",
         {0x81, 0xa2, 'a', 'b', 0x01},
         "a",
         "Map field not found.",
         5},
        {"empty map", {0x80}, "a", "Map field not found.", 1},
        {"integer key", {0x81, 0x01, 0x01}, "a", "Expected string.", 2},
        {"stream ends in a skipped value",
         {0x82, 0xa1, 0x61, 0x92, 0x01},
         "b",
         "Failed to read.",
         5},
        {"stream ends before the key", {0x82, 0xa1, 0x61, 0x01}, "b", "Failed to read.", 4},
    };
    for (const FindCase& c : cases) {
        MemoryStream stream(c.bytes);
        MsgReader reader(&stream);
        uint32_t remaining = reader.readMapHeader();
        try {
            reader.findField(remaining, c.name);
            ADD_FAILURE() << c.what << ": found";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), c.expected) << c.what;
        }
        EXPECT_EQ(stream.position, c.consumed) << c.what;
    }
}

TEST(MsgReaderTest, LongTextsAcrossChunksRoundTrip) {
    // Lengths around the chunk size, where texts and blobs are read piece by piece.
    for (size_t length : {MsgReader::kReadChunk - 1, MsgReader::kReadChunk,
                          MsgReader::kReadChunk + 1, 3 * MsgReader::kReadChunk + 17}) {
        Bytes payload(length);
        for (size_t i = 0; i < length; ++i) {
            payload[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
        }
        const uint8_t size[4] = {static_cast<uint8_t>(length >> 24),
                                 static_cast<uint8_t>(length >> 16),
                                 static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
        Bytes input = {0x92, 0xdb, size[0], size[1], size[2], size[3]};
        input.insert(input.end(), payload.begin(), payload.end());
        input.insert(input.end(), {0xc6, size[0], size[1], size[2], size[3]});
        input.insert(input.end(), payload.begin(), payload.end());

        MemoryStream stream(input);
        MsgReader reader(&stream);
        MsgObject value = reader.readObject();
        ASSERT_EQ(value.at(0).size(), length);
        EXPECT_EQ(std::memcmp(value.at(0).asString(), payload.data(), length), 0);
        EXPECT_EQ(value.at(0).asString()[length], '\0');
        ASSERT_EQ(value.at(1).blobSize(), length);
        EXPECT_EQ(std::memcmp(value.at(1).blobData(), payload.data(), length), 0);

        stream.position = 0;
        reader.skip();
        EXPECT_EQ(stream.remaining(), 0u);
        // One byte short fails in both forms.
        input.pop_back();
        MemoryStream cut(input);
        MsgReader cutReader(&cut);
        EXPECT_THROW(cutReader.readObject(), std::runtime_error);
    }
}

}  // namespace
}  // namespace zel::vem
