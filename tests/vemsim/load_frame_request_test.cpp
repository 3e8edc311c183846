// Which bytes vemsim takes for a LoadFrame without building a value tree, and which it leaves to
// the general decoder.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "msgpack/memory_stream.h"
#include "msgpack/msg_writer.h"
#include "tools/vemsim/load_frame_request.h"

using namespace zel::vem;
using namespace zel::vem::sim;

namespace {

using Value = std::function<void(MsgWriter&)>;
using Fields = std::vector<std::pair<std::string, Value>>;

Value num(uint64_t v) {
    return [v](MsgWriter& w) { w.writeUInt(v); };
}
Value text(std::string s) {
    return [s](MsgWriter& w) { w.writeString(s.data(), s.size()); };
}
Value map(Fields fields) {
    return [fields](MsgWriter& w) {
        w.writeMapHeader(static_cast<uint32_t>(fields.size()));
        for (const auto& field : fields) {
            w.writeString(field.first.data(), field.first.size());
            field.second(w);
        }
    };
}

// The request as the library's channel writes it.
Value clientForm(uint64_t fileId, uint64_t frame) {
    return map({{"act", text("exec")},
                {"ord", num(6)},
                {"params", map({{"fileId", num(fileId)}, {"frameNumber", num(frame)}})}});
}

// A LoadFrame with `params` as its parameters.
Value withParams(Fields params) {
    return map({{"act", text("exec")}, {"ord", num(6)}, {"params", map(std::move(params))}});
}

std::vector<uint8_t> encoded(const std::vector<Value>& values) {
    MemoryStream out;
    MsgWriter w(&out);
    for (const Value& value : values) {
        value(w);
    }
    return out.data;
}

}  // namespace

TEST(LoadFrameRequest, TakesTheClientFormAndLeavesEverythingElse) {
    const Value pair = map({{"fileId", num(1)}, {"frameNumber", num(2)}});
    struct Case {
        const char* what;
        Value request;
        bool taken;
        uint32_t fileId = 0;
        uint64_t frame = 0;
    };
    const Case cases[] = {
        {"client form", clientForm(3, 41), true, 3, 41},
        {"largest ids", clientForm(0xFFFFFFFF, UINT64_MAX), true, 0xFFFFFFFF, UINT64_MAX},
        {"keys in another order",
         map({{"params", map({{"frameNumber", num(9)}, {"fileId", num(1)}})},
              {"ord", num(6)},
              {"act", text("exec")}}),
         true, 1, 9},
        {"fileId beyond 32 bits", clientForm(uint64_t{1} << 32, 0), false},
        {"another operation",
         map({{"act", text("exec")}, {"ord", num(5)}, {"params", map({{"fileId", num(1)}})}}),
         false},
        {"a version check", map({{"act", text("verCheck")}, {"ver", num(1)}}), false},
        {"an extra key",
         map({{"act", text("exec")}, {"ord", num(6)}, {"x", num(0)}, {"params", pair}}), false},
        {"an extra parameter",
         withParams({{"fileId", num(1)}, {"frameNumber", num(2)}, {"x", num(2)}}), false},
        {"a repeated key", map({{"ord", num(6)}, {"ord", num(6)}, {"params", pair}}), false},
        {"a repeated parameter", withParams({{"fileId", num(1)}, {"fileId", num(2)}}), false},
        {"a frame number as text", withParams({{"fileId", num(1)}, {"frameNumber", text("2")}}),
         false},
        {"a negative frame number",
         withParams({{"fileId", num(1)}, {"frameNumber", [](MsgWriter& w) { w.writeInt(-2); }}}),
         false},
        {"a key with a NUL after its text",
         map({{std::string("act\0", 4), text("exec")}, {"ord", num(6)}, {"params", pair}}), false},
        {"an array", [](MsgWriter& w) { w.writeArrayHeader(3); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<uint8_t> bytes = encoded({c.request});
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
    const std::vector<uint8_t> one = encoded({clientForm(2, 300)});
    LoadFrameRequest got;
    for (size_t cut = 0; cut < one.size(); ++cut) {
        EXPECT_FALSE(matchLoadFrame(one.data(), cut, got)) << "cut at " << cut;
    }
    const std::vector<uint8_t> two = encoded({clientForm(2, 300), clientForm(2, 301)});
    ASSERT_TRUE(matchLoadFrame(two.data(), two.size(), got));
    EXPECT_EQ(got.size, one.size());
    EXPECT_EQ(got.frameNumber, 300u);
}
