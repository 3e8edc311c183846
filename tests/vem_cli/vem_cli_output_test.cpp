// vem's output files end to end: whole or nothing under signals, folders, FIFOs, no wasted reads.
#include <chrono>
#include <filesystem>
#include <thread>
#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#endif

#include "vem_cli_test_support.h"

using namespace vemcli::test;

namespace {

TEST_F(VemTest, OutputsGoIntoFoldersAndFailBeforeReading) {
    ASSERT_TRUE(startSim({"--movies", "1x64x48x12"}));
    struct Case {
        std::vector<std::string> args;
        std::string written;  // empty: refused before any frame is read
    } cases[] = {
        {{"cat", "1-sim", "-o", outDir + "/"}, "1-sim"},
        {{"cat", "1-sim:info", "-o", outDir}, "1-sim.info"},
        {{"cat", "1-sim", "-o", file("missing") + "/"}, ""},
        {{"frame", "1-sim", "0", "-o", file("missing/f.pgm")}, ""},
        {{"export", "1-sim", "-o", file("missing/")}, ""},
    };
    for (const Case& c : cases) {
        const long long before = simCount("frames");
        VemRun run = vem(c.args);
        if (c.written.empty()) {
            EXPECT_EQ(run.code, 1) << run.text();
            EXPECT_EQ(simCount("frames"), before) << c.args[0] << " read frames first";
        } else {
            EXPECT_EQ(run.code, 0) << run.text();
            EXPECT_TRUE(fileExists(file(c.written))) << c.written;
        }
    }
    EXPECT_EQ(readFile(file("1-sim")), zel::test::syntheticFrames(1, 64, 48, 0, 12));
    EXPECT_EQ(folderEntries(outDir), (std::vector<std::string>{"1-sim", "1-sim.info"}));
    // A frame's default name (PNG, or PGM where the build has no PNG) counts from the start.
    VemRun frame = vem({"frame", "1-sim", "-2", "-o", outDir});
    EXPECT_EQ(frame.code, 0) << frame.text();
    const std::vector<std::string> names = folderEntries(outDir);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[1].substr(0, 9), "1-sim-10.") << names[1];  // sorted: '-' before '.'
}

#ifndef _WIN32
TEST_F(VemTest, FifoOutputIsWrittenNotReplaced) {
    ASSERT_TRUE(startSim({"--movies", "1x64x48x12"}));
    const std::string fifo = file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Bytes received;
    std::thread reader([&] { received = readFile(fifo); });
    VemRun run = vem({"cat", "1-sim", "-o", fifo});
    reader.join();
    EXPECT_EQ(run.code, 0) << run.text();
    EXPECT_EQ(received, zel::test::syntheticFrames(1, 64, 48, 0, 12));
    struct stat info;
    ASSERT_EQ(lstat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(folderEntries(outDir), std::vector<std::string>{"fifo"});
}

// A writer stopped by a signal while its frames arrive slowly leaves no temporary file and ends
// with the signal (128+N as a shell shows it).
TEST_F(VemTest, SignalsLeaveNoPartialFile) {
    ASSERT_TRUE(startSim({"--movies", "1x64x48x12"}));
    ASSERT_EQ(ctl("fault delay ord=6 ms=1500 count=1000000").rfind("ok", 0), 0u);
    const std::vector<std::string> writers[] = {
        {"cat", "1-sim", "-o", file("movie.raw")},
        {"frame", "1-sim", "3", "-o", file("frame.pgm")},
        {"export", "1-sim", "-o", file("stack.tif")},
    };
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        for (const auto& args : writers) {
            SCOPED_TRACE(args[0] + " stopped by signal " + std::to_string(signal));
            zel::test::ChildProcess process;
            ASSERT_TRUE(process.start(zel::test::siblingProgram("vem"), args));
            ASSERT_TRUE(zel::test::eventually([&] { return !folderEntries(outDir).empty(); },
                                              std::chrono::seconds(30)))
                << "no temporary file appeared";
            ASSERT_TRUE(process.signal(signal));
            int code = -1;
            ASSERT_TRUE(process.wait(30000, code));
            EXPECT_EQ(code, 128 + signal);
            const std::vector<std::string> left = folderEntries(outDir);
            EXPECT_TRUE(left.empty()) << left.front();
        }
    }
}
#endif

}  // namespace
