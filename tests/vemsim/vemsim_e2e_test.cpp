// End-to-end tests: the service client against vemsim running as a separate process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
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
#include "tests/support/child_process.h"
#include "tools/vemsim/control.h"
#include "tools/vemsim/synthetic.h"

using namespace zel;
using namespace zel::vem;
using zel::test::ChildProcess;

namespace {

constexpr int kStartTimeoutMs = 30000;
constexpr int kExitTimeoutMs = 20000;

class VemsimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tempDir = zel::test::makeTempDir("vemsim_e2e_");
        ASSERT_FALSE(tempDir.empty());
        // POSIX: pipes of this test only, for the simulator and for this process's clients.
        env = {{"ZELVEM_PIPE_DIR", tempDir + "/pipes"}, {"XDG_DATA_HOME", tempDir + "/data"}};
        for (const auto& item : env) {
            ASSERT_TRUE(zel::test::setEnv(item.first, item.second));
        }
    }

    void TearDown() override {
        if (sim.running()) {
            ctl("quit");
            int code = 0;
            sim.wait(kExitTimeoutMs, code);
        }
        zel::test::removeTree(tempDir);
    }

    // Starts vemsim in `process` and waits until it serves.
    ::testing::AssertionResult startSim(ChildProcess& process,
                                        const std::vector<std::string>& args) {
        if (!process.start(zel::test::siblingProgram("vemsim"), args, env)) {
            return ::testing::AssertionFailure() << "vemsim did not start";
        }
        if (!process.waitForLine("vemsim: serving", kStartTimeoutMs)) {
            return ::testing::AssertionFailure() << "vemsim never served";
        }
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult startSim(const std::vector<std::string>& args) {
        return startSim(sim, args);
    }

    std::string ctl(const std::string& line) {
        std::string answer;
        sim::controlRequest("zelvemsvc", line, answer);
        return answer;
    }

    // Quits the simulator through its control pipe and expects a clean exit.
    void quitSim(ChildProcess& process) {
        EXPECT_EQ(ctl("quit"), "ok");
        int code = -1;
        ASSERT_TRUE(process.wait(kExitTimeoutMs, code));
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

    // How many requests the service has received so far.
    uint64_t requestsServed() {
        const std::string stats = ctl("stats");
        const size_t at = stats.find("requests=");
        return at == std::string::npos ? 0 : std::stoull(stats.substr(at + 9));
    }

    std::string tempDir;
    std::vector<std::pair<std::string, std::string>> env;
    ChildProcess sim;
};

// Loads `frame` through the service and compares every byte with the documented pixels.
void expectSyntheticFrame(ServiceChannel& channel, SharedSection& section, uint32_t fileId,
                          uint64_t number, uint64_t frame, uint32_t w, uint32_t h) {
    ASSERT_TRUE(channel.LoadFrame(fileId, frame)) << "frame " << frame;
    ASSERT_GE(section.size(), uint64_t{w} * h * 2);
    std::vector<uint8_t> expected(w * h * 2);
    sim::renderSyntheticFrame(number, frame, w, h, expected.data());
    ASSERT_EQ(std::memcmp(section.data(), expected.data(), expected.size()), 0)
        << "movie " << number << " frame " << frame;
}

std::vector<uint8_t> fileData(ServiceChannel& channel, uint32_t fileId, bool& ok) {
    TSharedPtr<CMemFile> target = CMemFile::Create();
    ok = channel.GetFileData(fileId, target);
    return target->data();
}

}  // namespace

