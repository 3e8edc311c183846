// POSIX-only tests of the transport: the pipe directory, socket files, stale sockets, modes of
// socket files and shared-memory objects.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
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

// The permission bits, or 0 when nothing is there.
mode_t modeOf(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

bool isSocket(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

class TransportPosixTest : public ::testing::Test {
  protected:
    test::PipeTestScope scope;
    const std::string& dir = scope.directory();
};

TEST_F(TransportPosixTest, PipePathsComeFromTheEnvironmentAndStayInside) {
    EXPECT_EQ(pipePath("svc"), dir + "/svc");
    const std::string names[] = {"", ".", "..", "a/b", "../escape", std::string(200, 'n')};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(pipePath(name.c_str()), "");
        LocalServer server;
        EXPECT_FALSE(server.listen(name.c_str()));
        LocalSocket client;
        EXPECT_FALSE(client.connect(name.c_str()));
    }
    setenv("ZELVEM_PIPE_DIR", "", 1);
    EXPECT_EQ(pipeDirectory(), "/tmp/zelvem");
    unsetenv("ZELVEM_PIPE_DIR");
    EXPECT_EQ(pipePath("svc"), "/tmp/zelvem/svc");
}

TEST_F(TransportPosixTest, ListenCreatesTheDirectorySetsModesListPipesReadsIt) {
    const std::string nested = dir + "/nested/pipes";
    setenv("ZELVEM_PIPE_DIR", nested.c_str(), 1);
    EXPECT_TRUE(listPipes("").empty());  // no directory yet
    LocalServer own, shared;
    ASSERT_TRUE(own.listen("own"));
    ASSERT_TRUE(shared.listen("shared", GlobalAccess));
    EXPECT_EQ(modeOf(nested), 01777u);
    EXPECT_TRUE(isSocket(nested + "/own"));
    EXPECT_EQ(modeOf(nested + "/own"), 0600u);
    EXPECT_EQ(modeOf(nested + "/shared"), 0666u);
    std::ofstream(nested + "/own-file") << "x";  // listed too: only the name counts
    std::vector<std::string> names = listPipes("own");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"own", "own-file"}));
    EXPECT_EQ(listPipes("").size(), 3u);
    own.close();  // takes its socket file away
    EXPECT_FALSE(isSocket(nested + "/own"));
}

TEST_F(TransportPosixTest, StaleSocketFileIsReplacedOtherFilesAreLeftAlone) {
    // A socket file nobody listens on, as a crashed server leaves behind.
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, (dir + "/stale").c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    close(fd);
    ASSERT_TRUE(isSocket(dir + "/stale"));

    LocalSocket client;
    EXPECT_FALSE(client.connect("stale"));
    LocalServer server;
    ASSERT_TRUE(server.listen("stale"));
    ASSERT_TRUE(client.connect("stale"));
    LocalSocket served = server.accept();
    char got = 0;
    EXPECT_EQ(client.write("s", 1), 1u);
    EXPECT_EQ(served.read(&got, 1), 1u);
    EXPECT_EQ(got, 's');

    std::ofstream(dir + "/plain") << "keep me";
    LocalServer blocked;
    EXPECT_FALSE(blocked.listen("plain"));
    std::string content;
    std::getline(std::ifstream(dir + "/plain"), content);
    EXPECT_EQ(content, "keep me");
}

TEST_F(TransportPosixTest, SectionObjectsCarryTheAccessModeTheCreatorRemovesThem) {
    const std::string name = scope.uniqueName("zvmode");
    SharedSection own, shared;
    ASSERT_TRUE(own.create(name.c_str(), 10));
    ASSERT_TRUE(shared.create(name.c_str(), 10, GlobalAccess));
    EXPECT_EQ(modeOf("/dev/shm/" + name), 0600u);
    EXPECT_EQ(modeOf("/dev/shm/Global\\" + name), 0666u);
    {
        SharedSection reader;  // an opener's close leaves the name in place
        ASSERT_TRUE(reader.open(name.c_str()));
    }
    SharedSection again;
    EXPECT_TRUE(again.open(name.c_str()));
    own.close();
    EXPECT_EQ(modeOf("/dev/shm/" + name), 0u);
    EXPECT_FALSE(again.open(name.c_str()));
    // Names with a slash cannot name a shared-memory object.
    EXPECT_FALSE(again.create("zv/slash", 10));
    EXPECT_FALSE(again.createUnique("zv/slash", 10));
    EXPECT_FALSE(again.open("zv/slash"));
    EXPECT_FALSE(again.open("/zvleading"));
}

}  // namespace
}  // namespace zel::vem
