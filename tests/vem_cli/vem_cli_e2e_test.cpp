// vem end to end: every subcommand run as its own process against vemsim, drive and emulator.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "suite/file/info_block.h"
#include "tools/vemsim/synthetic.h"
#include "vem_cli_test_support.h"

using namespace vemcli::test;

namespace {

// vemsim's movies for these tests: 1-sim and 2-sim (64x48, 12 frames), 3-run_a (40x30, 20).
const std::vector<std::string> kMovies = {"--movies", "2x64x48x12", "--movie", "40x30x20:run_a"};

struct Expected {
    const char* name;
    uint64_t number;
    uint32_t width, height;
    uint64_t frames;
    const char* time;  // the recording time, whole seconds
};
const Expected kExpected[] = {
    {"1-sim", 1, 64, 48, 12, "2024-02-14T10:30:00Z"},
    {"2-sim", 2, 64, 48, 12, "2024-02-14T11:30:00Z"},
    {"3-run_a", 3, 40, 30, 20, "2024-02-14T12:30:00Z"},
};

void expectEntry(const nlohmann::json& entry, const Expected& e) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(entry["name"], e.name);
    EXPECT_EQ(entry["path"], std::string("/") + e.name);
    EXPECT_EQ(entry["size"], uint64_t{e.width} * e.height * e.frames * 2);
    EXPECT_EQ(entry["time"], e.time);
    EXPECT_TRUE(entry["attributes"].is_number());
    const nlohmann::json& p = entry["properties"];
    EXPECT_EQ(p.size(), 7u) << p.dump();
    EXPECT_EQ(p["width"], std::to_string(e.width));
    EXPECT_EQ(p["height"], std::to_string(e.height));
    EXPECT_EQ(p["numFrames"], std::to_string(e.frames));
    EXPECT_EQ(p["index"], std::to_string(e.number - 1));
}

// A 16-bit PGM's pixels, or empty when it is not one of w x h.
std::vector<uint16_t> pgmPixels(const Bytes& file, uint32_t w, uint32_t h) {
    const std::string header = "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n65535\n";
    if (file.size() != header.size() + size_t{w} * h * 2 ||
        std::memcmp(file.data(), header.data(), header.size()) != 0) {
        return {};
    }
    std::vector<uint16_t> pixels(size_t{w} * h);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<uint16_t>(file[header.size() + 2 * i] << 8 |
                                          file[header.size() + 2 * i + 1]);
    }
    return pixels;
}

// `vem watch --json` for at most a minute.
bool startWatch(zel::test::ChildProcess& watch) {
    return watch.start(zel::test::siblingProgram("vem"), {"watch", "--json", "--timeout", "60"});
}

// Ends a watch as a user would, by Ctrl+C (killed where that cannot be sent), and waits for it.
bool stopWatch(zel::test::ChildProcess& watch) {
    if (!watch.interrupt()) {
        watch.kill();
    }
    int code = -1;
    return watch.wait(20000, code);
}

TEST_F(VemTest, ListingAndInfoCarryTheDrivesEntries) {
    ASSERT_TRUE(startSim(kMovies));
    VemRun ls = vem({"ls", "--json"});
    ASSERT_EQ(ls.code, 0) << ls.text();
    nlohmann::json all = ls.json();
    ASSERT_EQ(all.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        expectEntry(all[i], kExpected[i]);
    }

    // Every way of writing a movie's path names the same entry.
    for (const char* path : {"vem:///3-run_a", "/3-run_a", "3-run_a", "VEM:///3-run_a"}) {
        VemRun info = vem({"info", path, "--json"});
        ASSERT_EQ(info.code, 0) << path << "\n" << info.text();
        // ls's entry, and what the frame times give (vem_cli_views_test checks those).
        nlohmann::json entry = info.json();
        EXPECT_EQ(entry.erase("frame_rate") + entry.erase("frame_times_failure"), 2u) << path;
        EXPECT_EQ(entry, all[2]) << path;
    }

    VemRun filtered = vem({"ls", "--filter", "run*", "--json"});
    ASSERT_EQ(filtered.code, 0) << filtered.text();
    ASSERT_EQ(filtered.json().size(), 1u);
    expectEntry(filtered.json()[0], kExpected[2]);

    VemRun table = vem({"ls", "-h"});
    ASSERT_EQ(table.code, 0);
    ASSERT_EQ(table.lines.size(), 4u) << table.text();
    EXPECT_EQ(table.lines[0].rfind("NAME", 0), 0u) << table.lines[0];
    EXPECT_NE(table.lines[1].find("72K"), std::string::npos) << table.lines[1];
    EXPECT_NE(table.lines[3].find("40x30"), std::string::npos) << table.lines[3];

    VemRun status = vem({"status", "--json"});
    ASSERT_EQ(status.code, 0) << status.text();
    nlohmann::json s = status.json();
    EXPECT_EQ(s["mode"], "drive");
    EXPECT_EQ(s["serviceReachable"], true);
    EXPECT_EQ(s["drivePresent"], true);
    EXPECT_EQ(s["movies"], 3);
}

