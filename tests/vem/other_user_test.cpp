// The library against a vemsim run by another local user (POSIX, run as root): a planted service
// hears nothing and lists nothing; a service account's folder named by ZELVEM_PIPE_DIR is used.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/other_user.h"
#include "tests/support/sim_test.h"
#include "vem/vem_interface.h"

namespace zel::vem::test {
namespace {

using zel::test::ChildProcess;

class OtherUserDrive : public ::testing::Test {
  public:  // the planting steps of the table below use them
    void SetUp() override {
        std::string why;
        if (!zel::test::otherUser(user, why)) {
            GTEST_SKIP() << why;
        }
        dir = zel::test::makeTempDir("zelvem_other_");
        ASSERT_FALSE(dir.empty());
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);  // the other user reaches its folders below
        zel::test::setEnv("XDG_DATA_HOME", dir + "/data");
        zel::test::setEnv("ZELVEM_ENABLE_EMULATOR", "");
    }
    void TearDown() override {
        if (!dir.empty()) {
            zel::test::removeTree(dir);
        }
    }

    std::string folderOfOther(const std::string& leaf, mode_t mode) {
        const std::string path = dir + "/" + leaf;
        EXPECT_EQ(mkdir(path.c_str(), mode), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        EXPECT_TRUE(zel::test::giveTo(user, path));
        return path;
    }

    // vemsim as the other user, with the pipe folder settings given (empty: unset).
    void startAsOther(ChildProcess& sim, const std::string& pipeDir, const std::string& runtime,
                      std::vector<std::string> args) {
        args.insert(args.end(), {"--movie", "8x6x3", "--movie", "4x4x2:cal"});
        auto command = zel::test::asUser(user, zel::test::siblingProgram("vemsim"), args);
        ASSERT_TRUE(sim.start(command.first, command.second,
                              {{"ZELVEM_PIPE_DIR", pipeDir}, {"XDG_RUNTIME_DIR", runtime}}));
        ASSERT_TRUE(sim.waitForLine("vemsim: serving", 20000));
    }

    zel::test::OtherUser user;
    std::string dir;
};

TEST_F(OtherUserDrive, APlantedServiceHearsNothingAndNothingIsListed) {
    // Where the other user's service ends up -> the client's ZELVEM_PIPE_DIR and XDG_RUNTIME_DIR.
    const struct {
        const char* what;
        std::function<void(OtherUserDrive&, ChildProcess&, std::string&, std::string&)> plant;
    } cases[] = {
        {"in the client's default folder, which the other user made first",
         [](OtherUserDrive& t, ChildProcess& sim, std::string& named, std::string& runtime) {
             runtime = t.dir + "/run";
             ASSERT_EQ(mkdir(runtime.c_str(), 0755), 0);
             t.folderOfOther("run/zelvem", 0700);
             t.startAsOther(sim, "", runtime, {});
             named = "";
         }},
        {"in a named folder anyone can write to",
         [](OtherUserDrive& t, ChildProcess& sim, std::string& named, std::string& runtime) {
             named = t.folderOfOther("shared", 0755);
             t.startAsOther(sim, named, "", {});
             ASSERT_EQ(chmod(named.c_str(), 01777), 0);
             runtime = "";
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ChildProcess sim;
        std::string named, runtime;
        c.plant(*this, sim, named, runtime);
        zel::test::setEnv("ZELVEM_PIPE_DIR", named);
        zel::test::setEnv("XDG_RUNTIME_DIR", runtime);
        std::unique_ptr<CVemInterface> vem(new CVemInterface);
        vem->SetCurrentWorkingDirectory(CStringW(u"/"));
        EXPECT_FALSE(vem->drivePresent());
        EXPECT_EQ(vem->GetDirectoryListing(CStringW(u"/"), CStringW()).entries.size(), 0u);
        EXPECT_FALSE(vem->OpenFile(CStringW(u"/1-sim"), kOpenRead));
        vem.reset();
        // Not even a connection reached it, let alone a request.
        EXPECT_FALSE(sim.waitForLine("connection", 300));
    }
}

TEST_F(OtherUserDrive, AServiceAccountsNamedFolderIsUsedNormally) {
    const std::string named = folderOfOther("svc", 0755);
    ChildProcess sim;
    startAsOther(sim, named, "", {"--global"});
    struct stat info;
    ASSERT_EQ(stat((named + "/zelvemsvc").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666u);
    ASSERT_EQ(stat((named + "/zelvemsvc.ctl").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);  // the control pipe stays the service's own

    zel::test::setEnv("ZELVEM_PIPE_DIR", named);
    zel::test::setEnv("XDG_RUNTIME_DIR", "");
    std::unique_ptr<CVemInterface> vem(new CVemInterface);
    vem->SetCurrentWorkingDirectory(CStringW(u"/"));
    ASSERT_TRUE(vem->drivePresent());
    EXPECT_EQ(vem->GetDirectoryListing(CStringW(u"/"), CStringW()).entries.size(), 2u);
    // Frames arrive through the service's read-only section (0644, owned by the other user).
    TSharedPtr<IFile> file = vem->OpenFile(CStringW(u"/1-sim"), kOpenRead);
    ASSERT_TRUE(file);
    std::vector<uint8_t> frame(8 * 6 * 2);
    const std::vector<uint8_t> expected = zel::test::syntheticFrames(1, 8, 6, 2, 1);
    file->Seek(2 * int64_t(frame.size()), 1);
    ASSERT_EQ(file->Read(frame.data(), uint32_t(frame.size())), frame.size());
    EXPECT_EQ(frame, expected);
}

}  // namespace
}  // namespace zel::vem::test
