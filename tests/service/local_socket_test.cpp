// Tests of the pipe transport on every platform: LocalSocket against a LocalServer in-process.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "service/local_server.h"
#include "service/local_socket.h"
#include "tests/service/transport_test_support.h"

namespace zel::vem {
namespace {

using namespace std::chrono_literals;

std::string pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 31 + seed) ^ (i >> 9));
    }
    return bytes;
}

// The message accept() threw, or "" when it returned a socket.
std::string acceptError(LocalServer& server) {
    try {
        server.accept();
        return "";
    } catch (const std::runtime_error& e) {
        return e.what();
    }
}

// Sends `text` from one end while the other end reads it, and returns what arrived. Both at once:
// a Windows pipe created without buffer quota completes a write only when it has been read.
std::string transfer(LocalSocket& from, LocalSocket& to, const std::string& text) {
    auto sent =
        std::async(std::launch::async, [&] { return from.write(text.data(), text.size()); });
    std::string got(text.size(), '\0');
    got.resize(to.read(&got[0], got.size()));
    EXPECT_EQ(sent.get(), text.size());
    return got;
}

// Polls `done` for up to five seconds: what the peer did reaches this end a moment later.
template <class F>
bool eventuallyTrue(F done) {
    for (auto end = std::chrono::steady_clock::now() + 5s; !done();) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// True when `socket` reads the end of the stream: its peer is gone.
bool atEnd(LocalSocket& socket) {
    char byte;
    return socket.read(&byte, 1) == 0;
}

class LocalSocketTest : public ::testing::Test {
  protected:
    // `server` listening on a fresh name, `client` connected to it and `served` its other end.
    void connectPair(unsigned flags = 0) {
        name = scope.uniqueName("zvsock");
        ASSERT_TRUE(server.listen(name.c_str(), flags));
        ASSERT_TRUE(client.connect(name.c_str()));
        served = server.accept();
        ASSERT_TRUE(served.isOpen());
    }

    test::PipeTestScope scope;
    LocalServer server;
    LocalSocket client, served;
    std::string name;
};

TEST_F(LocalSocketTest, ConnectToMissingPipeFailsAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.connect(scope.uniqueName("zvmissing").c_str()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_FALSE(client.isOpen());
    char byte = 0;
    EXPECT_EQ(client.read(&byte, 1), 0u);
    EXPECT_EQ(client.write(&byte, 1), 0u);
}

TEST_F(LocalSocketTest, BytesTravelBothWaysWithoutFramingOrLoss) {
    connectPair();
    // Written in pieces of different sizes, read back in other pieces.
    const std::string up = pattern(1000, 1);
    auto sent = std::async(std::launch::async, [&] {
        return client.write(up.data(), 1) + client.write(up.data() + 1, 599) +
               client.write(up.data() + 600, 400);
    });
    std::string got(1000, '\0');
    EXPECT_EQ(served.read(&got[0], 300), 300u);
    EXPECT_EQ(served.read(&got[300], 700), 700u);
    EXPECT_EQ(sent.get(), 1000u);
    EXPECT_EQ(got, up);
    // A count of 0 must not block although nothing was sent, nor disturb the stream.
    EXPECT_EQ(client.write(nullptr, 0), 0u);
    EXPECT_EQ(served.read(nullptr, 0), 0u);
    // Far more than any pipe buffer holds: the loops must keep going until everything moved.
    const std::string big = pattern(24u << 20, 3);
    EXPECT_TRUE(transfer(client, served, big) == big);
    EXPECT_TRUE(transfer(served, client, big) == big);
}

TEST_F(LocalSocketTest, PeerCloseEndsTheStreamAfterWhatItSent) {
    connectPair();
    auto sent = std::async(std::launch::async, [&] {
        const size_t count = served.write("0123456789", 10);
        served.close();
        served.close();  // harmless when repeated
        return count;
    });
    char buffer[100] = {};
    EXPECT_EQ(client.read(buffer, sizeof(buffer)), 10u);  // the part sent, then the end
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    EXPECT_EQ(sent.get(), 10u);
    EXPECT_TRUE(atEnd(client));
    // On POSIX this would end the process by SIGPIPE if the socket let the signal through.
    const std::string data = pattern(4u << 20, 5);
    EXPECT_LT(client.write(data.data(), data.size()), data.size());
}

TEST_F(LocalSocketTest, ReplacingAConnectionClosesTheOldOne) {
    connectPair();
    LocalSocket second, secondServed;
    ASSERT_TRUE(second.connect(name.c_str()));
    secondServed = server.accept();

    LocalSocket moved(std::move(client));
    EXPECT_FALSE(client.isOpen());
    EXPECT_EQ(transfer(moved, served, "m"), "m");
    moved = std::move(second);  // assignment closes what the target held
    EXPECT_FALSE(second.isOpen());
    EXPECT_TRUE(atEnd(served));
    LocalSocket& alias = moved;
    moved = std::move(alias);  // self-assignment keeps the connection
    EXPECT_EQ(transfer(moved, secondServed, "o"), "o");

    ASSERT_TRUE(moved.connect(name.c_str()));  // so does connecting again
    LocalSocket third = server.accept();
    EXPECT_TRUE(atEnd(secondServed));
    EXPECT_EQ(transfer(moved, third, "z"), "z");
}

TEST_F(LocalSocketTest, ShutdownBreaksAReadBlockedInAnotherThread) {
    connectPair();
    auto blocked = std::async(std::launch::async, [&] { return atEnd(client); });
    EXPECT_EQ(blocked.wait_for(200ms), std::future_status::timeout);
    client.shutdown();
    ASSERT_EQ(blocked.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(blocked.get());
    // Later transfers fail; the handle stays until close.
    EXPECT_TRUE(client.isOpen());
    EXPECT_EQ(client.write("x", 1), 0u);
}

TEST_F(LocalSocketTest, ADeadlineEndsTransfersThePeerDoesNotServe) {
    connectPair();
    // A read the peer never answers, and a write far larger than any pipe buffer that the peer
    // never reads: both give up at the deadline with what they moved.
    const struct {
        const char* what;
        std::function<size_t()> transfer;
        size_t count;
    } cases[] = {
        {"read",
         [&] {
             char b[16];
             return client.read(b, sizeof b);
         },
         16},
        {"write",
         [&] {
             std::string big(64 << 20, 'x');
             return client.write(big.data(), big.size());
         },
         size_t{64} << 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto start = std::chrono::steady_clock::now();
        client.setDeadline(start + 300ms);
        EXPECT_LT(c.transfer(), c.count);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, 290ms);
        EXPECT_LT(took, 5s);
    }
    // Without the deadline, a transfer waits for the peer again, longer than any limit it had.
    client.clearDeadline();
    std::thread late([&] {
        std::this_thread::sleep_for(500ms);
        served.write("late", 4);
    });
    char got[4] = {};
    EXPECT_EQ(client.read(got, sizeof got), 4u);
    late.join();
    EXPECT_EQ(std::string(got, 4), "late");
}

TEST_F(LocalSocketTest, PeerGoneTellsADeadConnectionFromAnIdleOne) {
    connectPair();
    EXPECT_FALSE(client.peerGone());  // idle
    // Asynchronous: a Windows write completes only once the peer has read it.
    auto sent = std::async(std::launch::async, [&] { return served.write("x", 1); });
    EXPECT_TRUE(eventuallyTrue([&] { return client.peerGone(); }));  // bytes nobody asked for
    char byte;
    ASSERT_EQ(client.read(&byte, 1), 1u);
    ASSERT_EQ(sent.get(), 1u);
    EXPECT_FALSE(client.peerGone());
    served.close();
    EXPECT_TRUE(eventuallyTrue([&] { return client.peerGone(); }));  // the peer closed
}

TEST_F(LocalSocketTest, OneServerServesClientsInTurnAndKeepsItsName) {
    ASSERT_NE(SharedSecurity::attributes(), nullptr);  // else Windows falls back to defaults
    connectPair(GlobalAccess);
    LocalServer rival;
    EXPECT_FALSE(rival.listen(name.c_str()));
    EXPECT_FALSE(rival.listen(name.c_str(), GlobalAccess));
    EXPECT_FALSE(server.listen(name.c_str()));  // already listening
    for (const std::string tag : {"a", "b", "c"}) {
        LocalSocket next;
        ASSERT_TRUE(next.connect(name.c_str())) << tag;
        LocalSocket nextServed = server.accept();
        EXPECT_EQ(transfer(next, nextServed, tag), tag);
    }
    EXPECT_EQ(transfer(served, client, "g"), "g");
}

TEST_F(LocalSocketTest, AcceptFailsWithoutListeningAndCloseAbortsAWaitingAccept) {
    EXPECT_EQ(acceptError(server), "Pipe not open.");
    connectPair();
    auto waiting = std::async(std::launch::async, [&] { return acceptError(server); });
    EXPECT_EQ(waiting.wait_for(200ms), std::future_status::timeout);
    server.close();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), "ConnectNamedPipe aborted.");
    EXPECT_EQ(transfer(served, client, "still"), "still");  // accepted sockets outlive it
    // Closed for good: no listening again, and the name is free for others.
    EXPECT_FALSE(server.listen(name.c_str()));
    EXPECT_EQ(acceptError(server), "Pipe not open.");
    LocalSocket late;
    EXPECT_FALSE(late.connect(name.c_str()));
    served.close();  // on Windows the name stays taken while any instance lives
    client.close();
    LocalServer successor;
    EXPECT_TRUE(successor.listen(name.c_str()));
}

TEST_F(LocalSocketTest, ListPipesFindsNamesByPrefix) {
    const std::string prefix = scope.uniqueName("zvlist") + "_";
    LocalServer a, b, other;
    ASSERT_TRUE(a.listen((prefix + "alpha").c_str()));
    ASSERT_TRUE(b.listen((prefix + "beta").c_str()));
    ASSERT_TRUE(other.listen((scope.uniqueName("zvother")).c_str()));

    EXPECT_EQ(listPipes((prefix + "alphaX").c_str()), std::vector<std::string>{});
    std::vector<std::string> names = listPipes(prefix.c_str());
    if (names.empty() && test::runningUnderWine()) {
        GTEST_SKIP() << "Wine does not enumerate the named-pipe namespace";
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{prefix + "alpha", prefix + "beta"}));
    EXPECT_EQ(listPipes((prefix + "b").c_str()), std::vector<std::string>{prefix + "beta"});
    a.close();
    EXPECT_EQ(listPipes(prefix.c_str()), std::vector<std::string>{prefix + "beta"});
}

}  // namespace
}  // namespace zel::vem