TEST_F(VemTest, BadInputFailsWithExitCodeAndMessage) {
    ASSERT_TRUE(startSim(kMovies));
    const std::string out = file("out.pgm");
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* message;  // expected on stderr
    } cases[] = {
        {{"info", "nosuch"}, 1, "vem: vem:///nosuch: no such movie"},
        {{"info", "1-sim:info"}, 1, "info describes movies"},
        {{"ls", "a/b"}, 1, "no folders"},
        {{"cat", "vem://host/1-sim"}, 1, "no host"},
        {{"rm", "nosuch"}, 1, "no such movie"},
        {{"rm", "1-sim:Info"}, 1, "info stream"},
        {{"frame", "1-sim", "12", "-o", out}, 1, "does not exist"},
        {{"frame", "1-sim", "-13", "-o", out}, 1, "does not exist"},
        {{"frame", "1-sim", "1x", "-o", out}, 2, "whole number"},
        {{"frame", "1-sim", "0", "-o", file("x.bmp")}, 1, ".pgm"},
        {{"export", "1-sim", "-o", file("x.tif"), "--frames", "5:3"}, 2, "selects no frame"},
        {{"export", "1-sim", "-o", file("x.tif"), "--frames", "-2:5"}, 2, "selects no frame"},
        {{"export", "1-sim", "-o", file("x.tif"), "--frames", "0:13"}, 1, "only 12 frames"},
        {{"export", "1-sim", "-o", file("x.tif"), "--frames", "-13:"}, 1, "before the first"},
        {{"export", "1-sim", "-o", file("x.tif"), "--frames", "12"}, 1, "does not exist"},
        {{"export", "1-sim", "-o", file("x.tif"), "--frames", "0:4:0"}, 2, "step"},
        {{"export", "1-sim", "-o", file("x.tif"), "--frames", "0:4:-1"}, 2, "step"},
        {{"export", "1-sim", "-o", file("x.png")}, 1, ".tif"},
        {{"export", "1-sim", "-o", file("x")}, 1, ".tif"},
        {{"info"}, 2, "PATH"},
        {{"bogus"}, 2, "'bogus' is not a vem command"},
        {{"ls", "--nosuch"}, 2, "--nosuch"},
        {{}, 2, "subcommand"},
    };
    for (const Case& c : cases) {
        VemRun run = vem(c.args);
        const std::string first = c.args.empty() ? "" : c.args[0];
        EXPECT_EQ(run.code, c.code) << first << "\n" << run.text();
        EXPECT_NE(run.text().find(c.message), std::string::npos) << first << "\n" << run.text();
    }
    EXPECT_TRUE(folderEntries(outDir).empty());
}

TEST_F(VemTest, CatCopiesMoviesAndInfoStreamsExactlyRmDeletesOnce) {
    ASSERT_TRUE(startSim(kMovies));
    VemRun movie = vem({"cat", "2-sim", "-o", file("movie.raw")});
    ASSERT_EQ(movie.code, 0) << movie.text();
    EXPECT_TRUE(movie.lines.empty()) << movie.text();  // quiet on success
    EXPECT_EQ(readFile(file("movie.raw")), zel::test::syntheticFrames(2, 64, 48, 0, 12));

    VemRun info = vem({"cat", "3-run_a:INFO", "-o", file("movie.info")});
    ASSERT_EQ(info.code, 0) << info.text();
    EXPECT_EQ(readFile(file("movie.info")),
              zel::file::EncodeInfoBlock(zel::vem::sim::syntheticInfoBlock(3, 40, 30, 20)));

    // An existing file is replaced only by a complete copy.
    VemRun again = vem({"cat", "vem:///3-run_a", "-o", file("movie.raw")});
    ASSERT_EQ(again.code, 0) << again.text();
    EXPECT_EQ(readFile(file("movie.raw")), zel::test::syntheticFrames(3, 40, 30, 0, 20));

    // rm deletes once, quietly.
    VemRun rm = vem({"rm", "vem:///1-sim"});
    EXPECT_EQ(rm.code, 0) << rm.text();
    EXPECT_TRUE(rm.lines.empty()) << rm.text();
    VemRun rmAgain = vem({"rm", "1-sim"});
    EXPECT_EQ(rmAgain.code, 1) << rmAgain.text();
    VemRun ls = vem({"ls", "--json"});
    ASSERT_EQ(ls.json().size(), 2u);
    EXPECT_EQ(ls.json()[0]["name"], "2-sim");
    // The service refusing counts as nothing deleted.
    ASSERT_EQ(ctl("fault error ord=7 count=100").rfind("ok", 0), 0u);
    EXPECT_EQ(vem({"rm", "2-sim"}).code, 1);
}

