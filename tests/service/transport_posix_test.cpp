// POSIX-only tests of the transport: the pipe directory, socket files, stale sockets, modes of
// socket files and shared-memory objects.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "service/local_server.h"
#include "service/local_socket.h"
#include "service/pipe_check.h"
#include "service/pipe_path.h"
#include "service/shared_section.h"
#include "tests/service/transport_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/other_user.h"

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
    const std::string perUser = "/tmp/zelvem-" + std::to_string(geteuid());
    // ZELVEM_PIPE_DIR, XDG_RUNTIME_DIR (nullptr: unset) -> folder
    const struct {
        const char* named;
        const char* runtime;
        std::string folder;
    } cases[] = {
        {"/srv/pipes/", "/run/user/7", "/srv/pipes"},
        {"", "/run/user/7/", "/run/user/7/zelvem"},
        {nullptr, "relative/run", perUser},
        {nullptr, "", perUser},
        {nullptr, nullptr, perUser},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        c.named ? setenv("ZELVEM_PIPE_DIR", c.named, 1) : unsetenv("ZELVEM_PIPE_DIR");
        c.runtime ? setenv("XDG_RUNTIME_DIR", c.runtime, 1) : unsetenv("XDG_RUNTIME_DIR");
        EXPECT_EQ(pipeDirectory(), c.folder);
        EXPECT_EQ(pipePath("svc"), c.folder + "/svc");
    }
}

TEST_F(TransportPosixTest, ListenCreatesTheDirectorySetsModesListPipesReadsIt) {
    const std::string nested = dir + "/nested/pipes";
    setenv("ZELVEM_PIPE_DIR", nested.c_str(), 1);
    EXPECT_TRUE(listPipes("").empty());  // no directory yet
    const mode_t oldMask = umask(077);   // a folder we make gets its mode whatever the umask
    LocalServer own, shared;
    ASSERT_TRUE(own.listen("own"));
    ASSERT_TRUE(shared.listen("shared", GlobalAccess));
    EXPECT_EQ(modeOf(nested), 0700u);
    {
        const std::string global = dir + "/global";
        setenv("ZELVEM_PIPE_DIR", global.c_str(), 1);
        LocalServer first;
        ASSERT_TRUE(first.listen("first", GlobalAccess));
        EXPECT_EQ(modeOf(global), 0755u);
        setenv("ZELVEM_PIPE_DIR", nested.c_str(), 1);
    }
    umask(oldMask);
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
    EXPECT_EQ(modeOf("/dev/shm/Global\\" + name), 0644u);  // only the service writes frames
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
    EXPECT_FALSE(again.open(".."));
    EXPECT_FALSE(again.open("zv..up"));
    EXPECT_FALSE(again.open(std::string(300, 'n').c_str()));
}

TEST_F(TransportPosixTest, AShrunkSectionFailsTheReadInsteadOfRaisingSigbus) {
    const std::string name = scope.uniqueName("zvshrink");
    SharedSection creator, reader;
    ASSERT_TRUE(creator.create(name.c_str(), 3 * 4096));
    std::memset(creator.data(), 0x11, 3 * 4096);
    ASSERT_TRUE(reader.open(name.c_str()));
    std::vector<unsigned char> out(3 * 4096);
    EXPECT_EQ(reader.readAt(0, out.data(), out.size()), out.size());
    EXPECT_EQ(out[3 * 4096 - 1], 0x11);
    ASSERT_TRUE(creator.shrink(4096 + 10));
    // The first copy touches a page that is gone; from then on reads are cut where the section
    // now ends: what is gone is not made up as zeros.
    EXPECT_EQ(reader.readAt(2 * 4096, out.data(), 16), 0u);
    EXPECT_EQ(reader.readAt(4096, out.data(), 4096), 10u);
    ASSERT_TRUE(creator.shrink(0));
    EXPECT_EQ(reader.readAt(0, out.data(), out.size()), 0u);
    EXPECT_FALSE(reader.shrink(0));  // only the creator may cut
}