TEST_F(VemsimTest, ServesEveryOperation) {
    ASSERT_TRUE(startSim({"--movies", "2x64x48x10", "--movie", "33x7x4:odd"}));
    ServiceChannel channel;
    ASSERT_TRUE(connect(channel));
    EXPECT_TRUE(channel.IsDriveDetected());
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
    EXPECT_EQ(FormatIrigTime(DecodeIrigTime(info.startTime)), "045:10:30:00.250000");
    EXPECT_EQ(FormatIrigTime(DecodeIrigTime(info.endTime)), "045:10:30:00.324997");
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
    EXPECT_TRUE(channel.ExecOrdinal8());

    // Frames of the odd-sized movie, out of order and repeated.
    CString mapping;
    ASSERT_TRUE(channel.GetFileMapping(2, mapping));
    SharedSection section;
    ASSERT_TRUE(section.open(mapping.c_str())) << mapping.c_str();
    for (uint64_t frame : {3u, 0u, 2u, 2u, 1u}) {
        expectSyntheticFrame(channel, section, 2, 3, frame, 33, 7);
    }
    EXPECT_FALSE(channel.LoadFrame(2, 4));
    EXPECT_FALSE(channel.LoadFrame(2, uint64_t{1} << 40));
    EXPECT_FALSE(channel.LoadFrame(1, 0));  // movie 1 was never mapped

    // The info block carries every frame's time.
    bool ok = false;
    const std::vector<uint8_t> bytes = fileData(channel, 2, ok);
    ASSERT_TRUE(ok);
    file::SInfoBlock block;
    ASSERT_TRUE(file::ParseInfoBlock(bytes.data(), bytes.size(), block));
    EXPECT_EQ(block.width, 33u);
    ASSERT_EQ(block.frameCount(), 4u);
    for (uint64_t f = 0; f < 4; ++f) {
        EXPECT_EQ(block.frameTimes[f], sim::syntheticFrameTime(3, f));
    }
    EXPECT_FALSE(fileData(channel, 7, ok).size() > 0 || ok);

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
    quitSim(sim);
}

