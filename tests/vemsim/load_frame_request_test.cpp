// Which bytes vemsim takes for a LoadFrame without building a value tree, and which it leaves to
// the general decoder.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "msgpack/memory_stream.h"
#include "msgpack/msg_writer.h"
#include "tools/vemsim/load_frame_request.h"

using namespace zel::vem;
using namespace zel::vem::sim;

namespace {

std::vector<uint8_t> encoded(const std::function<void(MsgWriter&)>& write) {
    MemoryStream out;
    MsgWriter w(&out);
    write(w);
    return out.data;
}

// The request as the library's channel writes it.
void clientForm(MsgWriter& w, uint64_t fileId, uint64_t frame) {
    w.writeMapHeader(3);
    w.writeString("act"), w.writeString("exec");
    w.writeString("ord"), w.writeUInt(6);
    w.writeString("params"), w.writeMapHeader(2);
    w.writeString("fileId"), w.writeUInt(fileId);
    w.writeString("frameNumber"), w.writeUInt(frame);
}

}  // namespace

TEST(LoadFrameRequest, TakesTheClientFormAndLeavesEverythingElse) {
    struct Case {
        const char* what;
        std::function<void(MsgWriter&)> write;
        bool taken;
        uint32_t fileId = 0;
        uint64_t frame = 0;
    };
    const Case cases[] = {
        {"client form", [](MsgWriter& w) { clientForm(w, 3, 41); }, true, 3, 41},
        {"largest ids", [](MsgWriter& w) { clientForm(w, 0xFFFFFFFF, UINT64_MAX); }, true,
         0xFFFFFFFF, UINT64_MAX},
        {"keys in another order",
         [](MsgWriter& w) {
             w.writeMapHeader(3);
             w.writeString("params"), w.writeMapHeader(2);
             w.writeString("frameNumber"), w.writeUInt(9);
             w.writeString("fileId"), w.writeUInt(1);
             w.writeString("ord"), w.writeUInt(6);
             w.writeString("act"), w.writeString("exec");
         },
         true, 1, 9},
        {"fileId beyond 32 bits", [](MsgWriter& w) { clientForm(w, uint64_t{1} << 32, 0); }, false},
        {"another operation",
         [](MsgWriter& w) {
             w.writeMapHeader(3);
             w.writeString("act"), w.writeString("exec");
             w.writeString("ord"), w.writeUInt(5);
             w.writeString("params"), w.writeMapHeader(1);
             w.writeString("fileId"), w.writeUInt(1);
         },
         false},
        {"a version check",
         [](MsgWriter& w) {
             w.writeMapHeader(2);
             w.writeString("act"), w.writeString("verCheck");
             w.writeString("ver"), w.writeUInt(1);
         },
         false},
        {"an extra key",
         [](MsgWriter& w) {
             w.writeMapHeader(4);
             w.writeString("act"), w.writeString("exec");
             w.writeString("ord"), w.writeUInt(6);
             w.writeString("x"), w.writeNil();
             w.writeString("params"), w.writeMapHeader(2);
             w.writeString("fileId"), w.writeUInt(1);
             w.writeString("frameNumber"), w.writeUInt(2);
         },
         false},
        {"an extra parameter",
         [](MsgWriter& w) {
             w.writeMapHeader(3);
             w.writeString("act"), w.writeString("exec");
             w.writeString("ord"), w.writeUInt(6);
             w.writeString("params"), w.writeMapHeader(3);
             w.writeString("fileId"), w.writeUInt(1);
             w.writeString("frameNumber"), w.writeUInt(2);
             w.writeString("x"), w.writeUInt(2);
         },
         false},
        {"a repeated key",
         [](MsgWriter& w) {
             w.writeMapHeader(3);
             w.writeString("ord"), w.writeUInt(6);
             w.writeString("ord"), w.writeUInt(6);
             w.writeString("params"), w.writeMapHeader(2);
             w.writeString("fileId"), w.writeUInt(1);
             w.writeString("frameNumber"), w.writeUInt(2);
         },
         false},
        {"a repeated parameter",
         [](MsgWriter& w) {
             w.writeMapHeader(3);
             w.writeString("act"), w.writeString("exec");
             w.writeString("ord"), w.writeUInt(6);
             w.writeString("params"), w.writeMapHeader(2);
             w.writeString("fileId"), w.writeUInt(1);
             w.writeString("fileId"), w.writeUInt(2);
         },
         false},
        {"a frame number as text",
         [](MsgWriter& w) {
             w.writeMapHeader(3);
             w.writeString("act"), w.writeString("exec");
             w.writeString("ord"), w.writeUInt(6);
             w.writeString("params"), w.writeMapHeader(2);
             w.writeString("fileId"), w.writeUInt(1);
             w.writeString("frameNumber"), w.writeString("2");
         },
         false},
        {"a negative frame number",
         [](MsgWriter& w) {
             w.writeMapHeader(3);
             w.writeString("act"), w.writeString("exec");
             w.writeString("ord"), w.writeUInt(6);
             w.writeString("params"), w.writeMapHeader(2);
             w.writeString("fileId"), w.writeUInt(1);
             w.writeString("frameNumber"), w.writeInt(-2);
         },
         false},
        {"a key with a NUL after its text",
         [](MsgWriter& w) {
             w.writeMapHeader(3);
             w.writeString("act\0", 4), w.writeString("exec");
             w.writeString("ord"), w.writeUInt(6);
             w.writeString("params"), w.writeMapHeader(2);
             w.writeString("fileId"), w.writeUInt(1);
             w.writeString("frameNumber"), w.writeUInt(2);
         },
         false},
        {"an array", [](MsgWriter& w) { w.writeArrayHeader(3); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<uint8_t> bytes = encoded(c.write);
        LoadFrameRequest got;
        ASSERT_EQ(matchLoadFrame(bytes.data(), bytes.size(), got), c.taken);
        if (c.taken) {
            EXPECT_EQ(got.fileId, c.fileId);
            EXPECT_EQ(got.frameNumber, c.frame);
            EXPECT_EQ(got.size, bytes.size());
        }
    }
}

// Only the whole request is taken: cut anywhere it is left to wait for the rest, and bytes of a
// request behind it stay where they are.
TEST(LoadFrameRequest, TakesOnlyAWholeRequest) {
    const std::vector<uint8_t> one = encoded([](MsgWriter& w) { clientForm(w, 2, 300); });
    LoadFrameRequest got;
    for (size_t cut = 0; cut < one.size(); ++cut) {
        EXPECT_FALSE(matchLoadFrame(one.data(), cut, got)) << "cut at " << cut;
    }
    const std::vector<uint8_t> two = encoded([](MsgWriter& w) {
        clientForm(w, 2, 300);
        clientForm(w, 2, 301);
    });
    ASSERT_TRUE(matchLoadFrame(two.data(), two.size(), got));
    EXPECT_EQ(got.size, one.size());
    EXPECT_EQ(got.frameNumber, 300u);
}
