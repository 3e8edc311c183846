// ServiceChannel against a scripted service: request bytes on the pipe, reply handling, faults.
#include "service/service_channel.h"

#include <gtest/gtest.h>

#include <cstring>

#include "suite/file.h"
#include "tests/channel/scripted_service.h"

namespace zel::vem::test {
namespace {

// The prefix every operation request shares: {"act": "exec", "ord": ...
const char kExec2[] = "82 a3 61 63 74 a4 65 78 65 63 a3 6f 72 64";
const char kExec3[] = "83 a3 61 63 74 a4 65 78 65 63 a3 6f 72 64";
const char kParams[] = "a6 70 61 72 61 6d 73";
const char kFileId7[] = "81 a6 66 69 6c 65 49 64 07";

std::string join(std::initializer_list<const char*> parts) {
    std::string text;
    for (const char* p : parts) {
        text += p;
        text += ' ';
    }
    return text;
}

Bytes emptyOk() {
    return encode([](MsgWriter& w) {
        w.writeMapHeader(1);
        w.writeString("error");
        w.writeNil();
    });
}

Bytes detectedReply(bool detected) {
    return okReply(1, [=](MsgWriter& w) { w.writeString("detected"), w.writeBool(detected); });
}

Bytes movieInfoReply(uint64_t width, bool withStatus, const std::string& name = "run_a") {
    return okReply(1, [=](MsgWriter& w) {
        w.writeString("info");
        w.writeMapHeader(withStatus ? 10 : 9);
        auto field = [&](const char* key, uint64_t value) {
            w.writeString(key);
            w.writeUInt(value);
        };
        field("size", 24);
        w.writeString("name");
        w.writeString(name);
        field("width", width);
        field("height", 2);
        field("numFrames", 3);
        field("number", 12);
        field("rtcTime", 1700000000);
        field("startTime", 0x138E000020C40004ull);
        field("endTime", 0xE2400001D1C900B4ull);
        if (withStatus) {
            field("status", 5);
        }
    });
}

// A service that answers the version check and then the given steps.
std::vector<Step> afterVersion(std::vector<Step> steps) {
    steps.insert(steps.begin(), Step{versionReply()});
    return steps;
}

struct RequestCase {
    const char* what;
    std::string expected;
    Bytes reply;
    std::function<bool(ServiceChannel&)> call;
};

TEST(ServiceChannel, EveryOperationWritesItsExactRequest) {
    const RequestCase cases[] = {
        {"IsDriveDetected", join({kExec2, "00"}), detectedReply(true),
         [](ServiceChannel& c) { return c.IsDriveDetected(); }},
        {"GetMovieCount", join({kExec2, "01"}),
         okReply(1, [](MsgWriter& w) { w.writeString("count"), w.writeUInt(2); }),
         [](ServiceChannel& c) {
             uint32_t n = 0;
             return c.GetMovieCount(n) && n == 2;
         }},
        {"GetMovieInfo(3)",
         "83 a3 61 63 74 a4 65 78 65 63 a3 6f 72 64 02 a6 70 61 72 61 6d 73 81 a5 69 6e 64 65 78 "
         "03",
         movieInfoReply(2, true),
         [](ServiceChannel& c) {
             SVemMovieInfo info{};
             return c.GetMovieInfo(3, info) && info.status == 5;
         }},
        {"GetMovieIndex(run_a)",
         join({kExec3, "03", kParams, "81 a4 6e 61 6d 65 a5 72 75 6e 5f 61"}),
         okReply(1, [](MsgWriter& w) { w.writeString("index"), w.writeUInt(4); }),
         [](ServiceChannel& c) {
             uint32_t index = 0;
             return c.GetMovieIndex("run_a", index) && index == 4;
         }},
        {"GetFileMapping(7)", join({kExec3, "04", kParams, kFileId7}),
         okReply(1, [](MsgWriter& w) { w.writeString("mapping"), w.writeString("sect1"); }),
         [](ServiceChannel& c) {
             CString name;
             return c.GetFileMapping(7, name) && name == CString("sect1");
         }},
        {"CloseFile(7)", join({kExec3, "05", kParams, kFileId7}), emptyOk(),
         [](ServiceChannel& c) { return c.CloseFile(7); }},
        {"LoadFrame(7, 2^32+5)",
         join({kExec3, "06", kParams,
               "82 a6 66 69 6c 65 49 64 07 ab 66 72 61 6d 65 4e 75 6d 62 65 72 "
               "cf 00 00 00 01 00 00 00 05"}),
         emptyOk(), [](ServiceChannel& c) { return c.LoadFrame(7, (1ull << 32) + 5); }},
        {"RemoveMovie(7)", join({kExec3, "07", kParams, kFileId7}), emptyOk(),
         [](ServiceChannel& c) { return c.RemoveMovie(7); }},
        {"ExecOrdinal8", join({kExec2, "08"}), emptyOk(),
         [](ServiceChannel& c) { return c.ExecOrdinal8(); }},
        {"GetFileData(7)", join({kExec3, "09", kParams, kFileId7}),
         okReply(1, [](MsgWriter& w) { w.writeString("data"), w.writeBlob("abc", 3); }),
         [](ServiceChannel& c) {
             TSharedPtr<CMemFile> file = CMemFile::Create();
             char got[4] = {};
             bool ok = c.GetFileData(7, file);
             file->SeekToBegin();
             return ok && file->Read(got, 4) == 3 && std::strcmp(got, "abc") == 0;
         }},
        {"CreateEventQueue", join({kExec2, "0a"}),
         okReply(1, [](MsgWriter& w) { w.writeString("queueId"), w.writeUInt(9); }),
         [](ServiceChannel& c) {
             uint32_t id = 0;
             return c.CreateEventQueue(id) && id == 9;
         }},
        {"DestroyEventQueue(5)", join({kExec3, "0b", kParams, "81 a7 71 75 65 75 65 49 64 05"}),
         emptyOk(), [](ServiceChannel& c) { return c.DestroyEventQueue(5); }},
        {"WaitEvent(5)", join({kExec3, "0c", kParams, "81 a7 71 75 65 75 65 49 64 05"}),
         okReply(1,
                 [](MsgWriter& w) {
                     w.writeString("event");
                     w.writeMapHeader(2);
                     w.writeString("type"), w.writeUInt(3);
                     w.writeString("drive"), w.writeUInt(1);
                 }),
         [](ServiceChannel& c) {
             SVemEvent event{};
             return c.WaitEvent(5, event) && event.type == 3 && event.drive == 1;
         }},
    };
    for (const RequestCase& rc : cases) {
        SCOPED_TRACE(rc.what);
        ScriptedService service(afterVersion({Step{rc.reply}}));
        {
            ServiceChannel channel;
            ASSERT_TRUE(channel.CheckVersion(service.name().c_str()));
            EXPECT_TRUE(rc.call(channel));
        }
        service.join();
        std::vector<Bytes> requests = service.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(hex(requests[0]), "82 a3 61 63 74 a8 76 65 72 43 68 65 63 6b a3 76 65 72 00");
        EXPECT_EQ(hex(requests[1]), hex(bytes(rc.expected)));
    }
}

struct ReplyCase {
    const char* what;
    Bytes reply;
    bool expected;
};

TEST(ServiceChannel, DriveDetectionAcceptsOnlyABoolAndNoError) {
    const ReplyCase cases[] = {
        {"true", detectedReply(true), true},
        {"false", detectedReply(false), false},
        {"integer 1", okReply(1, [](MsgWriter& w) { w.writeString("detected"), w.writeUInt(1); }),
         false},
        {"missing key", okReply(1, [](MsgWriter& w) { w.writeString("found"), w.writeBool(true); }),
         false},
        {"error beside a valid result", encode([](MsgWriter& w) {
             w.writeMapHeader(2);
             w.writeString("error"), w.writeString("drive busy");
             w.writeString("result"), w.writeMapHeader(1);
             w.writeString("detected"), w.writeBool(true);
         }),
         false},
        {"nil error, no other key order", encode([](MsgWriter& w) {
             w.writeMapHeader(3);
             w.writeString("result"), w.writeMapHeader(1);
             w.writeString("detected"), w.writeBool(true);
             w.writeString("extra"), w.writeUInt(1);
             w.writeString("error"), w.writeNil();
         }),
         true},
        {"error that is not a string", encode([](MsgWriter& w) {
             w.writeMapHeader(1);
             w.writeString("error"), w.writeUInt(3);
         }),
         false},
        {"reply that is not a map", bytes("93 01 02 03"), false},
    };
    for (const ReplyCase& rc : cases) {
        SCOPED_TRACE(rc.what);
        // Each fault is followed by a good exchange: a reply read whole keeps the line in step.
        ScriptedService service(afterVersion({Step{rc.reply}, Step{detectedReply(true)}}));
        ServiceChannel channel;
        ASSERT_TRUE(channel.CheckVersion(service.name().c_str()));
        EXPECT_EQ(channel.IsDriveDetected(), rc.expected);
        EXPECT_TRUE(channel.isConnected());
        EXPECT_TRUE(channel.IsDriveDetected());
    }
}

TEST(ServiceChannel, MovieInfoStoresFieldsAsTheyAreRead) {
    ScriptedService service(afterVersion(
        {Step{movieInfoReply(70000, false)}, Step{movieInfoReply(2, true, std::string(70, 'n'))}}));
    ServiceChannel channel;
    ASSERT_TRUE(channel.CheckVersion(service.name().c_str()));

    SVemMovieInfo info{};
    // No "status": the call fails, the nine fields before it are kept.
    EXPECT_FALSE(channel.GetMovieInfo(0, info));
    EXPECT_EQ(info.size, 24u);
    EXPECT_STREQ(info.name, "run_a");
    EXPECT_EQ(info.width, 4464u);  // 70000 keeps its low 16 bits
    EXPECT_EQ(info.height, 2u);
    EXPECT_EQ(info.numFrames, 3u);
    EXPECT_EQ(info.number, 12u);
    EXPECT_EQ(info.rtcTime, 1700000000u);
    EXPECT_EQ(info.startTime, 0x138E000020C40004ull);
    EXPECT_EQ(info.endTime, 0xE2400001D1C900B4ull);
    EXPECT_EQ(info.status, 0u);

    // A name too long for the record is cut to 63 bytes and stays terminated.
    SVemMovieInfo longName{};
    EXPECT_TRUE(channel.GetMovieInfo(1, longName));
    EXPECT_EQ(std::string(longName.name), std::string(63, 'n'));
    EXPECT_EQ(longName.status, 5u);
}

TEST(ServiceChannel, FileDataIntoTargets) {
    auto data = [](const void* bytes, uint32_t size) {
        return okReply(1, [=](MsgWriter& w) { w.writeString("data"), w.writeBlob(bytes, size); });
    };
    // A target that refuses every write.
    struct Refusing : CMemFile {
        uint32_t Write(const void*, uint32_t) override { return 0; }
    };
    ScriptedService service(afterVersion({Step{data("", 0)}, Step{data("xy", 2)}}));
    ServiceChannel channel;
    ASSERT_TRUE(channel.CheckVersion(service.name().c_str()));

    TSharedPtr<CMemFile> empty = CMemFile::Create();
    EXPECT_TRUE(channel.GetFileData(1, empty));
    EXPECT_EQ(empty->GetSize(), 0);

    // The operation holds no reference after it returns, whatever the outcome.
    auto* refusing = new Refusing;
    TSharedPtr<IFile> target(refusing);
    EXPECT_FALSE(channel.GetFileData(1, target));
    EXPECT_EQ(target.get(), refusing);
}

TEST(ServiceChannel, PeerDroppingMidReplyFailsAndDisconnects) {
    Bytes reply = okReply(1, [](MsgWriter& w) { w.writeString("count"), w.writeUInt(70000); });
    ScriptedService service(afterVersion({Step{reply, reply.size() - 2}}));
    ServiceChannel channel;
    ASSERT_TRUE(channel.CheckVersion(service.name().c_str()));
    uint32_t count = 0;
    EXPECT_FALSE(channel.GetMovieCount(count));
    // The rest of that reply would be read as the next one: the channel gives up the line.
    EXPECT_FALSE(channel.isConnected());
    EXPECT_FALSE(channel.GetMovieCount(count));
    service.join();
    EXPECT_EQ(service.requests().size(), 2u);
}

TEST(ServiceChannel, VersionCheckAcceptsAnyPositiveVersionOnly) {
    auto version = [](auto write) {
        return okReply(1, [=](MsgWriter& w) {
            w.writeString("ver");
            write(w);
        });
    };
    const ReplyCase cases[] = {
        {"0", version([](MsgWriter& w) { w.writeUInt(0); }), true},
        {"70000", version([](MsgWriter& w) { w.writeUInt(70000); }), true},
        {"-1", version([](MsgWriter& w) { w.writeInt(-1); }), false},
        {"string", version([](MsgWriter& w) { w.writeString("1.0"); }), false},
        {"no ver", okReply(0, [](MsgWriter&) {}), false},
        {"error", encode([](MsgWriter& w) {
             w.writeMapHeader(1);
             w.writeString("error"), w.writeString("too old");
         }),
         false},
    };
    for (const ReplyCase& rc : cases) {
        SCOPED_TRACE(rc.what);
        ScriptedService service({Step{rc.reply}});
        ServiceChannel channel;
        EXPECT_EQ(channel.CheckVersion(service.name().c_str()), rc.expected);
        EXPECT_EQ(channel.isConnected(), rc.expected);
    }
}

TEST(ServiceChannel, WithoutServiceEveryOperationFailsAtOnce) {
    ServiceChannel channel;
    EXPECT_FALSE(channel.CheckVersion(uniquePipeName().c_str()));
    uint32_t n = 0;
    SVemMovieInfo info{};
    SVemEvent event{};
    CString name;
    EXPECT_FALSE(channel.IsDriveDetected());
    EXPECT_FALSE(channel.GetMovieCount(n));
    EXPECT_FALSE(channel.GetMovieInfo(0, info));
    EXPECT_FALSE(channel.GetMovieIndex("x", n));
    EXPECT_FALSE(channel.GetFileMapping(0, name));
    EXPECT_FALSE(channel.CloseFile(0));
    EXPECT_FALSE(channel.LoadFrame(0, 0));
    EXPECT_FALSE(channel.RemoveMovie(0));
    EXPECT_FALSE(channel.ExecOrdinal8());
    EXPECT_FALSE(channel.CreateEventQueue(n));
    EXPECT_FALSE(channel.DestroyEventQueue(0));
    EXPECT_FALSE(channel.WaitEvent(0, event));
    // GetFileData releases its target even then, and writes nothing into it.
    TSharedPtr<CMemFile> file = CMemFile::Create();
    TSharedPtr<CMemFile> observer = file;
    EXPECT_FALSE(channel.GetFileData(1, std::move(file)));
    EXPECT_FALSE(file);
    EXPECT_EQ(observer->GetSize(), 0);
}

TEST(ServiceChannel, AbortBreaksABlockedWait) {
    // The service answers the version check and then never answers the wait.
    ScriptedService service({Step{versionReply()}});
    ServiceChannel channel;
    ASSERT_TRUE(channel.CheckVersion(service.name().c_str()));
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        SVemEvent event{};
        EXPECT_FALSE(channel.WaitEvent(1, event));
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(returned);
    channel.abort();
    waiter.join();
    EXPECT_TRUE(returned);
}

TEST(ServiceChannel, EachRequestReachesThePipeInOneWrite) {
    // A peer blocked in a read wakes on the first bytes written: a request written in pieces
    // would take several reads to arrive whole.
    const std::string longName(300, 'r');
    ScriptedService service(afterVersion({
        Step{detectedReply(true)},
        Step{movieInfoReply(2, true)},
        Step{okReply(1, [](MsgWriter& w) { w.writeString("index"), w.writeUInt(4); })},
        Step{emptyOk()},
    }));
    ServiceChannel channel;
    ASSERT_TRUE(channel.CheckVersion(service.name().c_str()));
    SVemMovieInfo info{};
    uint32_t index = 0;
    EXPECT_TRUE(channel.IsDriveDetected());
    EXPECT_TRUE(channel.GetMovieInfo(70000, info));
    EXPECT_TRUE(channel.GetMovieIndex(longName.c_str(), index));
    EXPECT_TRUE(channel.LoadFrame(7, 0x123456789ull));
    EXPECT_EQ(service.readsPerRequest(), (std::vector<int>{1, 1, 1, 1, 1}));
}

TEST(ServiceChannel, RepliesDecodeHoweverTheyArrive) {
    // Blobs below and above the read buffer's size; what is left of a large one after its
    // first piece bypasses the buffer, what is left of one just above it does not.
    Bytes large(3 * BufferedStream::kCapacity + 5);
    for (size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    Bytes small(large.begin(), large.begin() + 100);
    Bytes justAbove(large.begin(), large.begin() + BufferedStream::kCapacity + 1);
    auto data = [](const Bytes& blob) {
        return okReply(1, [&](MsgWriter& w) {
            w.writeString("data"), w.writeBlob(blob.data(), static_cast<uint32_t>(blob.size()));
        });
    };
    struct Case {
        const char* what;
        const Bytes* blob;
        size_t piece;
    };
    const Case cases[] = {
        {"small, whole", &small, SIZE_MAX},
        {"small, in pieces of 1", &small, 1},
        {"small, in pieces of 9", &small, 9},
        {"large, whole", &large, SIZE_MAX},
        {"large, in pieces of 1000", &large, 1000},
        {"just above the buffer, in pieces of 2000", &justAbove, 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Step step{data(*c.blob), SIZE_MAX, c.piece};
        ScriptedService service(afterVersion({step, Step{emptyOk()}}));
        ServiceChannel channel;
        ASSERT_TRUE(channel.CheckVersion(service.name().c_str()));
        TSharedPtr<CMemFile> target = CMemFile::Create();
        ASSERT_TRUE(channel.GetFileData(1, target));
        Bytes got(static_cast<size_t>(target->GetSize()));
        target->SeekToBegin();
        target->Read(got.data(), static_cast<uint32_t>(got.size()));
        EXPECT_EQ(got, *c.blob);
        // Nothing of the reply was left over to spoil the next one.
        EXPECT_TRUE(channel.CloseFile(1));
    }
}

TEST(ServiceChannel, ReadFailureDropsWhatWasBuffered) {
    // The bad byte arrives together with a whole reply: the reader has buffered that reply when
    // it gives up the line. A later connection must not see it.
    Bytes stale = encode([](MsgWriter& w) {
        w.writeMapHeader(1);
        w.writeString("error"), w.writeString("stale");
    });
    Bytes bad = bytes("c1");
    bad.insert(bad.end(), stale.begin(), stale.end());
    ScriptedService first(afterVersion({Step{bad}}));
    ServiceChannel channel;
    ASSERT_TRUE(channel.CheckVersion(first.name().c_str()));
    EXPECT_FALSE(channel.CloseFile(1));
    EXPECT_FALSE(channel.isConnected());

    ScriptedService second({Step{versionReply()}, Step{emptyOk()}});
    EXPECT_TRUE(channel.CheckVersion(second.name().c_str()));
    EXPECT_TRUE(channel.CloseFile(1));
    channel.disconnect();  // the services hold their lines until the client hangs up
}

}  // namespace
}  // namespace zel::vem::test
