// Tests of MsgWriter: the exact bytes of every format family at each threshold.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "msgpack/memory_stream.h"
#include "msgpack/msg_writer.h"

namespace zel::vem {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(const std::function<void(MsgWriter&)>& write) {
    MemoryStream stream;
    MsgWriter writer(&stream);
    write(writer);
    return stream.data;
}

std::string hex(const Bytes& bytes) {
    std::string out;
    char byte[4];
    for (uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%02x ", b);
        out += byte;
    }
    return out;
}

struct Case {
    std::string what;
    std::function<void(MsgWriter&)> write;
    Bytes expected;
};

void expectBytes(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(hex(encode(c.write)), hex(c.expected)) << c.what;
    }
}

TEST(MsgWriterTest, UnsignedIntegers) {
    std::vector<Case> cases;
    const std::pair<uint64_t, Bytes> table[] = {
        {0, {0x00}},
        {127, {0x7f}},
        {128, {0xcc, 0x80}},
        {255, {0xcc, 0xff}},
        {256, {0xcd, 0x01, 0x00}},
        {65535, {0xcd, 0xff, 0xff}},
        {65536, {0xce, 0x00, 0x01, 0x00, 0x00}},
        {4294967295u, {0xce, 0xff, 0xff, 0xff, 0xff}},
        {4294967296u, {0xcf, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}},
        {18446744073709551615u, {0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
    };
    for (const auto& [value, bytes] : table) {
        cases.push_back({"writeUInt " + std::to_string(value),
                         [value = value](MsgWriter& w) { w.writeUInt(value); }, bytes});
    }
    expectBytes(cases);
}

TEST(MsgWriterTest, SignedIntegers) {
    std::vector<Case> cases;
    const std::pair<int64_t, Bytes> table[] = {
        {5, {0x05}},
        {200, {0xcc, 0xc8}},
        {70000, {0xce, 0x00, 0x01, 0x11, 0x70}},
        {9223372036854775807, {0xcf, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
        {-1, {0xff}},
        {-32, {0xe0}},
        {-33, {0xd0, 0xdf}},
        {-128, {0xd0, 0x80}},
        {-129, {0xd1, 0xff, 0x7f}},
        {-32768, {0xd1, 0x80, 0x00}},
        {-32769, {0xd2, 0xff, 0xff, 0x7f, 0xff}},
        {-2147483648LL, {0xd2, 0x80, 0x00, 0x00, 0x00}},
        {-2147483649LL, {0xd3, 0xff, 0xff, 0xff, 0xff, 0x7f, 0xff, 0xff, 0xff}},
        {INT64_MIN, {0xd3, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    };
    for (const auto& [value, bytes] : table) {
        cases.push_back({"writeInt " + std::to_string(value),
                         [value = value](MsgWriter& w) { w.writeInt(value); }, bytes});
    }
    expectBytes(cases);
}

TEST(MsgWriterTest, ScalarsWithoutPayload) {
    expectBytes({
        {"nil", [](MsgWriter& w) { w.writeNil(); }, {0xc0}},
        {"true", [](MsgWriter& w) { w.writeBool(true); }, {0xc3}},
        {"false", [](MsgWriter& w) { w.writeBool(false); }, {0xc2}},
        {"double 1.0",
         [](MsgWriter& w) { w.writeDouble(1.0); },
         {0xcb, 0x3f, 0xf0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"double -0.0",
         [](MsgWriter& w) { w.writeDouble(-0.0); },
         {0xcb, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"float 1.0", [](MsgWriter& w) { w.writeFloat(1.0f); }, {0xca, 0x3f, 0x80, 0x00, 0x00}},
        {"float -2.5", [](MsgWriter& w) { w.writeFloat(-2.5f); }, {0xca, 0xc0, 0x20, 0x00, 0x00}},
    });
}

TEST(MsgWriterTest, StringHeadersAtEachThreshold) {
    const std::pair<size_t, Bytes> table[] = {
        {0, {0xa0}},
        {1, {0xa1}},
        {31, {0xbf}},
        {32, {0xd9, 0x20}},
        {255, {0xd9, 0xff}},
        {256, {0xda, 0x01, 0x00}},
        {65535, {0xda, 0xff, 0xff}},
        {65536, {0xdb, 0x00, 0x01, 0x00, 0x00}},
    };
    for (const auto& [length, header] : table) {
        std::string text(length, 'q');
        if (length > 0) {
            text.back() = 'z';
        }
        for (int form = 0; form < 2; ++form) {
            Bytes out = encode([&](MsgWriter& w) {
                if (form == 0) {
                    w.writeString(text);
                } else {
                    w.writeString(text.c_str());
                }
            });
            Bytes expected = header;
            expected.insert(expected.end(), text.begin(), text.end());
            EXPECT_TRUE(out == expected) << "length " << length << " form " << form;
        }
    }
    expectBytes({
        {"abc measured", [](MsgWriter& w) { w.writeString("abc"); }, {0xa3, 0x61, 0x62, 0x63}},
        {"prefix of a text", [](MsgWriter& w) { w.writeString("abcdef", 2); }, {0xa2, 0x61, 0x62}},
        {"explicit length keeps NUL bytes",
         [](MsgWriter& w) { w.writeString(std::string("a\0b", 3)); },
         {0xa3, 0x61, 0x00, 0x62}},
        {"measured length stops at NUL", [](MsgWriter& w) { w.writeString("a\0b"); }, {0xa1, 0x61}},
        {"null text is empty", [](MsgWriter& w) { w.writeString(nullptr); }, {0xa0}},
    });
}

TEST(MsgWriterTest, BlobAndExtensionHeaders) {
    const std::pair<uint32_t, Bytes> blobs[] = {
        {0, {0xc4, 0x00}},           {1, {0xc4, 0x01}},
        {255, {0xc4, 0xff}},         {256, {0xc5, 0x01, 0x00}},
        {65535, {0xc5, 0xff, 0xff}}, {65536, {0xc6, 0x00, 0x01, 0x00, 0x00}},
    };
    for (const auto& [size, header] : blobs) {
        Bytes payload(size);
        for (uint32_t i = 0; i < size; ++i) {
            payload[i] = static_cast<uint8_t>(i * 7);
        }
        Bytes expected = header;
        expected.insert(expected.end(), payload.begin(), payload.end());
        Bytes out = encode([&](MsgWriter& w) { w.writeBlob(payload.data(), size); });
        EXPECT_TRUE(out == expected) << "blob of " << size;
    }

    // Extension: fixext for 1, 2, 4, 8, 16 bytes, otherwise ext 8/16/32; type byte after size.
    const std::pair<uint32_t, Bytes> exts[] = {
        {1, {0xd4, 0x01}},
        {2, {0xd5, 0x01}},
        {3, {0xc7, 0x03, 0x01}},
        {4, {0xd6, 0x01}},
        {8, {0xd7, 0x01}},
        {16, {0xd8, 0x01}},
        {0, {0xc7, 0x00, 0x01}},
        {17, {0xc7, 0x11, 0x01}},
        {255, {0xc7, 0xff, 0x01}},
        {256, {0xc8, 0x01, 0x00, 0x01}},
        {65536, {0xc9, 0x00, 0x01, 0x00, 0x00, 0x01}},
    };
    for (const auto& [size, header] : exts) {
        Bytes payload(size, 0xab);
        Bytes expected = header;
        expected.insert(expected.end(), payload.begin(), payload.end());
        Bytes out = encode([&](MsgWriter& w) { w.writeExt(1, payload.data(), size); });
        EXPECT_TRUE(out == expected) << "ext of " << size;
    }
    expectBytes({{"negative ext type",
                  [](MsgWriter& w) {
                      const uint8_t b = 0x55;
                      w.writeExt(-1, &b, 1);
                  },
                  {0xd4, 0xff, 0x55}}});
}

TEST(MsgWriterTest, ContainerHeadersAndRaw) {
    expectBytes({
        {"map 0", [](MsgWriter& w) { w.writeMapHeader(0); }, {0x80}},
        {"map 2", [](MsgWriter& w) { w.writeMapHeader(2); }, {0x82}},
        {"map 15", [](MsgWriter& w) { w.writeMapHeader(15); }, {0x8f}},
        {"map 16", [](MsgWriter& w) { w.writeMapHeader(16); }, {0xde, 0x00, 0x10}},
        {"map 65535", [](MsgWriter& w) { w.writeMapHeader(65535); }, {0xde, 0xff, 0xff}},
        {"map 65536",
         [](MsgWriter& w) { w.writeMapHeader(65536); },
         {0xdf, 0x00, 0x01, 0x00, 0x00}},
        {"array 0", [](MsgWriter& w) { w.writeArrayHeader(0); }, {0x90}},
        {"array 15", [](MsgWriter& w) { w.writeArrayHeader(15); }, {0x9f}},
        {"array 16", [](MsgWriter& w) { w.writeArrayHeader(16); }, {0xdc, 0x00, 0x10}},
        {"array 65536",
         [](MsgWriter& w) { w.writeArrayHeader(65536); },
         {0xdd, 0x00, 0x01, 0x00, 0x00}},
        {"array 4294967295",
         [](MsgWriter& w) { w.writeArrayHeader(4294967295u); },
         {0xdd, 0xff, 0xff, 0xff, 0xff}},
        {"raw",
         [](MsgWriter& w) {
             const uint8_t b[] = {0xc1, 0x00};
             w.writeRaw(b, 2);
         },
         {0xc1, 0x00}},
    });
}

TEST(MsgWriterTest, Objects) {
    expectBytes({
        {"map of positive and string",
         [](MsgWriter& w) {
             MsgObject map(msgMap, 0);
             map.insert("a", MsgObject(uint64_t{1}));
             map.insert("b", MsgObject("x"));
             w.writeObject(map);
         },
         {0x82, 0xa1, 0x61, 0x01, 0xa1, 0x62, 0xa1, 0x78}},
        {"float is always float 64",
         [](MsgWriter& w) { w.writeObject(MsgObject(0.5)); },
         {0xcb, 0x3f, 0xe0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"only the used slots of an array",
         [](MsgWriter& w) {
             MsgObject array(msgArray, 4);
             array.append(MsgObject());
             w.writeObject(array);
         },
         {0x91, 0xc0}},
        {"NegativeInt holding a non-negative value",
         [](MsgWriter& w) { w.writeObject(MsgObject(int64_t{200})); },
         {0xcc, 0xc8}},
        {"NegativeInt", [](MsgWriter& w) { w.writeObject(MsgObject(int64_t{-33})); }, {0xd0, 0xdf}},
        {"string keeps its recorded length",
         [](MsgWriter& w) { w.writeObject(MsgObject("a\0b", 3)); },
         {0xa3, 0x61, 0x00, 0x62}},
        {"bool and nil in an array",
         [](MsgWriter& w) {
             MsgObject array(msgArray, 0);
             array.append(MsgObject(false));
             array.append(MsgObject(true));
             array.append(MsgObject(nullptr));
             w.writeObject(array);
         },
         {0x93, 0xc2, 0xc3, 0xc0}},
        {"blob",
         [](MsgWriter& w) {
             const uint8_t b[] = {9, 8};
             w.writeObject(MsgObject(b, 2));
         },
         {0xc4, 0x02, 0x09, 0x08}},
        {"empty containers",
         [](MsgWriter& w) {
             MsgObject map(msgMap, 0);
             map.insert("m", MsgObject(msgMap, 3));
             map.insert("l", MsgObject(msgArray, 0));
             w.writeObject(map);
         },
         {0x82, 0xa1, 0x6d, 0x80, 0xa1, 0x6c, 0x90}},
    });
}

TEST(MsgWriterTest, FrameRequestAsTheServiceLinkWritesIt) {
    Bytes out = encode([](MsgWriter& w) {
        w.writeMapHeader(3);
        w.writeString("act");
        w.writeString("exec");
        w.writeString("ord");
        w.writeUInt(6);
        w.writeString("params");
        w.writeMapHeader(2);
        w.writeString("fileId");
        w.writeUInt(3);
        w.writeString("frameNumber");
        w.writeUInt(1000);
    });
    const Bytes expected = {0x83, 0xa3, 'a',  'c',  't', 0xa4, 'e',  'x',  'e',  'c', 0xa3, 'o',
                            'r',  'd',  0x06, 0xa6, 'p', 'a',  'r',  'a',  'm',  's', 0x82, 0xa6,
                            'f',  'i',  'l',  'e',  'I', 'd',  0x03, 0xab, 'f',  'r', 'a',  'm',
                            'e',  'N',  'u',  'm',  'b', 'e',  'r',  0xcd, 0x03, 0xe8};
    EXPECT_EQ(hex(out), hex(expected));
}

}  // namespace
}  // namespace zel::vem
