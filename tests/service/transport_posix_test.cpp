// POSIX-only tests of the transport: the pipe directory, socket files, stale sockets, modes of
// socket files and shared-memory objects.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "service/local_server.h"
#include "service/local_socket.h"
#include "service/pipe_path.h"
#include "service/shared_section.h"
#include "tests/service/transport_test_support.h"

namespace zel::vem {
namespace {

mode_t modeOf(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

bool isSocket(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// Leaves a socket file behind that nobody listens on, as a crashed server does.
void makeStaleSocket(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    close(fd);
    ASSERT_TRUE(isSocket(path));
}

class TransportPosixTest : public ::testing::Test {
  protected:
    test::PipeTestScope scope;
};

TEST_F(TransportPosixTest, PipeDirectoryComesFromTheEnvironment) {
    EXPECT_EQ(pipeDirectory(), scope.directory());
    EXPECT_EQ(pipePath("svc"), scope.directory() + "/svc");
    setenv("ZELVEM_PIPE_DIR", "", 1);
    EXPECT_EQ(pipeDirectory(), "/tmp/zelvem");
    unsetenv("ZELVEM_PIPE_DIR");
    EXPECT_EQ(pipeDirectory(), "/tmp/zelvem");
    EXPECT_EQ(pipePath("svc"), "/tmp/zelvem/svc");
}

TEST_F(TransportPosixTest, NamesThatLeaveTheDirectoryAreRefused) {
    const std::string tooLong(200, 'n');
    for (const std::string& name : {std::string(""), std::string("."), std::string(".."),
                                    std::string("a/b"), std::string("../escape"), tooLong}) {
        EXPECT_EQ(pipePath(name.c_str()), "") << name;
        LocalServer server;
        EXPECT_FALSE(server.listen(name.c_str())) << name;
        LocalSocket client;
        EXPECT_FALSE(client.connect(name.c_str())) << name;
    }
    EXPECT_FALSE(isSocket(scope.directory() + "/a/b"));
}

TEST_F(TransportPosixTest, ListenCreatesTheDirectoryAndSetsModes) {
    const std::string dir = scope.directory() + "/nested/pipes";
    setenv("ZELVEM_PIPE_DIR", dir.c_str(), 1);
    LocalServer own, shared;
    ASSERT_TRUE(own.listen("own"));
    ASSERT_TRUE(shared.listen("shared", GlobalAccess));
    EXPECT_EQ(modeOf(dir), 01777u);
    EXPECT_TRUE(isSocket(dir + "/own"));
    EXPECT_EQ(modeOf(dir + "/own"), 0600u);
    EXPECT_EQ(modeOf(dir + "/shared"), 0666u);

    LocalSocket client;
    EXPECT_TRUE(client.connect("shared"));
    // Closing the server takes its socket file away.
    own.close();
    EXPECT_FALSE(isSocket(dir + "/own"));
    setenv("ZELVEM_PIPE_DIR", scope.directory().c_str(), 1);
}

TEST_F(TransportPosixTest, StaleSocketFileIsReplaced) {
    const std::string path = scope.directory() + "/stale";
    makeStaleSocket(path);
    LocalSocket client;
    EXPECT_FALSE(client.connect("stale"));

    LocalServer server;
    ASSERT_TRUE(server.listen("stale"));
    ASSERT_TRUE(client.connect("stale"));
    LocalSocket served = server.accept();
    EXPECT_EQ(client.write("s", 1), 1u);
    char got = 0;
    EXPECT_EQ(served.read(&got, 1), 1u);
    EXPECT_EQ(got, 's');
}

TEST_F(TransportPosixTest, OtherFilesInTheWayAreLeftAlone) {
    const std::string path = scope.directory() + "/plain";
    std::ofstream(path) << "keep me";
    LocalServer server;
    EXPECT_FALSE(server.listen("plain"));
    std::ifstream in(path);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "keep me");
}

TEST_F(TransportPosixTest, ListPipesReadsTheDirectory) {
    setenv("ZELVEM_PIPE_DIR", (scope.directory() + "/missing").c_str(), 1);
    EXPECT_TRUE(listPipes("").empty());
    setenv("ZELVEM_PIPE_DIR", scope.directory().c_str(), 1);
    LocalServer a;
    ASSERT_TRUE(a.listen("svc-a"));
    std::ofstream(scope.directory() + "/svc-file") << "x";
    std::vector<std::string> names = listPipes("svc-");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"svc-a", "svc-file"}));
    EXPECT_EQ(listPipes("").size(), 2u);
}

std::string shmPath(const std::string& name) {
    return "/dev/shm/" + name;
}

TEST_F(TransportPosixTest, SectionObjectsCarryTheAccessMode) {
    const std::string name = scope.uniqueName("zvmode");
    SharedSection own, shared;
    ASSERT_TRUE(own.create(name.c_str(), 10));
    ASSERT_TRUE(shared.create(name.c_str(), 10, GlobalAccess));
    EXPECT_EQ(modeOf(shmPath(name)), 0600u);
    EXPECT_EQ(modeOf(shmPath("Global\\" + name)), 0666u);
    // The creator's close takes the name away; the object is not left behind.
    own.close();
    EXPECT_EQ(modeOf(shmPath(name)), 0u);
    SharedSection reader;
    EXPECT_FALSE(reader.open(name.c_str()));
}

TEST_F(TransportPosixTest, SectionNamesWithSlashesAreRefused) {
    SharedSection section;
    EXPECT_FALSE(section.create("zv/slash", 10));
    EXPECT_FALSE(section.createUnique("zv/slash", 10));
    EXPECT_FALSE(section.open("zv/slash"));
    EXPECT_FALSE(section.open("/zvleading"));
    EXPECT_EQ(section.data(), nullptr);
}

TEST_F(TransportPosixTest, OpenerDoesNotRemoveTheSection) {
    const std::string name = scope.uniqueName("zvkeep");
    SharedSection creator;
    ASSERT_TRUE(creator.create(name.c_str(), 10));
    {
        SharedSection reader;
        ASSERT_TRUE(reader.open(name.c_str()));
    }
    SharedSection again;
    EXPECT_TRUE(again.open(name.c_str()));
}

}  // namespace
}  // namespace zel::vem
