// End-to-end tests: the service client against vemsim running as a separate process.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "msgpack/msg_reader.h"
#include "msgpack/msg_writer.h"
#include "service/irig_time.h"
#include "service/local_server.h"
#include "service/local_socket.h"
#include "service/service_channel.h"
#include "service/shared_section.h"
#include "suite/file.h"
#include "suite/file/raw_imager_file.h"
#include "suite/local_file_system.h"
#include "tests/support/sim_test.h"
#include "tools/vemsim/synthetic.h"

using namespace zel;
using namespace zel::vem;
using zel::test::ChildProcess;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int kExitTimeoutMs = 20000;

class VemsimTest : public zel::test::SimTest {
  protected:
    // Quits the simulator through its control pipe and expects a clean exit.
    void quitSim(ChildProcess* process = nullptr) {
        EXPECT_EQ(ctl("quit"), "ok");
        int code = -1;
        ASSERT_TRUE((process ? *process : *sim).wait(kExitTimeoutMs, code));
        EXPECT_EQ(code, 0);
    }

    // Windows gives a new client the next pipe instance only once the service has taken the
    // previous one, so clients connecting at the same moment may need a second try.
    static bool connect(ServiceChannel& channel) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (channel.CheckVersion()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Runs WaitEvent on a thread of its own and returns once the service has received it, so
    // that what the test does next happens while the wait is blocked.
    static std::future<bool> blockedWait(ServiceChannel& channel, uint32_t queue,
                                         SVemEvent& event) {
        const long long before = simCount("requests");
        std::future<bool> waited = std::async(std::launch::async, [&channel, queue, &event] {
            return channel.WaitEvent(queue, event);
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (simCount("requests") <= before && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return waited;
    }
};

bool mapFile(ServiceChannel& channel, uint32_t fileId, SharedSection& section) {
    CString mapping;
    return channel.GetFileMapping(fileId, mapping) && section.open(mapping.c_str());
}

bool sectionHolds(SharedSection& section, const Bytes& expected) {
    return section.size() >= expected.size() &&
           std::memcmp(section.data(), expected.data(), expected.size()) == 0;
}

// Loads `frame` into the mapped section and compares its first bytes with `expected`.
bool frameIs(ServiceChannel& channel, SharedSection& section, uint32_t fileId, uint64_t frame,
             const Bytes& expected) {
    return channel.LoadFrame(fileId, frame) && sectionHolds(section, expected);
}

Bytes synthetic(uint64_t number, uint64_t frame, uint32_t w, uint32_t h) {
    return zel::test::syntheticFrames(number, w, h, frame, 1);
}

std::optional<Bytes> fileData(ServiceChannel& channel, uint32_t fileId) {
    TSharedPtr<CMemFile> target = CMemFile::Create();
    return channel.GetFileData(fileId, target) ? std::optional<Bytes>(target->data())
                                               : std::nullopt;
}

std::string irigText(uint64_t irig) {
    return FormatIrigTime(DecodeIrigTime(irig));
}

}  // namespace

TEST_F(VemsimTest, ServesEveryOperation) {
    ASSERT_TRUE(startSim({"--movies", "2x64x48x10", "--movie", "33x7x4:odd"}));
    ServiceChannel channel;
    ASSERT_TRUE(connect(channel));
    EXPECT_TRUE(channel.IsDriveDetected());
    EXPECT_TRUE(channel.ExecOrdinal8());
    uint32_t count = 0;
    ASSERT_TRUE(channel.GetMovieCount(count));
    ASSERT_EQ(count, 3u);

    // Movie 0 is number 1: recorded 2024-02-14 10:30:00.250 UTC, frames 8333 us apart.
    SVemMovieInfo info = {};
    ASSERT_TRUE(channel.GetMovieInfo(0, info));
    EXPECT_STREQ(info.name, "sim");
    EXPECT_EQ(info.number, 1u);
    EXPECT_EQ(info.width, 64u);
    EXPECT_EQ(info.height, 48u);
    EXPECT_EQ(info.numFrames, 10u);
    EXPECT_EQ(info.size, 64u * 48u * 10u * 2u);
    EXPECT_EQ(info.rtcTime, 1707903000u + 3600u);
    EXPECT_EQ(irigText(info.startTime), "045:10:30:00.250000");
    EXPECT_EQ(irigText(info.endTime), "045:10:30:00.324997");
    EXPECT_EQ(info.status, 0u);
    ASSERT_TRUE(channel.GetMovieInfo(2, info));
    EXPECT_STREQ(info.name, "odd");
    EXPECT_EQ(info.number, 3u);
    EXPECT_FALSE(channel.GetMovieInfo(3, info));

    uint32_t index = 99;
    ASSERT_TRUE(channel.GetMovieIndex("odd", index));
    EXPECT_EQ(index, 2u);
    ASSERT_TRUE(channel.GetMovieIndex("2-sim", index));
    EXPECT_EQ(index, 1u);
    EXPECT_FALSE(channel.GetMovieIndex("nothing", index));

    // Frames of the odd-sized movie, out of order and repeated.
    SharedSection section;
    ASSERT_TRUE(mapFile(channel, 2, section));
    for (uint64_t frame : {3u, 0u, 2u, 2u, 1u}) {
        EXPECT_TRUE(frameIs(channel, section, 2, frame, synthetic(3, frame, 33, 7))) << frame;
    }
    // Frames out of range and files never mapped: LoadFrameIsAnsweredAlikeEitherWay.

    // The info block of a movie (checked byte for byte in EmulatorFolderHoldsTheServedMovie).
    EXPECT_TRUE(fileData(channel, 2));
    EXPECT_FALSE(fileData(channel, 7));

    EXPECT_TRUE(channel.CloseFile(2));
    EXPECT_TRUE(channel.CloseFile(2));
    EXPECT_FALSE(channel.LoadFrame(2, 0));

    ASSERT_TRUE(channel.RemoveMovie(0));
    ASSERT_TRUE(channel.GetMovieCount(count));
    EXPECT_EQ(count, 2u);
    ASSERT_TRUE(channel.GetMovieInfo(0, info));
    EXPECT_EQ(info.number, 2u);
    EXPECT_FALSE(channel.RemoveMovie(5));

    uint32_t queue = 0;
    ASSERT_TRUE(channel.CreateEventQueue(queue));
    EXPECT_NE(queue, 0xFFFFFFFFu);
    EXPECT_TRUE(channel.DestroyEventQueue(queue));
    EXPECT_FALSE(channel.DestroyEventQueue(queue));
    quitSim();
}

TEST_F(VemsimTest, EventQueuesGetChangesUntilDestroyed) {
    ASSERT_TRUE(startSim({"--movies", "1x16x16x2"}));
    ServiceChannel requests, eventsA, eventsB;
    ASSERT_TRUE(connect(requests) && connect(eventsA) && connect(eventsB));
    uint32_t queueA = 0, queueB = 0;
    ASSERT_TRUE(eventsA.CreateEventQueue(queueA));
    ASSERT_TRUE(eventsB.CreateEventQueue(queueB));
    ASSERT_NE(queueA, queueB);

    // A wait already blocked is woken by the change; the other queue keeps its event.
    SVemEvent event = {};
    std::future<bool> waited = blockedWait(eventsA, queueA, event);
    EXPECT_EQ(ctl("add 8 8 3 late").rfind("ok index=1", 0), 0u);
    ASSERT_TRUE(waited.get());
    EXPECT_EQ(event.type, 1u);
    EXPECT_EQ(event.drive, 0u);
    ASSERT_TRUE(eventsB.WaitEvent(queueB, event));
    EXPECT_EQ(event.type, 1u);
    uint32_t count = 0;
    ASSERT_TRUE(requests.GetMovieCount(count));
    EXPECT_EQ(count, 2u);

    // A detached drive: no drive, no movies; several changes in a row make one event.
    EXPECT_EQ(ctl("detach"), "ok");
    EXPECT_FALSE(requests.IsDriveDetected());
    EXPECT_FALSE(requests.GetMovieCount(count));
    EXPECT_EQ(ctl("attach"), "ok");
    EXPECT_TRUE(requests.IsDriveDetected());
    EXPECT_EQ(ctl("event 7"), "ok");
    for (uint32_t type : {1u, 7u}) {
        ASSERT_TRUE(eventsA.WaitEvent(queueA, event));
        EXPECT_EQ(event.type, type);
    }
    // Removal through the service is a change as well.
    ASSERT_TRUE(requests.RemoveMovie(0));
    ASSERT_TRUE(eventsA.WaitEvent(queueA, event));
    EXPECT_EQ(event.type, 1u);

    // A client shutting down destroys its queue on the request connection while the event
    // connection is blocked on it: the wait ends with type 0, and waiting again is an error.
    event = {99, 99};
    waited = blockedWait(eventsA, queueA, event);
    EXPECT_TRUE(requests.DestroyEventQueue(queueA));
    ASSERT_TRUE(waited.get());
    EXPECT_EQ(event.type, 0u);
    EXPECT_FALSE(eventsA.WaitEvent(queueA, event));
    EXPECT_TRUE(requests.DestroyEventQueue(queueB));
    quitSim();
}

TEST_F(VemsimTest, ServesTwoClientsAtOnce) {
    ASSERT_TRUE(startSim({"--movie", "40x30x12:a", "--movie", "24x24x12:b"}));
    auto client = [](uint32_t fileId, uint32_t w, uint32_t h) {
        ServiceChannel channel;
        SharedSection section;
        if (!connect(channel) || !mapFile(channel, fileId, section)) {
            return -1;
        }
        int failures = 0;
        for (uint64_t round = 0; round < 40; ++round) {
            const uint64_t frame = (round * 5 + fileId) % 12;
            failures +=
                !frameIs(channel, section, fileId, frame, synthetic(fileId + 1, frame, w, h));
        }
        channel.CloseFile(fileId);
        return failures;
    };
    std::future<int> a = std::async(std::launch::async, client, 0, 40, 30);
    std::future<int> b = std::async(std::launch::async, client, 1, 24, 24);
    EXPECT_EQ(a.get(), 0);
    EXPECT_EQ(b.get(), 0);
    EXPECT_EQ(simCount("frames"), 80);
    quitSim();
}

// Each fault, armed on request, makes exactly the call it hits fail (or, for delay, wait), and
// the client never hangs. Whether the channel survives depends on whether the reply could
// still be read whole. A service that exits fails the calls in flight and every later one.
TEST_F(VemsimTest, FaultsFailTheCallTheyHit) {
    ASSERT_TRUE(startSim({"--movies", "1x8x8x4"}));
    struct Case {
        const char* fault;
        std::function<bool(ServiceChannel&)> call;
        bool stillConnected;
    };
    auto movieCount = [](ServiceChannel& c) {
        uint32_t n = 0;
        return c.GetMovieCount(n) && n == 1;
    };
    auto movieInfo = [](ServiceChannel& c) {
        SVemMovieInfo info = {};
        return c.GetMovieInfo(0, info);
    };
    auto loadFrame = [](ServiceChannel& c) {
        CString mapping;
        return c.GetFileMapping(0, mapping) && c.LoadFrame(0, 1);
    };
    const Case cases[] = {
        {"error ord=1", movieCount, true},    {"notmap ord=1", movieCount, true},
        {"noresult ord=2", movieInfo, true},  {"error ord=6", loadFrame, true},
        {"garbage ord=1", movieCount, false}, {"drop ord=2", movieInfo, false},
        {"drop ord=6", loadFrame, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        ServiceChannel channel;
        ASSERT_TRUE(connect(channel));
        ASSERT_EQ(ctl(std::string("fault ") + c.fault), "ok");
        EXPECT_FALSE(c.call(channel));
        EXPECT_EQ(channel.isConnected(), c.stillConnected);
        EXPECT_EQ(c.call(channel), c.stillConnected) << "the fault was for one request only";
    }

    // The version check itself can fail; the channel then stays unconnected.
    ASSERT_EQ(ctl("fault error ord=ver"), "ok");
    ServiceChannel refused;
    EXPECT_FALSE(refused.CheckVersion());
    EXPECT_FALSE(refused.isConnected());

    // A delayed reply still arrives, late.
    ASSERT_EQ(ctl("fault delay ord=1 ms=400"), "ok");
    ServiceChannel slow;
    ASSERT_TRUE(connect(slow));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(movieCount(slow));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(380));
    EXPECT_EQ(simCount("faults"), 0);

    // The service exits while one call is in flight and a wait is blocked.
    ServiceChannel events;
    ASSERT_TRUE(connect(events));
    uint32_t queue = 0;
    ASSERT_TRUE(events.CreateEventQueue(queue));
    SVemEvent event = {};
    std::future<bool> waited = blockedWait(events, queue, event);
    EXPECT_EQ(ctl("fault exit ord=6"), "ok");
    CString mapping;
    EXPECT_TRUE(slow.GetFileMapping(0, mapping));
    EXPECT_FALSE(slow.LoadFrame(0, 0));
    EXPECT_FALSE(waited.get());
    int code = -1;
    ASSERT_TRUE(sim->wait(kExitTimeoutMs, code));
    EXPECT_EQ(code, 3);
    EXPECT_FALSE(movieCount(slow));
    ServiceChannel late;
    EXPECT_FALSE(late.CheckVersion());
}

namespace {

// {"act": act, "ord": ord, "params": {params}}, leaving out a null act, a negative ord and
// empty params.
MsgObject request(const char* act, int64_t ord,
                  const std::vector<std::pair<const char*, MsgObject>>& params = {}) {
    MsgObject map(msgMap, 3);
    if (act) {
        map.insert("act", MsgObject(act));
    }
    if (ord >= 0) {
        map.insert("ord", MsgObject(static_cast<uint64_t>(ord)));
    }
    if (!params.empty()) {
        MsgObject inner(msgMap, static_cast<uint32_t>(params.size()));
        for (const auto& item : params) {
            inner.insert(item.first, MsgObject(item.second));
        }
        map.insert("params", std::move(inner));
    }
    return map;
}

// A client speaking MessagePack on the pipe directly, to send what ServiceChannel never would.
struct RawClient {
    LocalSocket socket;
    MsgWriter writer{&socket};
    MsgReader reader{&socket};

    MsgObject ask(const MsgObject& request) {
        writer.writeObject(request);
        return reader.readObject();
    }
};

}  // namespace

// Requests that are not what the protocol says get an "error" reply and the connection goes
// on; bytes that are no MessagePack value end the connection.
TEST_F(VemsimTest, AnswersMalformedRequestsWithErrors) {
    ASSERT_TRUE(startSim({"--movies", "1x8x8x4"}));
    RawClient raw;
    ASSERT_TRUE(raw.socket.connect("zelvemsvc"));
    const MsgObject zero(uint64_t{0});
    MsgObject array(msgArray, 1);
    array.append(MsgObject(uint64_t{1}));
    struct Case {
        const char* what;
        MsgObject request;
        const char* error;  // null: success expected
    };
    const Case cases[] = {
        {"array", array, "Request is not a map."},
        {"no act", request(nullptr, 0), "Missing \"act\"."},
        {"unknown act", request("bogus", -1), "Unknown act \"bogus\"."},
        {"no ord", request("exec", -1), "Missing \"ord\"."},
        {"ord 13", request("exec", 13), "Unknown operation 13."},
        {"no params", request("exec", 2), "Missing \"params\"."},
        {"string index", request("exec", 2, {{"index", MsgObject("0")}}),
         "Missing parameter \"index\"."},
        {"wrong key", request("exec", 2, {{"fileId", zero}}), "Missing parameter \"index\"."},
        {"index 99", request("exec", 2, {{"index", MsgObject(uint64_t{99})}}), "No movie 99."},
        {"fileId 2^32", request("exec", 4, {{"fileId", MsgObject(uint64_t{1} << 32)}}),
         "Parameter \"fileId\" out of range."},
        {"frame without mapping", request("exec", 6, {{"fileId", zero}, {"frameNumber", zero}}),
         "File not open."},
        {"wait on no queue", request("exec", 12, {{"queueId", MsgObject(uint64_t{5})}}),
         "No such event queue."},
        {"extra params ignored", request("exec", 0, {{"x", MsgObject()}}), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MsgObject reply = raw.ask(c.request);
        ASSERT_EQ(reply.type(), MsgType::Map);
        ASSERT_TRUE(reply.hasKey("error"));
        if (c.error) {
            ASSERT_EQ(reply.get("error").type(), MsgType::String);
            EXPECT_STREQ(reply.get("error").asString(), c.error);
        } else {
            EXPECT_EQ(reply.get("error").type(), MsgType::Nil);
            EXPECT_TRUE(reply.get("result").get("detected").asBool());
        }
    }
    const uint8_t garbage = 0xC1;
    ASSERT_EQ(raw.socket.write(&garbage, 1), 1u);
    uint8_t byte = 0;
    EXPECT_EQ(raw.socket.read(&byte, 1), 0u) << "the connection should have been closed";
    // Other clients are not affected.
    ServiceChannel channel;
    ASSERT_TRUE(connect(channel));
    EXPECT_TRUE(channel.IsDriveDetected());
    quitSim();
}

// A LoadFrame in the client's plain form is answered from the bytes it came in; any other form,
// and every request while a fault is armed, goes through the general decoder. Either way the
// replies and the frames must be the same.
TEST_F(VemsimTest, LoadFrameIsAnsweredAlikeEitherWay) {
    ASSERT_TRUE(startSim({"--movies", "1x8x8x4"}));
    RawClient raw;
    ASSERT_TRUE(raw.socket.connect("zelvemsvc"));
    MsgObject mapped = raw.ask(request("exec", 4, {{"fileId", MsgObject(uint64_t{0})}}));
    SharedSection section;
    ASSERT_TRUE(section.open(mapped.get("result").get("mapping").asString()));
    auto load = [](uint64_t fileId, uint64_t frame, bool plain) {
        std::vector<std::pair<const char*, MsgObject>> params = {{"fileId", MsgObject(fileId)},
                                                                 {"frameNumber", MsgObject(frame)}};
        if (!plain) {
            params.emplace_back("spare", MsgObject());
        }
        return request("exec", 6, params);
    };
    struct Case {
        const char* what;
        MsgObject request;
        const char* error;  // null: the frame below is in the section
        uint64_t frame = 0;
    };
    const Case cases[] = {
        {"plain", load(0, 2, true), nullptr, 2},
        {"with a spare parameter", load(0, 3, false), nullptr, 3},
        {"past the end", load(0, 4, true), "Frame number out of range."},
        {"file not open", load(1, 0, true), "File not open."},
        {"fileId 2^32", load(uint64_t{1} << 32, 0, true), "Parameter \"fileId\" out of range."},
    };
    for (const bool faultArmed : {false, true}) {
        if (faultArmed) {
            // On an operation this test never calls: it only keeps a fault armed.
            ASSERT_EQ(ctl("fault error ord=12 count=1000"), "ok");
        }
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.what << (faultArmed ? ", fault armed" : ""));
            MsgObject reply = raw.ask(c.request);
            ASSERT_EQ(reply.type(), MsgType::Map);
            if (c.error) {
                ASSERT_EQ(reply.get("error").type(), MsgType::String);
                EXPECT_STREQ(reply.get("error").asString(), c.error);
                continue;
            }
            ASSERT_EQ(reply.get("error").type(), MsgType::Nil);
            EXPECT_EQ(reply.get("result").type(), MsgType::Map);
            EXPECT_TRUE(sectionHolds(section, synthetic(1, c.frame, 8, 8)));
        }
    }
    EXPECT_EQ(simCount("frames"), 4);
    quitSim();
}

// The same synthetic movie three ways: written as an emulator folder and read by the raw imager
// file, served synthetic, and served from that folder. Bytes and times must agree everywhere.
TEST_F(VemsimTest, EmulatorFolderHoldsTheServedMovie) {
    const std::string folder = dir + "/emulator";
    const std::vector<std::string> movies = {"--movie", "40x30x6:alpha", "--movie", "17x5x3:beta"};
    {
        ChildProcess writer;
        std::vector<std::string> args = {"--write-folder", folder};
        args.insert(args.end(), movies.begin(), movies.end());
        ASSERT_TRUE(writer.start(zel::test::siblingProgram("vemsim"), args));
        int code = -1;
        ASSERT_TRUE(writer.wait(kExitTimeoutMs, code));
        ASSERT_EQ(code, 0);
    }
    file::CRawImagerFile raw;
    ASSERT_TRUE(raw.Open(fileSystem(), CStringW((folder + "/1-alpha.dat").c_str()), 0));
    ASSERT_EQ(raw.xPixels(), 40u);
    ASSERT_EQ(raw.yPixels(), 30u);
    ASSERT_EQ(raw.nFrames(), 6u);
    file::CReduceObjectArray objects;
    std::vector<Bytes> frames(6, Bytes(40 * 30 * 2));
    for (uint32_t f = 0; f < 6; ++f) {
        unsigned char preset = 0;
        ASSERT_TRUE(raw.GetReduceObjectsForFrame(f, preset, objects));
        EXPECT_EQ(objects.GetFrameInfo(preset, false)->GetTimestamp().GetTimestamp(0),
                  sim::syntheticFrameTime(1, f));
        ASSERT_TRUE(raw.GetFrame(f, frames[f].data(), frames[f].size()));
    }
    TSharedPtr<IFile> infoFile = fileSystem()->OpenFile(
        CStringW((folder + "/1-alpha.info").c_str()), kOpenRead | kOpenShareRead);
    ASSERT_TRUE(infoFile);
    Bytes infoBytes(static_cast<size_t>(infoFile->GetSize()));
    ASSERT_EQ(infoFile->Read(infoBytes.data(), static_cast<uint32_t>(infoBytes.size())),
              infoBytes.size());

    for (const auto& args : {movies, {"--folder", folder}}) {
        SCOPED_TRACE(args[0]);
        ChildProcess server;
        ASSERT_TRUE(startSim(args, server));
        ServiceChannel channel;
        ASSERT_TRUE(connect(channel));
        SVemMovieInfo info = {};
        ASSERT_TRUE(channel.GetMovieInfo(0, info));
        EXPECT_STREQ(info.name, "alpha");
        EXPECT_EQ(info.number, 1u);
        EXPECT_EQ(irigText(info.startTime), "045:10:30:00.250000");
        EXPECT_EQ(irigText(info.endTime), "045:10:30:00.291665");
        ASSERT_TRUE(channel.GetMovieInfo(1, info));
        EXPECT_STREQ(info.name, "beta");
        EXPECT_EQ(info.numFrames, 3u);
        EXPECT_EQ(fileData(channel, 0), infoBytes);
        SharedSection section;
        ASSERT_TRUE(mapFile(channel, 0, section));
        for (uint32_t f = 0; f < 6; ++f) {
            EXPECT_TRUE(frameIs(channel, section, 0, f, frames[f])) << "frame " << f;
        }
        quitSim(&server);
    }
}

// One service owns the pipe: a second cannot take it, and Ctrl+C (POSIX: SIGTERM) or "quit"
// stops the first cleanly with a client still connected, freeing the pipe for the next.
TEST_F(VemsimTest, OwnsThePipeUntilStopped) {
    ASSERT_TRUE(startSim({"--movies", "1x4x4x1"}));
    ServiceChannel channel;
    ASSERT_TRUE(connect(channel));
    uint32_t queue = 0;
    ASSERT_TRUE(channel.CreateEventQueue(queue));

    ChildProcess second;
    ASSERT_TRUE(second.start(zel::test::siblingProgram("vemsim"), {}));
    int code = -1;
    ASSERT_TRUE(second.wait(kExitTimeoutMs, code));
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(second.waitForLine("cannot serve the pipe zelvemsvc", 1000));
    ServiceChannel other;
    ASSERT_TRUE(connect(other));
    EXPECT_TRUE(other.IsDriveDetected());

    if (!sim->interrupt()) {
        EXPECT_EQ(ctl("quit"), "ok");
    }
    ASSERT_TRUE(sim->wait(kExitTimeoutMs, code));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(sim->waitForLine("vemsim: stopped", 1000));
    EXPECT_TRUE(listPipes("zelvemsvc").empty());
    ServiceChannel late;
    EXPECT_FALSE(late.CheckVersion());
    ChildProcess next;
    ASSERT_TRUE(startSim({"--detached"}, next));
    ASSERT_TRUE(connect(late));
    EXPECT_FALSE(late.IsDriveDetected());
    quitSim(&next);
}
