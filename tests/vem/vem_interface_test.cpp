// The drive interface's life: one construction per process, the emulator switch, registration
// under "vem:", path resolution, and start/stop against a service that refuses everything.
#include "vem/vem_interface.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "msgpack/msg_reader.h"
#include "service/local_server.h"
#include "suite/path.h"
#include "suite/uri_handler.h"
#include "tests/channel/scripted_service.h"
#include "tests/support/child_process.h"

namespace zel::vem::test {
namespace {

// Serves "zelvemsvc": passes the version check, answers every other request with an "error" and
// counts the connections it accepted.
class RefusingService {
  public:
    // movieCount < 0: no drive questions answered; otherwise a drive of that many movies, whose
    // information is refused.
    explicit RefusingService(int64_t movieCount = -1) : movieCount(movieCount) {
        // Each test runs in its own process; its pipes live in a folder of its own (POSIX).
        pipeDir = zel::test::makeTempDir("zelvem_pipes_");
        zel::test::setEnv("ZELVEM_PIPE_DIR", pipeDir);
        if (!server.listen("zelvemsvc")) {
            throw std::runtime_error("cannot serve zelvemsvc");
        }
        acceptor = std::thread([this] { acceptLoop(); });
    }
    ~RefusingService() {
        server.close();
        acceptor.join();
        // The library under test may keep its connections for the life of the process.
        for (auto& socket : sockets) {
            socket->shutdown();
        }
        for (auto& t : connections) {
            t.join();
        }
        zel::test::removeTree(pipeDir);
    }
    int accepted() const { return count.load(); }

  private:
    void acceptLoop() {
        for (;;) {
            LocalSocket client;
            try {
                client = server.accept();
            } catch (const std::exception&) {
                return;
            }
            ++count;
            auto shared = std::make_shared<LocalSocket>(std::move(client));
            sockets.push_back(shared);
            connections.emplace_back([this, socket = shared] { serve(*socket); });
        }
    }

    // Answers the version check, and with a movie count given, drive detection and the count;
    // refuses everything else.
    void serve(LocalSocket& socket) {
        MsgReader reader(&socket);
        try {
            for (;;) {
                MsgObject request = reader.readObject();
                uint64_t ord = request.hasKey("ord") ? request.get("ord").asPositive() : 99;
                Bytes reply;
                if (request.hasKey("ver")) {
                    reply = versionReply();
                } else if (movieCount >= 0 && ord == 0) {
                    reply = okReply(
                        1, [](MsgWriter& w) { w.writeString("detected"), w.writeBool(true); });
                } else if (movieCount >= 0 && ord == 1) {
                    reply = okReply(1, [this](MsgWriter& w) {
                        w.writeString("count"), w.writeUInt(static_cast<uint64_t>(movieCount));
                    });
                } else {
                    reply = encode([](MsgWriter& w) {
                        w.writeMapHeader(1);
                        w.writeString("error"), w.writeString("refused");
                    });
                }
                socket.write(reply.data(), reply.size());
            }
        } catch (const std::exception&) {
        }
    }

    int64_t movieCount;
    std::string pipeDir;
    LocalServer server;
    std::thread acceptor;
    // Both written only by the accepting thread and read after it has been joined.
    std::vector<std::thread> connections;
    std::vector<std::shared_ptr<LocalSocket>> sockets;
    std::atomic<int> count{0};
};

TEST(VemInterface, ConcurrentFirstCallsConstructOnce) {
    zel::test::setEnv("ZELVEM_ENABLE_EMULATOR", "");
    RefusingService service;
    std::vector<std::thread> threads;
    std::vector<CVemInterface*> seen(8, nullptr);
    std::atomic<bool> go{false};
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] {
            while (!go) {
                std::this_thread::yield();
            }
            seen[i] = instance();
        });
    }
    go = true;
    for (auto& t : threads) {
        t.join();
    }
    for (CVemInterface* p : seen) {
        EXPECT_EQ(p, seen[0]);
    }
    // One construction: one request channel and one event channel.
    EXPECT_EQ(service.accepted(), 2);
    EXPECT_FALSE(seen[0]->isEmulator());
    EXPECT_FALSE(seen[0]->drivePresent());  // the service refuses the question
}

TEST(VemInterface, EmulatorSwitchZeroMeansEmulatorAndNoPipe) {
    zel::test::setEnv("ZELVEM_ENABLE_EMULATOR", "0");
    RefusingService service;
    CVemInterface* vem = instance();
    EXPECT_TRUE(vem->isEmulator());
    EXPECT_TRUE(vem->drivePresent());
    EXPECT_EQ(service.accepted(), 0);
    // Registered under "vem:" in every mode.
    EXPECT_EQ(CUriHandler::instance()->GetHandler(CStringW(u"vem:///12-run_a")), vem);
    EXPECT_EQ(CUriHandler::instance()->GetHandler(CStringW(u"VEM://x")), vem);
}