TEST_F(VemTest, RefusedFrameFailsPromptlyWithoutOutputFile) {
    ASSERT_TRUE(startSim(kMovies));
    // Frame loads are refused from now on; the listing still works.
    ASSERT_EQ(ctl("fault error ord=6 count=100000").rfind("ok", 0), 0u);
    struct Case {
        std::vector<std::string> args;
        std::string output;
    } cases[] = {
        {{"cat", "2-sim", "-o", file("movie.raw")}, file("movie.raw")},
        {{"export", "2-sim", "-o", file("stack.tif")}, file("stack.tif")},
        {{"frame", "2-sim", "3", "-o", file("frame.pgm")}, file("frame.pgm")},
    };
    for (const Case& c : cases) {
        const auto started = std::chrono::steady_clock::now();
        VemRun run = vem(c.args);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_EQ(run.code, 1) << c.args[0] << "\n" << run.text();
        EXPECT_NE(run.text().find("vem: "), std::string::npos) << run.text();
        EXPECT_LT(seconds, 20) << c.args[0];
        EXPECT_FALSE(fileExists(c.output)) << c.output;
    }
    // No partial file is left behind under any name either.
    EXPECT_TRUE(folderEntries(outDir).empty());
}

// Additions and removals are named; a detached drive and a service that goes away are events,
// not every movie removed, and the movies that come back with them are no additions.
TEST_F(VemTest, WatchNamesChangesAndTellsServiceAndDriveEvents) {
    ASSERT_TRUE(startSim(kMovies));
    zel::test::ChildProcess watch;
    ASSERT_TRUE(startWatch(watch));
    // The watch registers its handler some time after it starts: add movies until one is seen.
    bool seen = false;
    for (int i = 0; i < 20 && !seen; ++i) {
        const std::string answer = ctl("add 8 8 1 w" + std::to_string(i));
        ASSERT_EQ(answer.rfind("ok", 0), 0u) << answer;
        const std::string entry = answer.substr(answer.find("entry=") + 6);
        seen = watch.waitForLine("\"added\":[\"" + entry + "\"]", 1500);
    }
    ASSERT_TRUE(seen) << "the watch saw no addition";
    ASSERT_EQ(ctl("remove 0").rfind("ok", 0), 0u);
    EXPECT_TRUE(watch.waitForLine("\"removed\":[\"1-sim\"]", 10000));
    ASSERT_EQ(ctl("detach").rfind("ok", 0), 0u);
    EXPECT_TRUE(watch.waitForLine("\"event\":\"drive-detached\"", 10000));
    ASSERT_EQ(ctl("attach").rfind("ok", 0), 0u);
    EXPECT_TRUE(watch.waitForLine("\"event\":\"drive-attached\"", 10000));
    stopSim();
    EXPECT_TRUE(watch.waitForLine("\"event\":\"service-lost\"", 10000));
    ASSERT_TRUE(startSim(kMovies));
    EXPECT_TRUE(watch.waitForLine("\"event\":\"service-back\"", 10000));
    // The restarted service has 1-sim again and lacks the movies added above: one change.
    EXPECT_TRUE(watch.waitForLine("\"added\":[\"1-sim\"],\"removed\":[\"4-w", 10000));
    ASSERT_TRUE(stopWatch(watch));
    for (const std::string& line : watch.lines(5000)) {
        nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        ASSERT_TRUE(event.is_object()) << line;
        if (event.contains("event")) {
            continue;
        }
        ASSERT_TRUE(event["added"].is_array() && event["removed"].is_array()) << line;
        // Only the movies the test added or removed come and go; no phantom "0-" either.
        for (const char* side : {"added", "removed"}) {
            for (const auto& name : event[side]) {
                const std::string text = name.get<std::string>();
                EXPECT_TRUE(text == "1-sim" || text.find("-w") == 1u) << line;
            }
        }
    }
}

TEST_F(VemTest, WatchStartedBeforeTheServiceSeesItsMovies) {
    zel::test::ChildProcess watch;
    ASSERT_TRUE(startWatch(watch));
    ASSERT_TRUE(watch.waitForLine("vem: warning: no drive detected", 20000));
    ASSERT_TRUE(startSim(kMovies));
    EXPECT_TRUE(watch.waitForLine("\"added\":[\"1-sim\"", 20000));
    EXPECT_TRUE(stopWatch(watch));
}