TEST_F(VemsimTest, ChangesRaiseEventsOnEveryQueue) {
    ASSERT_TRUE(startSim({"--movies", "1x16x16x2"}));
    ServiceChannel requests, eventsA, eventsB;
    ASSERT_TRUE(connect(requests));
    ASSERT_TRUE(connect(eventsA));
    ASSERT_TRUE(connect(eventsB));
    uint32_t queueA = 0, queueB = 0;
    ASSERT_TRUE(eventsA.CreateEventQueue(queueA));
    ASSERT_TRUE(eventsB.CreateEventQueue(queueB));
    ASSERT_NE(queueA, queueB);

    // A wait already blocked is woken by the change.
    SVemEvent eventA = {};
    std::atomic<bool> waited{false};
    const uint64_t before = requestsServed();
    std::thread waiter([&] { waited = eventsA.WaitEvent(queueA, eventA); });
    while (requestsServed() < before + 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(ctl("add 8 8 3 late").rfind("ok index=1", 0), 0u);
    waiter.join();
    ASSERT_TRUE(waited);
    EXPECT_EQ(eventA.type, 1u);
    EXPECT_EQ(eventA.drive, 0u);
    // The other queue kept its event for when it asks.
    SVemEvent eventB = {};
    ASSERT_TRUE(eventsB.WaitEvent(queueB, eventB));
    EXPECT_EQ(eventB.type, 1u);

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
    ASSERT_TRUE(eventsA.WaitEvent(queueA, eventA));
    EXPECT_EQ(eventA.type, 1u);
    ASSERT_TRUE(eventsA.WaitEvent(queueA, eventA));
    EXPECT_EQ(eventA.type, 7u);

    // Removal through the service is a change as well.
    ASSERT_TRUE(requests.RemoveMovie(0));
    ASSERT_TRUE(eventsA.WaitEvent(queueA, eventA));
    EXPECT_EQ(eventA.type, 1u);
    EXPECT_TRUE(requests.DestroyEventQueue(queueA));
    EXPECT_TRUE(requests.DestroyEventQueue(queueB));
    quitSim(sim);
}

// Shut-down of a client: the queue is destroyed on the request connection while the event
// connection is blocked in WaitEvent, which must then end with type 0.
TEST_F(VemsimTest, DestroyingAQueueEndsAPendingWait) {
    ASSERT_TRUE(startSim({"--movies", "1x4x4x1"}));
    ServiceChannel requests, events;
    ASSERT_TRUE(connect(requests));
    ASSERT_TRUE(connect(events));
    uint32_t queue = 0;
    ASSERT_TRUE(events.CreateEventQueue(queue));
    SVemEvent event = {99, 99};
    std::atomic<bool> waited{false};
    const uint64_t before = requestsServed();
    std::thread waiter([&] { waited = events.WaitEvent(queue, event); });
    while (requestsServed() < before + 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(requests.DestroyEventQueue(queue));
    waiter.join();
    ASSERT_TRUE(waited);
    EXPECT_EQ(event.type, 0u);
    // The queue is gone: waiting on it again is an error, not a hang.
    EXPECT_FALSE(events.WaitEvent(queue, event));
    quitSim(sim);
}

TEST_F(VemsimTest, ServesTwoClientsAtOnce) {
    ASSERT_TRUE(startSim({"--movie", "40x30x12:a", "--movie", "24x24x12:b"}));
    auto client = [&](uint32_t fileId, uint32_t w, uint32_t h, int& failures) {
        ServiceChannel channel;
        if (!connect(channel)) {
            ++failures;
            return;
        }
        CString mapping;
        SharedSection section;
        if (!channel.GetFileMapping(fileId, mapping) || !section.open(mapping.c_str())) {
            ++failures;
            return;
        }
        std::vector<uint8_t> expected(w * h * 2);
        for (int round = 0; round < 40; ++round) {
            const uint64_t frame = (round * 5 + fileId) % 12;
            sim::renderSyntheticFrame(fileId + 1, frame, w, h, expected.data());
            if (!channel.LoadFrame(fileId, frame) ||
                std::memcmp(section.data(), expected.data(), expected.size()) != 0) {
                ++failures;
            }
        }
        channel.CloseFile(fileId);
    };
    int failuresA = 0, failuresB = 0;
    std::thread a([&] { client(0, 40, 30, failuresA); });
    std::thread b([&] { client(1, 24, 24, failuresB); });
    a.join();
    b.join();
    EXPECT_EQ(failuresA, 0);
    EXPECT_EQ(failuresB, 0);
    EXPECT_NE(ctl("stats").find("frames=80"), std::string::npos) << ctl("stats");
    quitSim(sim);
}

// Each fault, armed on request, makes exactly the call it hits fail (or, for delay, wait), and
// the client never hangs. Whether the channel survives depends on whether the reply could
// still be read whole.
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
        if (c.stillConnected) {
            EXPECT_TRUE(c.call(channel)) << "the fault was for one request only";
        } else {
            EXPECT_FALSE(c.call(channel));
        }
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

    EXPECT_NE(ctl("stats").find("faults=0"), std::string::npos);
    quitSim(sim);
}

// A service that dies makes the calls in flight, and every later one, fail at once.
TEST_F(VemsimTest, AbruptExitFailsCallsInFlight) {
    ASSERT_TRUE(startSim({"--movies", "1x8x8x4"}));
    ServiceChannel requests, events;
    ASSERT_TRUE(connect(requests));
    ASSERT_TRUE(connect(events));
    uint32_t queue = 0;
    ASSERT_TRUE(events.CreateEventQueue(queue));
    std::atomic<bool> waited{true};
    SVemEvent event = {};
    const uint64_t before = requestsServed();
    std::thread waiter([&] { waited = events.WaitEvent(queue, event); });
    while (requestsServed() < before + 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(ctl("fault exit ord=6"), "ok");
    CString mapping;
    ASSERT_TRUE(requests.GetFileMapping(0, mapping));
    EXPECT_FALSE(requests.LoadFrame(0, 0));
    waiter.join();
    EXPECT_FALSE(waited);
    int code = -1;
    ASSERT_TRUE(sim.wait(kExitTimeoutMs, code));
    EXPECT_EQ(code, 3);
    uint32_t count = 0;
    EXPECT_FALSE(requests.GetMovieCount(count));
    ServiceChannel late;
    EXPECT_FALSE(late.CheckVersion());
}

// Requests that are not what the protocol says get an "error" reply and the connection goes
// on; bytes that are no MessagePack value end the connection.
TEST_F(VemsimTest, AnswersMalformedRequestsWithErrors) {
    ASSERT_TRUE(startSim({"--movies", "1x8x8x4"}));
    LocalSocket socket;
    ASSERT_TRUE(socket.connect("zelvemsvc"));
    MsgWriter writer(&socket);
    MsgReader reader(&socket);
    auto exec = [](uint64_t ord) {
        MsgObject request(msgMap, 2);
        request.insert("act", MsgObject("exec"));
        request.insert("ord", MsgObject(ord));
        return request;
    };
    auto withParams = [](MsgObject request, const char* key, MsgObject value) {
        if (!request.hasKey("params")) {
            request.insert("params", MsgObject(msgMap, 2));
        }
        request.get("params").insert(key, std::move(value));
        return request;
    };
    struct Case {
        const char* what;
        MsgObject request;
        const char* error;  // null: success expected
    };
    std::vector<Case> cases;
    MsgObject array(msgArray, 1);
    array.append(MsgObject(uint64_t{1}));
    cases.push_back({"array", array, "Request is not a map."});
    MsgObject noAct(msgMap, 1);
    noAct.insert("ord", MsgObject(uint64_t{0}));
    cases.push_back({"no act", noAct, "Missing \"act\"."});
    MsgObject bogus(msgMap, 1);
    bogus.insert("act", MsgObject("bogus"));
    cases.push_back({"unknown act", bogus, "Unknown act \"bogus\"."});
    MsgObject noOrd(msgMap, 1);
    noOrd.insert("act", MsgObject("exec"));
    cases.push_back({"no ord", noOrd, "Missing \"ord\"."});
    cases.push_back({"ord 13", exec(13), "Unknown operation 13."});
    cases.push_back({"no params", exec(2), "Missing \"params\"."});
    cases.push_back({"string index", withParams(exec(2), "index", MsgObject("0")),
                     "Missing parameter \"index\"."});
    cases.push_back({"wrong key", withParams(exec(2), "fileId", MsgObject(uint64_t{0})),
                     "Missing parameter \"index\"."});
    cases.push_back(
        {"index 99", withParams(exec(2), "index", MsgObject(uint64_t{99})), "No movie 99."});
    cases.push_back({"fileId 2^32", withParams(exec(4), "fileId", MsgObject(uint64_t{1} << 32)),
                     "Parameter \"fileId\" out of range."});
    cases.push_back({"frame without mapping",
                     withParams(withParams(exec(6), "fileId", MsgObject(uint64_t{0})),
                                "frameNumber", MsgObject(uint64_t{0})),
                     "File not open."});
    cases.push_back({"wait on no queue", withParams(exec(12), "queueId", MsgObject(uint64_t{5})),
                     "No such event queue."});
    cases.push_back({"extra params ignored", withParams(exec(0), "x", MsgObject()), nullptr});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writer.writeObject(c.request);
        MsgObject reply = reader.readObject();
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
    ASSERT_EQ(socket.write(&garbage, 1), 1u);
    uint8_t byte = 0;
    EXPECT_EQ(socket.read(&byte, 1), 0u) << "the connection should have been closed";
    // Other clients are not affected.
    ServiceChannel channel;
    ASSERT_TRUE(connect(channel));
    EXPECT_TRUE(channel.IsDriveDetected());
    quitSim(sim);
}

// The same synthetic movie three ways: written as an emulator folder and read by the raw imager
// file, served synthetic, and served from that folder. Bytes and times must agree everywhere.
TEST_F(VemsimTest, EmulatorFolderHoldsTheServedMovie) {
    const std::string folder = tempDir + "/emulator";
    const std::vector<std::string> movies = {"--movie", "40x30x6:alpha", "--movie", "17x5x3:beta"};
    {
        ChildProcess writer;
        std::vector<std::string> args = {"--write-folder", folder};
        args.insert(args.end(), movies.begin(), movies.end());
        ASSERT_TRUE(writer.start(zel::test::siblingProgram("vemsim"), args, env));
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
    std::vector<std::vector<uint8_t>> frames(6, std::vector<uint8_t>(40 * 30 * 2));
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
    std::vector<uint8_t> infoBytes(static_cast<size_t>(infoFile->GetSize()));
    ASSERT_EQ(infoFile->Read(infoBytes.data(), static_cast<uint32_t>(infoBytes.size())),
              infoBytes.size());

    const std::vector<std::vector<std::string>> servings = {movies, {"--folder", folder}};
    for (const auto& args : servings) {
        SCOPED_TRACE(args[0]);
        ChildProcess server;
        ASSERT_TRUE(startSim(server, args));
        ServiceChannel channel;
        ASSERT_TRUE(connect(channel));
        SVemMovieInfo info = {};
        ASSERT_TRUE(channel.GetMovieInfo(0, info));
        EXPECT_STREQ(info.name, "alpha");
        EXPECT_EQ(info.number, 1u);
        EXPECT_EQ(info.startTime, EncodeIrigTime(DecodeIrigTime(info.startTime)));
        ASSERT_TRUE(channel.GetMovieInfo(1, info));
        EXPECT_STREQ(info.name, "beta");
        EXPECT_EQ(info.numFrames, 3u);
        bool ok = false;
        EXPECT_EQ(fileData(channel, 0, ok), infoBytes);
        EXPECT_TRUE(ok);
        CString mapping;
        ASSERT_TRUE(channel.GetFileMapping(0, mapping));
        SharedSection section;
        ASSERT_TRUE(section.open(mapping.c_str()));
        for (uint32_t f = 0; f < 6; ++f) {
            ASSERT_TRUE(channel.LoadFrame(0, f));
            EXPECT_EQ(std::memcmp(section.data(), frames[f].data(), frames[f].size()), 0)
                << "frame " << f;
        }
        quitSim(server);
    }
}

// Ctrl+C (POSIX: SIGTERM) or "quit" stops the service cleanly and takes its pipes away.
TEST_F(VemsimTest, StopsCleanlyAndReleasesThePipe) {
    ASSERT_TRUE(startSim({"--movies", "1x4x4x1"}));
    ServiceChannel channel;
    ASSERT_TRUE(connect(channel));
    uint32_t queue = 0;
    ASSERT_TRUE(channel.CreateEventQueue(queue));
    if (!sim.interrupt()) {
        EXPECT_EQ(ctl("quit"), "ok");
    }
    int code = -1;
    ASSERT_TRUE(sim.wait(kExitTimeoutMs, code));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(sim.waitForLine("vemsim: stopped", 1000));
    EXPECT_TRUE(listPipes("zelvemsvc").empty());
    ServiceChannel late;
    EXPECT_FALSE(late.CheckVersion());
    // The pipe name is free again for the next service.
    ChildProcess next;
    ASSERT_TRUE(startSim(next, {"--detached"}));
    ServiceChannel again;
    ASSERT_TRUE(connect(again));
    EXPECT_FALSE(again.IsDriveDetected());
    quitSim(next);
}

TEST_F(VemsimTest, ASecondServiceCannotTakeThePipe) {
    ASSERT_TRUE(startSim({"--movies", "1x4x4x1"}));
    ChildProcess second;
    ASSERT_TRUE(second.start(zel::test::siblingProgram("vemsim"), {}, env));
    int code = -1;
    ASSERT_TRUE(second.wait(kExitTimeoutMs, code));
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(second.waitForLine("cannot serve the pipe zelvemsvc", 1000));
    // The first one is undisturbed.
    ServiceChannel channel;
    ASSERT_TRUE(connect(channel));
    EXPECT_TRUE(channel.IsDriveDetected());
    quitSim(sim);
}