TEST(VemInterface, NoServiceStillConstructsAndRegisters) {
    zel::test::setEnv("ZELVEM_ENABLE_EMULATOR", "");
    std::string empty = zel::test::makeTempDir("zelvem_nopipes_");
    zel::test::setEnv("ZELVEM_PIPE_DIR", empty);
    CVemInterface* vem = instance();
    EXPECT_FALSE(vem->isEmulator());
    EXPECT_FALSE(vem->drivePresent());
    EXPECT_EQ(CUriHandler::instance()->GetHandler(CStringW(u"vem:///")), vem);
    EXPECT_EQ(vem->GetDirectoryListing(CStringW(u"vem:///"), CStringW()).entries.size(), 0u);
    zel::test::removeTree(empty);
}

TEST(VemInterface, RecordsWhoseInformationIsRefusedAreNotListed) {
    zel::test::setEnv("ZELVEM_ENABLE_EMULATOR", "");
    RefusingService service(3);
    // A record read half is not the drive's movie: listing it would show a phantom "0-".
    EXPECT_EQ(instance()->GetDirectoryListing(CStringW(u"/"), CStringW()).entries.size(), 0u);
    EXPECT_EQ(instance()->GetInfo(CStringW(u"/0-")).attributes, 0x80000000u);
}

TEST(VemInterface, AnUnbelievableMovieCountLeavesTheCacheEmpty) {
    zel::test::setEnv("ZELVEM_ENABLE_EMULATOR", "");
    RefusingService service(4294967295);
    EXPECT_TRUE(instance()->GetDirectoryListing(CStringW(u"/"), CStringW()).entries.empty());
}

TEST(VemInterface, ShutDownWithARefusedQueueNeedsNoService) {
    zel::test::setEnv("ZELVEM_ENABLE_EMULATOR", "");
    RefusingService service;
    // A second object built and destroyed in the test: the queue was refused, so the event thread
    // has already ended and shut-down joins it without asking the service anything.
    auto* vem = new CVemInterface;
    EXPECT_EQ(service.accepted(), 2);
    delete vem;
}

struct PathCase {
    const char* workingDirectory;
    const char* path;
    const char* full;
};

TEST(VemInterface, FullPathsAndNoFolders) {
    zel::test::setEnv("ZELVEM_ENABLE_EMULATOR", "1");
    CVemInterface* vem = instance();
    EXPECT_TRUE(vem->GetCurrentWorkingDirectory().empty());  // until a host sets one
    const PathCase cases[] = {
        {"/", "vem://12-run_a", "/12-run_a"},
        {"/", "vem:///12-run_a", "/12-run_a"},
        {"/", "/12-run_a", "/12-run_a"},
        {"/", "12-run_a", "/12-run_a"},
        {"/", "vem:///", "/"},
        {"/elsewhere", "vem:///", "/"},
        {"/elsewhere", "vem://12-run_a", "/elsewhere/12-run_a"},
        {"/", "/12-run_a:info", "/12-run_a:info"},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(std::string(c.workingDirectory) + " + " + c.path);
        EXPECT_TRUE(vem->SetCurrentWorkingDirectory(CStringW(c.workingDirectory, -1)));
        EXPECT_EQ(vem->GetFullPath(CStringW(c.path, -1)).ToUtf8().str(), c.full);
    }
    // Capitals keep their prefix; only the last component names the movie.
    vem->SetCurrentWorkingDirectory(CStringW(u"/"));
    CStringW upper = vem->GetFullPath(CStringW(u"VEM://12-run_a"));
    EXPECT_TRUE(upper.find(CStringW(u"VEM:")) != CStringW::npos);
    EXPECT_EQ(path::GetFilename(upper).ToUtf8().str(), "12-run_a");

    // Folders can be neither made nor removed.
    for (bool recursive : {false, true}) {
        EXPECT_FALSE(vem->MakeDir(CStringW(u"vem://x"), recursive));
        EXPECT_FALSE(vem->RemoveDir(CStringW(u"vem://12-run_a"), recursive));
        EXPECT_FALSE(vem->RemoveDir(CStringW(u"vem:///"), recursive));
    }
}

TEST(VemInterface, EmulatorFolderFollowsTheUsersDataFolder) {
    zel::test::setEnv("ZELVEM_ENABLE_EMULATOR", "1");
#if defined(_WIN32)
    std::string folder = instance()->GetEmulatorFolder().ToUtf8().str();
    EXPECT_NE(folder.find("Quen Systems\\VEM"), std::string::npos) << folder;
    EXPECT_EQ(folder.rfind("Quen Systems\\VEM"), folder.size() - 16) << folder;
#else
    zel::test::setEnv("XDG_DATA_HOME", "/srv/data");
    EXPECT_EQ(instance()->GetEmulatorFolder().ToUtf8().str(), "/srv/data/Quen Systems/VEM");
    zel::test::setEnv("XDG_DATA_HOME", "relative/data");  // not absolute: ignored
    zel::test::setEnv("HOME", "/home/user");
    EXPECT_EQ(instance()->GetEmulatorFolder().ToUtf8().str(),
              "/home/user/.local/share/Quen Systems/VEM");
#endif
}

}  // namespace
}  // namespace zel::vem::test