TEST_F(VemTest, WatchEndsAtItsTimeout) {
    ASSERT_TRUE(startSim(kMovies));
    const auto started = std::chrono::steady_clock::now();
    VemRun run = vem({"watch", "--timeout", "1"});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(run.code, 0) << run.text();
    EXPECT_GE(seconds, 1.0);
    EXPECT_LT(seconds, 15.0);
}

TEST_F(VemTest, WithoutServiceEveryCommandSaysSo) {
    // An empty listing or a zero count must not pass for an empty drive, nor "no such movie"
    // for a drive that is not there.
    const std::string out = dir + "/out.raw";
    const struct {
        std::vector<std::string> args;
        const char* message;
        bool namesFolder;  // says where the service was sought, and how to seek elsewhere
    } cases[] = {
        {{"status"}, "vem: the drive service does not answer", true},
        {{"status", "--json"}, "vem: the drive service does not answer", false},
        {{"ls", "--json"}, "vem: no drive detected", false},
        {{"ls", "1-a"}, "vem: no drive detected", false},
        {{"info", "1-a"}, "vem: no drive detected", true},
        {{"cat", "1-a"}, "vem: no drive detected", true},
        {{"cat", "1-a", "-o", out}, "vem: no drive detected", false},
        {{"rm", "1-a"}, "vem: no drive detected", false},
    };
    for (const auto& c : cases) {
        VemRun run = vem(c.args);
        EXPECT_EQ(run.code, 1) << c.args[0] << "\n" << run.text();
        EXPECT_NE(run.text().find(c.message), std::string::npos) << run.text();
#ifndef _WIN32
        // (Windows pipes live in one namespace of the system: there is no folder to get wrong.)
        if (c.namesFolder) {
            EXPECT_NE(run.text().find("does not answer (pipe folder " + dir + "/pipes"),
                      std::string::npos)
                << run.text();
            EXPECT_NE(run.text().find("ZELVEM_PIPE_DIR"), std::string::npos) << run.text();
        }
#endif
    }
    EXPECT_FALSE(std::filesystem::exists(out));
}

#ifndef _WIN32
// The library refuses a pipe folder others can write to as if no service ran; status says why.
TEST_F(VemTest, StatusNamesAPipeFolderOthersCanWrite) {
    const std::string open = dir + "/open-pipe";
    ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    const std::string kept = std::getenv("ZELVEM_PIPE_DIR");
    setenv("ZELVEM_PIPE_DIR", open.c_str(), 1);
    VemRun status = vem({"status"});
    setenv("ZELVEM_PIPE_DIR", kept.c_str(), 1);
    EXPECT_EQ(status.code, 1) << status.text();
    EXPECT_NE(status.text().find("vem: the drive service does not answer: pipe folder " + open +
                                 " can be written by other users (mode 0777)"),
              std::string::npos)
        << status.text();
}
#endif

TEST_F(VemTest, EmulatorModeServesTheFolder) {
    VemRun status = vem({"--emulator", "status", "--json"});
    ASSERT_EQ(status.code, 0) << status.text();
    nlohmann::json s = status.json();
    EXPECT_EQ(s["mode"], "emulator");
    const std::string folder = s["emulatorFolder"];
    ASSERT_FALSE(folder.empty());
    zel::test::ChildProcess writer;
    ASSERT_TRUE(writer.start(zel::test::siblingProgram("vemsim"),
                             {"--write-folder", folder, "--movies", "2x64x48x12"}));
    int code = -1;
    ASSERT_TRUE(writer.wait(30000, code));
    ASSERT_EQ(code, 0);

    // The switch may also follow the subcommand.
    VemRun ls = vem({"ls", "--json", "--emulator"});
    ASSERT_EQ(ls.code, 0) << ls.text();
    ASSERT_EQ(ls.json().size(), 2u);
    EXPECT_EQ(ls.json()[1]["name"], "2-sim");

    VemRun cat = vem({"--emulator", "cat", "2-sim", "-o", file("movie.raw")});
    ASSERT_EQ(cat.code, 0) << cat.text();
    EXPECT_EQ(readFile(file("movie.raw")), zel::test::syntheticFrames(2, 64, 48, 0, 12));
    VemRun frame = vem({"--emulator", "frame", "1-sim", "11", "-o", file("f.pgm")});
    ASSERT_EQ(frame.code, 0) << frame.text();
    EXPECT_EQ(pgmPixels(readFile(file("f.pgm")), 64, 48), syntheticPixels(1, 11, 64, 48));

    EXPECT_EQ(vem({"--emulator", "rm", "1-sim"}).code, 0);
    EXPECT_EQ(vem({"--emulator", "ls", "--json"}).json().size(), 1u);
    zel::test::removeTree(folder);
}

}  // namespace