// Guarding our own copies must not swallow other faults: a bus error anywhere else still reaches
// the handler the host had, or ends the process when there was none. Each case runs in a fresh
// process, so that the guard is installed after the host's handler, as in a real host.
void hostBusHandler(int) {
    _exit(42);
}

enum class Host { Handles, Nothing, Ignores };

void cutAndTouch(const std::string& name, Host host) {
    if (host == Host::Handles) {
        signal(SIGBUS, hostBusHandler);
    } else if (host == Host::Ignores) {
        signal(SIGBUS, SIG_IGN);
    }
    SharedSection creator, reader, other;
    if (!creator.create((name + "a").c_str(), 2 * 4096) || !reader.open((name + "a").c_str()) ||
        !other.create((name + "b").c_str(), 4096)) {
        _exit(3);
    }
    // Names go now: the process ends without running destructors.
    SharedSection::removeName(name + "a");
    SharedSection::removeName(name + "b");
    std::vector<unsigned char> out(2 * 4096);
    creator.shrink(0);
    if (reader.readAt(0, out.data(), out.size()) != 0) {  // ours: a failed read, no signal
        _exit(4);
    }
    if (host == Host::Ignores) {
        raise(SIGBUS);  // sent, not a fault: still ignored
        _exit(7);
    }
    other.shrink(0);
    volatile unsigned char touched = *static_cast<volatile unsigned char*>(other.data());
    (void)touched;
    _exit(5);  // not reached: the touch faults
}

TEST_F(TransportPosixTest, FaultsOutsideOurCopiesReachTheHostsHandlerOrEndTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string name = scope.uniqueName("zvbus");
    EXPECT_EXIT(cutAndTouch(name, Host::Handles), ::testing::ExitedWithCode(42), "");
    EXPECT_EXIT(cutAndTouch(name, Host::Ignores), ::testing::ExitedWithCode(7), "");
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizer's own handler was there first: it gets the fault, reports it and exits.
    EXPECT_EXIT(cutAndTouch(name, Host::Nothing), ::testing::ExitedWithCode(1), "BUS");
#else
    EXPECT_EXIT(cutAndTouch(name, Host::Nothing), ::testing::KilledBySignal(SIGBUS), "");
#endif
}

