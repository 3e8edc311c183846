// Output files: whole or nothing, never through a planted name, devices and FIFOs written as
// they are, folders receiving the default name.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "output_file.h"
#include "registry.h"
#include "tests/support/child_process.h"

namespace fs = std::filesystem;

namespace {

class OutputFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = zel::test::makeTempDir("zelvem_output_");
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override { zel::test::removeTree(dir); }

    std::string at(const std::string& name) const { return dir + "/" + name; }
    static std::string contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void put(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    // Writes `text` through an OutputFile and commits it; the path it went to.
    static std::string writeWhole(const std::string& name, const std::string& text,
                                  const std::string& defaultName = "movie") {
        vemcli::OutputFile out(name, defaultName);
        out.write(text.data(), text.size());
        out.commit();
        return out.path();
    }

    std::string dir;
};

TEST_F(OutputFileTest, AppearsOnlyWhenCommitted) {
    put(at("kept"), "old");
    {
        vemcli::OutputFile out(at("kept"));
        out.write("new", 3);
        EXPECT_EQ(contents(at("kept")), "old");  // the partial bytes are elsewhere
        EXPECT_EQ(entries().size(), 2u);
    }
    // Dropped without commit: the old file stays, the partial one is gone.
    EXPECT_EQ(entries(), std::vector<std::string>{"kept"});
    EXPECT_EQ(contents(at("kept")), "old");
    EXPECT_EQ(writeWhole(at("kept"), "new"), at("kept"));
    EXPECT_EQ(contents(at("kept")), "new");
    EXPECT_EQ(entries(), std::vector<std::string>{"kept"});
}

// Two writers of one name in one process (or two processes) each get a temporary file of
// their own; the last commit wins whole.
TEST_F(OutputFileTest, WritersOfOneNameDoNotShareATemporaryFile) {
    vemcli::OutputFile first(at("same"));
    vemcli::OutputFile second(at("same"));
    first.write("first", 5);
    second.write("second", 6);
    first.commit();
    EXPECT_EQ(contents(at("same")), "first");
    second.commit();
    EXPECT_EQ(contents(at("same")), "second");
    EXPECT_EQ(entries(), std::vector<std::string>{"same"});
}

TEST_F(OutputFileTest, FoldersReceiveTheDefaultNameAsCpDoes) {
    ASSERT_TRUE(fs::create_directory(at("sub")));
    ASSERT_TRUE(fs::create_directory(at("sub/taken")));
    struct Case {
        std::string name;
        std::string written;  // empty: refused before anything is written
    } cases[] = {
        {at("sub"), at("sub/movie")}, {at("sub/"), at("sub/movie")},
        {at("missing/"), ""},         {at("missing/file"), ""},
        {at("plain/"), ""},  // a regular file named as a folder
        {at("sub/taken/x/"), ""},     {"", ""},
    };
    put(at("plain"), "p");
    for (const Case& c : cases) {
        if (c.written.empty()) {
            EXPECT_THROW(vemcli::OutputFile(c.name, "movie"), vemcli::Failure) << c.name;
            continue;
        }
        EXPECT_EQ(writeWhole(c.name, c.name), c.written) << c.name;
        EXPECT_EQ(contents(c.written), c.name);
    }
    // A folder with the default name inside is not replaced; without a default name a folder
    // cannot be written at all.
    EXPECT_THROW(vemcli::OutputFile(at("sub"), "taken"), vemcli::Failure);
    EXPECT_THROW(vemcli::OutputFile(at("sub")), vemcli::Failure);
    // A name from the drive stays one entry of the folder.
    EXPECT_EQ(writeWhole(at("sub"), "x", "a/../b"), at("sub/a_.._b"));
    EXPECT_EQ(entries(), (std::vector<std::string>{"plain", "sub"}));
}

#ifndef _WIN32
// A link planted at the output name is replaced, never written through.
TEST_F(OutputFileTest, APlantedLinkIsReplacedNotFollowed) {
    put(at("victim"), "secret");
    ASSERT_EQ(symlink(at("victim").c_str(), at("out").c_str()), 0);
    ASSERT_EQ(symlink(at("nowhere").c_str(), at("dangling").c_str()), 0);
    for (const char* name : {"out", "dangling"}) {
        writeWhole(at(name), "movie bytes");
        struct stat info;
        ASSERT_EQ(lstat(at(name).c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode)) << name;
        EXPECT_EQ(contents(at(name)), "movie bytes") << name;
    }
    EXPECT_EQ(contents(at("victim")), "secret");
    EXPECT_FALSE(fs::exists(at("nowhere")));
}

// A FIFO (like a device or /dev/stdout) is written to as it is and stays what it was.
TEST_F(OutputFileTest, AFifoIsWrittenDirectly) {
    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = contents(at("fifo")); });
    writeWhole(at("fifo"), "through the pipe");
    reader.join();
    EXPECT_EQ(received, "through the pipe");
    struct stat info;
    ASSERT_EQ(lstat(at("fifo").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(entries(), std::vector<std::string>{"fifo"});
    // Dropped without commit, it is not deleted either.
    {
        std::thread drain([&] { contents(at("fifo")); });
        { vemcli::OutputFile out(at("fifo")); }
        drain.join();
    }
    EXPECT_TRUE(fs::exists(at("fifo")));
}
#endif

}  // namespace
