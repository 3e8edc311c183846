// Tests of the pipe transport on every platform: LocalSocket against a LocalServer in-process.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "service/local_server.h"
#include "service/local_socket.h"
#include "tests/service/transport_test_support.h"

namespace zel::vem {
namespace {

using namespace std::chrono_literals;

std::vector<unsigned char> pattern(size_t size, unsigned seed) {
    std::vector<unsigned char> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 31 + seed) ^ (i >> 9));
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

class LocalSocketTest : public ::testing::Test {
  protected:
    // A server listening on a fresh name, and a client connected to it.
    void connectPair(LocalSocket& client, LocalSocket& served) {
        name = scope.uniqueName("zvsock");
        ASSERT_TRUE(server.listen(name.c_str()));
        ASSERT_TRUE(client.connect(name.c_str()));
        served = server.accept();
        ASSERT_TRUE(served.isOpen());
    }

    test::PipeTestScope scope;
    LocalServer server;
    std::string name;
};

TEST_F(LocalSocketTest, ConnectToMissingPipeFailsAtOnce) {
    LocalSocket client;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.connect(scope.uniqueName("zvmissing").c_str()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_FALSE(client.isOpen());
    char byte = 0;
    EXPECT_EQ(client.read(&byte, 1), 0u);
    EXPECT_EQ(client.write(&byte, 1), 0u);
}

TEST_F(LocalSocketTest, BytesTravelBothWaysInOrder) {
    LocalSocket client, served;
    connectPair(client, served);
    // Written in pieces of different sizes, read back in other pieces: no framing, no loss.
    const std::vector<unsigned char> up = pattern(1000, 1);
    auto sent = std::async(std::launch::async, [&] {
        return client.write(up.data(), 1) + client.write(up.data() + 1, 599) +
               client.write(up.data() + 600, 400);
    });
    std::vector<unsigned char> got(1000);
    EXPECT_EQ(served.read(got.data(), 300), 300u);
    EXPECT_EQ(served.read(got.data() + 300, 700), 700u);
    EXPECT_EQ(sent.get(), 1000u);
    EXPECT_EQ(got, up);

    const std::string down(reinterpret_cast<const char*>(pattern(777, 2).data()), 777);
    EXPECT_EQ(transfer(served, client, down), down);
}

TEST_F(LocalSocketTest, LargeTransfersBothWays) {
    LocalSocket client, served;
    connectPair(client, served);
    constexpr size_t kSize = 24u << 20;
    // Far more than any pipe buffer holds: the loops must keep going until everything moved.
    for (int direction = 0; direction < 2; ++direction) {
        LocalSocket& from = direction == 0 ? client : served;
        LocalSocket& to = direction == 0 ? served : client;
        const std::vector<unsigned char> data = pattern(kSize, 3 + direction);
        auto sent = std::async(std::launch::async, [&] { return from.write(data.data(), kSize); });
        std::vector<unsigned char> got(kSize);
        EXPECT_EQ(to.read(got.data(), kSize), kSize);
        EXPECT_EQ(sent.get(), kSize);
        EXPECT_TRUE(got == data) << "direction " << direction;
    }
}

TEST_F(LocalSocketTest, ReadReturnsThePartSentBeforeThePeerClosed) {
    LocalSocket client, served;
    connectPair(client, served);
    auto sent = std::async(std::launch::async, [&] {
        const size_t count = served.write("0123456789", 10);
        served.close();
        return count;
    });
    char buffer[100] = {};
    EXPECT_EQ(client.read(buffer, sizeof(buffer)), 10u);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    EXPECT_EQ(sent.get(), 10u);
    EXPECT_EQ(client.read(buffer, 1), 0u);
}

TEST_F(LocalSocketTest, WriteToAClosedPeerGivesAShortCount) {
    LocalSocket client, served;
    connectPair(client, served);
    served.close();
    // On POSIX this would end the process by SIGPIPE if the socket let the signal through.
    const std::vector<unsigned char> data = pattern(4u << 20, 5);
    EXPECT_LT(client.write(data.data(), data.size()), data.size());
}

TEST_F(LocalSocketTest, ZeroByteTransfersReturnZeroAndLeaveTheStreamAlone) {
    LocalSocket client, served;
    connectPair(client, served);
    EXPECT_EQ(client.write(nullptr, 0), 0u);
    EXPECT_EQ(served.read(nullptr, 0), 0u);  // must not block although nothing was sent
    EXPECT_EQ(transfer(client, served, "x"), "x");
    LocalSocket closed;
    EXPECT_EQ(closed.read(nullptr, 0), 0u);
    EXPECT_EQ(closed.write(nullptr, 0), 0u);
}

TEST_F(LocalSocketTest, CloseTwiceIsHarmless) {
    LocalSocket client, served;
    connectPair(client, served);
    client.close();
    client.close();
    EXPECT_FALSE(client.isOpen());
    char byte;
    EXPECT_EQ(served.read(&byte, 1), 0u);  // the peer saw the end
    server.close();
    server.close();
}

TEST_F(LocalSocketTest, MovesHandOverTheConnection) {
    LocalSocket first, firstServed, second, secondServed;
    connectPair(first, firstServed);
    ASSERT_TRUE(second.connect(name.c_str()));
    secondServed = server.accept();

    LocalSocket moved(std::move(first));
    EXPECT_FALSE(first.isOpen());
    EXPECT_EQ(transfer(moved, firstServed, "m"), "m");

    // Assignment closes what the target held: the first connection ends.
    moved = std::move(second);
    EXPECT_FALSE(second.isOpen());
    char byte;
    EXPECT_EQ(firstServed.read(&byte, 1), 0u);
    EXPECT_EQ(transfer(moved, secondServed, "n"), "n");

    LocalSocket& alias = moved;
    moved = std::move(alias);  // self-assignment keeps the connection
    EXPECT_TRUE(moved.isOpen());
    EXPECT_EQ(transfer(moved, secondServed, "o"), "o");
}

TEST_F(LocalSocketTest, ConnectClosesTheConnectionHeldBefore) {
    LocalSocket client, served;
    connectPair(client, served);
    ASSERT_TRUE(client.connect(name.c_str()));
    LocalSocket second = server.accept();
    char byte;
    EXPECT_EQ(served.read(&byte, 1), 0u);
    EXPECT_EQ(transfer(client, second, "z"), "z");
}

TEST_F(LocalSocketTest, ShutdownBreaksAReadBlockedInAnotherThread) {
    LocalSocket client, served;
    connectPair(client, served);
    auto blocked = std::async(std::launch::async, [&] {
        char byte;
        return client.read(&byte, 1);
    });
    EXPECT_EQ(blocked.wait_for(200ms), std::future_status::timeout);
    client.shutdown();
    ASSERT_EQ(blocked.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(blocked.get(), 0u);
    // Later transfers fail; the handle stays until close.
    EXPECT_TRUE(client.isOpen());
    EXPECT_EQ(client.write("x", 1), 0u);
    client.close();
    EXPECT_FALSE(client.isOpen());
}

TEST_F(LocalSocketTest, AcceptServesClientsOneAfterAnother) {
    name = scope.uniqueName("zvseq");
    ASSERT_TRUE(server.listen(name.c_str()));
    for (char tag = 'a'; tag < 'a' + 4; ++tag) {
        LocalSocket client;
        ASSERT_TRUE(client.connect(name.c_str())) << tag;
        LocalSocket served = server.accept();
        EXPECT_EQ(transfer(client, served, std::string(1, tag)), std::string(1, tag));
    }
}

TEST_F(LocalSocketTest, AcceptedSocketsOutliveTheServer) {
    LocalSocket client, served;
    connectPair(client, served);
    server.close();
    EXPECT_EQ(acceptError(server), "Pipe not open.");
    EXPECT_EQ(transfer(served, client, "still"), "still");
}

TEST_F(LocalSocketTest, AcceptWithoutListenThrowsPipeNotOpen) {
    EXPECT_EQ(acceptError(server), "Pipe not open.");
}

TEST_F(LocalSocketTest, CloseFromAnotherThreadAbortsAWaitingAccept) {
    name = scope.uniqueName("zvabort");
    ASSERT_TRUE(server.listen(name.c_str()));
    auto waiting = std::async(std::launch::async, [&] { return acceptError(server); });
    EXPECT_EQ(waiting.wait_for(200ms), std::future_status::timeout);
    server.close();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), "ConnectNamedPipe aborted.");
    // Closed for good: no listening again, and the name is free for others.
    EXPECT_FALSE(server.listen(name.c_str()));
    EXPECT_EQ(acceptError(server), "Pipe not open.");
    LocalSocket client;
    EXPECT_FALSE(client.connect(name.c_str()));
    LocalServer successor;
    EXPECT_TRUE(successor.listen(name.c_str()));
}

TEST_F(LocalSocketTest, ListenFailsWhileALiveServerHoldsTheName) {
    name = scope.uniqueName("zvtwice");
    ASSERT_TRUE(server.listen(name.c_str()));
    LocalServer second;
    EXPECT_FALSE(second.listen(name.c_str()));
    EXPECT_FALSE(second.listen(name.c_str(), GlobalAccess));
    EXPECT_FALSE(server.listen(name.c_str()));  // already listening
    // The first server is not disturbed by the attempts.
    LocalSocket client;
    ASSERT_TRUE(client.connect(name.c_str()));
    LocalSocket served = server.accept();
    EXPECT_EQ(transfer(client, served, "k"), "k");
}

TEST_F(LocalSocketTest, GlobalAccessServerIsReachable) {
    ASSERT_NE(SharedSecurity::attributes(), nullptr);
    name = scope.uniqueName("zvglobal");
    ASSERT_TRUE(server.listen(name.c_str(), GlobalAccess));
    LocalSocket client;
    ASSERT_TRUE(client.connect(name.c_str()));
    LocalSocket served = server.accept();
    EXPECT_EQ(transfer(served, client, "g"), "g");
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