// A folder that others may write to, or that is reached through a link, is refused by both
// sides even while our own server answers in it, and is never changed.
TEST_F(TransportPosixTest, UnsafeFoldersAreRefusedByBothSidesAndLeftAlone) {
    const std::string good = dir + "/good";
    setenv("ZELVEM_PIPE_DIR", good.c_str(), 1);
    LocalServer server;
    ASSERT_TRUE(server.listen("svc"));
    LocalSocket client;
    ASSERT_TRUE(client.connect("svc"));
    EXPECT_EQ(pipeTrustProblem("svc"), "");
    EXPECT_EQ(pipeTrustProblem("nobody-serves-this"), "");  // absent is not untrusted
    ASSERT_EQ(symlink(good.c_str(), (dir + "/link").c_str()), 0);

    // folder named by ZELVEM_PIPE_DIR, mode given to `good` first (0: leave it) -> reason
    const struct {
        const char* folder;
        mode_t mode;
        const char* reason;
    } cases[] = {
        {"/good", 0770, "written by other users"},
        {"/good", 0722, "written by other users"},
        {"/good", 01777, "written by other users"},
        {"/link", 0700, "symbolic link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.folder) + " " + std::to_string(c.mode));
        ASSERT_EQ(chmod(good.c_str(), c.mode), 0);
        setenv("ZELVEM_PIPE_DIR", (dir + c.folder).c_str(), 1);
        EXPECT_FALSE(client.connect("svc"));
        EXPECT_NE(pipeTrustProblem("svc").find(c.reason), std::string::npos)
            << pipeTrustProblem("svc");
        LocalServer rival;
        EXPECT_FALSE(rival.listen("other"));
        EXPECT_EQ(modeOf(good), c.mode);  // never chmod'ed back
    }
    std::ofstream(dir + "/plain") << "x";
    setenv("ZELVEM_PIPE_DIR", (dir + "/plain").c_str(), 1);
    LocalServer onFile;
    EXPECT_FALSE(onFile.listen("svc"));
    EXPECT_NE(pipeTrustProblem("svc").find("not a folder"), std::string::npos);
    chmod(good.c_str(), 0700);
}

// Another local user: what it serves is refused unless an administrator named its folder.
class OtherUserTest : public TransportPosixTest {
  protected:
    void SetUp() override {
        std::string why;
        if (!zel::test::otherUser(user, why)) {
            GTEST_SKIP() << why;
        }
        // The other user must reach folders below ours.
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    }

    // Starts a server run by the other user on pipe `name` in `folder` (ZELVEM_PIPE_DIR, or the
    // default under XDG_RUNTIME_DIR when `folder` is empty).
    void serveAsOther(zel::test::ChildProcess& child, const std::string& folder,
                      const std::string& runtime, const std::string& name) {
        auto command = zel::test::asUser(user, zel::test::siblingProgram("vemsim"),
                                         {"--pipe", name, "--movies", "1x4x4x1"});
        ASSERT_TRUE(child.start(command.first, command.second,
                                {{"ZELVEM_PIPE_DIR", folder}, {"XDG_RUNTIME_DIR", runtime}}));
        ASSERT_TRUE(child.waitForLine("vemsim: serving", 20000));
    }

    std::string ownedByOther(const std::string& path, mode_t mode) {
        EXPECT_EQ(mkdir(path.c_str(), mode), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        EXPECT_TRUE(zel::test::giveTo(user, path));
        return path;
    }

    zel::test::OtherUser user;
};

TEST_F(OtherUserTest, ItsDefaultFolderIsNotOurs) {
    // Another user got to our default folder first (say /tmp/zelvem-UID) and serves there.
    const std::string runtime = dir + "/run";
    ASSERT_EQ(mkdir(runtime.c_str(), 0755), 0);
    ownedByOther(runtime + "/zelvem", 0700);
    zel::test::ChildProcess squatter;
    serveAsOther(squatter, "", runtime, "svc");
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    unsetenv("ZELVEM_PIPE_DIR");
    LocalSocket client;
    EXPECT_FALSE(client.connect("svc"));
    EXPECT_NE(pipeTrustProblem("svc").find("belongs to user " + std::to_string(user.uid)),
              std::string::npos);
    LocalServer ours;
    EXPECT_FALSE(ours.listen("mine"));  // nor do we serve in its folder
}

TEST_F(OtherUserTest, APeerThatIsNeitherUsNorRootNorTheFolderOwnerIsRefused) {
    const std::string theirs = ownedByOther(dir + "/theirs", 0755);
    zel::test::ChildProcess server;
    serveAsOther(server, theirs, "", "svc");
    // Its live socket lands in a folder of ours (a hard link or a rename keeps it bound), as
    // if the other user had slipped it in: the folder passes, the peer must not.
    const std::string ours = dir + "/ours";
    ASSERT_EQ(mkdir(ours.c_str(), 0700), 0);
    ASSERT_EQ(rename((theirs + "/svc").c_str(), (ours + "/svc").c_str()), 0);
    setenv("ZELVEM_PIPE_DIR", ours.c_str(), 1);
    LocalSocket client;
    EXPECT_FALSE(client.connect("svc"));
    const std::string why = pipeTrustProblem("svc");
    EXPECT_NE(why.find("served by user " + std::to_string(user.uid)), std::string::npos) << why;
    server.kill();
}

}  // namespace
}  // namespace zel::vem
