// vem get end to end: every format byte for byte, times, resumes that read only what is missing,
// signals, a service that dies, --verify and vem verify, a full disk.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#ifndef _WIN32
#include <signal.h>
#include <sys/mount.h>
#endif

#include "vem_cli_test_support.h"

using namespace vemcli::test;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kW = 64;
constexpr uint32_t kH = 48;
constexpr uint64_t kFrameBytes = uint64_t{kW} * kH * 2;

// vemsim's recording time of synthetic movie `n`, in whole seconds (docs/vemsim.md).
int64_t recordingTime(uint64_t n) {
    return 1707903000 + static_cast<int64_t>(n) * 3600;
}

// The frames vemsim loaded, once it has no load left in flight: a stopped client's last request
// may still be answered (late, under a delay fault) after the client is gone. (Only the signal
// test, which Windows lacks, asks.)
[[maybe_unused]] long long settledFramesLoaded(const std::function<long long()>& framesLoaded) {
    long long last = framesLoaded();
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const long long now = framesLoaded();
        if (now == last) {
            break;
        }
        last = now;
    }
    return last;
}

int64_t modifiedSeconds(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_mtime) : -1;
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(fs::u8path(path), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void flipByte(const std::string& path, uint64_t at) {
    Bytes bytes = readFile(path);
    ASSERT_LT(at, bytes.size());
    bytes[at] ^= 0x5A;
    writeFile(path, bytes);
}

std::vector<std::string> withSuffix(const std::vector<std::string>& names, const char* suffix) {
    std::vector<std::string> out;
    for (const std::string& name : names) {
        if (name.size() > std::strlen(suffix) &&
            name.compare(name.size() - std::strlen(suffix), std::string::npos, suffix) == 0) {
            out.push_back(name);
        }
    }
    return out;
}

class GetTest : public VemTest {
  protected:
    // The movies' files in `dest` equal the drive's: pixels against the documented formula,
    // info streams against what `vem cat NAME:info` gives, times against the recording times.
    void expectRawCopies(const std::string& dest, uint64_t movies, uint64_t frames,
                         const std::string& dataSuffix, uint32_t w = kW, uint32_t h = kH) {
        for (uint64_t n = 1; n <= movies; ++n) {
            const std::string name = std::to_string(n) + "-sim";
            SCOPED_TRACE(name);
            EXPECT_EQ(readFile(dest + "/" + name + dataSuffix),
                      zel::test::syntheticFrames(n, w, h, 0, frames));
            ASSERT_EQ(vem({"cat", name + ":info", "-o", file(name + ".expected-info")}).code, 0);
            EXPECT_EQ(readFile(dest + "/" + name + ".info"),
                      readFile(file(name + ".expected-info")));
            EXPECT_EQ(modifiedSeconds(dest + "/" + name + dataSuffix), recordingTime(n));
            EXPECT_EQ(modifiedSeconds(dest + "/" + name + ".info"), recordingTime(n));
        }
    }
};

// Every format of --all, byte for byte; a second run reads nothing and skips every movie.
TEST_F(GetTest, AllMoviesInEveryFormat) {
    const uint64_t frames = 12;
    ASSERT_TRUE(startSim({"--movies", "3x64x48x12"}));
    // The emulator copy goes into the emulator folder itself (this test's own on POSIX; on
    // Windows the one folder, which the emulator_folder lock keeps to one test at a time).
    VemRun status = vem({"--emulator", "status", "--json"});
    ASSERT_EQ(status.code, 0) << status.text();
    const std::string emulatorDir = status.json()["emulatorFolder"];
    ASSERT_FALSE(emulatorDir.empty());
    fs::remove_all(fs::u8path(emulatorDir));
    struct Cleanup {
        std::string folder;
        ~Cleanup() { fs::remove_all(fs::u8path(folder)); }
    } cleanup{emulatorDir};
    struct Case {
        std::string format;
        std::string dest;
        std::vector<std::string> suffixes;  // the files of one movie
    } cases[] = {
        {"raw", file("raw"), {"", ".info"}},
        {"ome-tiff", file("tiff"), {".ome.tif"}},
        {"emulator", emulatorDir, {".dat", ".info", ".meta"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        VemRun run = vem({"get", "--all", c.dest, "--format", c.format, "--json"});
        ASSERT_EQ(run.code, 0) << run.text();
        ASSERT_EQ(run.lines.size(), 3u) << run.text();
        std::vector<std::string> expected = {"XXH128SUMS"};
        for (uint64_t n = 1; n <= 3; ++n) {
            const nlohmann::json line = nlohmann::json::parse(run.lines[n - 1]);
            EXPECT_EQ(line["name"], std::to_string(n) + "-sim");
            EXPECT_EQ(line["status"], "copied");
            EXPECT_EQ(line["hash"].get<std::string>().size(), 7u + 32u);
            for (const std::string& suffix : c.suffixes) {
                expected.push_back(std::to_string(n) + "-sim" + suffix);
            }
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(folderEntries(c.dest), expected);
        if (c.format == "raw") {
            expectRawCopies(c.dest, 3, frames, "");
        } else if (c.format == "ome-tiff") {
            for (uint64_t n = 1; n <= 3; ++n) {
                const std::string name = std::to_string(n) + "-sim";
                ASSERT_EQ(vem({"cat", name + ".ome.tif", "-o", file(name + ".expected.tif")}).code,
                          0);
                const Bytes copy = readFile(c.dest + "/" + name + ".ome.tif");
                EXPECT_EQ(copy, readFile(file(name + ".expected.tif"))) << name;
                // The pixels are the file's last bytes, the movie's frames in order.
                const Bytes pixels = zel::test::syntheticFrames(n, kW, kH, 0, frames);
                ASSERT_GE(copy.size(), pixels.size());
                EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), copy.end() - pixels.size()))
                    << name;
                EXPECT_EQ(modifiedSeconds(c.dest + "/" + name + ".ome.tif"), recordingTime(n));
            }
        } else {
            expectRawCopies(c.dest, 3, frames, ".dat");
            // The emulator reads the copies as the drive: the same listing, the same bytes.
            VemRun drive = vem({"ls", "--json"});
            VemRun emulator = vem({"--emulator", "ls", "--json"});
            ASSERT_EQ(emulator.code, 0) << emulator.text();
            nlohmann::json driveList = drive.json();
            nlohmann::json emulatorList = emulator.json();
            ASSERT_EQ(emulatorList.size(), 3u) << emulator.text();
            for (size_t i = 0; i < 3; ++i) {
                for (const char* key : {"name", "size", "time"}) {
                    EXPECT_EQ(emulatorList[i][key], driveList[i][key]) << key << " " << i;
                }
                for (const char* key :
                     {"width", "height", "numFrames", "startTime", "endTime", "duration"}) {
                    EXPECT_EQ(emulatorList[i]["properties"][key], driveList[i]["properties"][key])
                        << key << " " << i;
                }
            }
            ASSERT_EQ(vem({"--emulator", "cat", "2-sim", "-o", file("from-emulator")}).code, 0);
            EXPECT_EQ(readFile(file("from-emulator")),
                      zel::test::syntheticFrames(2, kW, kH, 0, frames));
        }
        EXPECT_EQ(vem({"verify", c.dest}).code, 0);
        // Again: nothing is read, every movie is skipped.
        const long long before = simCount("frames");
        run = vem({"get", "--all", c.dest, "--format", c.format, "--json"});
        ASSERT_EQ(run.code, 0) << run.text();
        for (const std::string& line : run.lines) {
            EXPECT_EQ(nlohmann::json::parse(line)["status"], "skipped") << line;
        }
        EXPECT_EQ(simCount("frames"), before);
    }
}

// A partial file resumes from its last whole frame, reading only the frames after it; --verify
// reads the kept frames again and catches one that is not the drive's, while the next movie is
// copied, and still reports the movies in their order; vem verify catches a byte changed in a
// finished copy.
TEST_F(GetTest, ResumeReadsOnlyMissingFramesAndVerifyCatchesChangedBytes) {
    const uint64_t frames = 40;
    ASSERT_TRUE(startSim({"--movies", "2x64x48x40"}));
    const std::string dest = file("dest");
    ASSERT_TRUE(fs::create_directory(fs::u8path(dest)));
    const std::string partial =
        dest + "/1-sim." + std::to_string(recordingTime(1)) + ".vem-partial";
    const Bytes movie = zel::test::syntheticFrames(1, kW, kH, 0, frames);
    const uint64_t kept = 15;  // whole frames, then half a frame that is dropped
    const Bytes prefix(movie.begin(), movie.begin() + kept * kFrameBytes + kFrameBytes / 2);

    struct Case {
        bool verify;
        bool corrupt;
        int code;
        long loads;  // frames the drive is asked for
    } cases[] = {
        {false, false, 0, long(frames - kept + frames)},
        {true, false, 0, long(frames + frames)},
        {true, true, 1, long(frames + frames)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.verify ? "--verify" : "") + (c.corrupt ? " corrupt" : ""));
        fs::remove_all(fs::u8path(dest));
        ASSERT_TRUE(fs::create_directory(fs::u8path(dest)));
        writeFile(partial, prefix);
        if (c.code == 0) {
            // Another recording's partial of the same name: never resumed from, and gone once
            // the name holds a whole copy.
            writeFile(dest + "/1-sim.1000.vem-partial", Bytes(kFrameBytes, 7));
        }
        if (c.corrupt) {
            flipByte(partial, 3 * kFrameBytes + 7);
        }
        const long long before = simCount("frames");
        std::vector<std::string> args = {"get", "1-sim", "2-sim", dest, "--json"};
        if (c.verify) {
            args.push_back("--verify");
        }
        VemRun run = vem(args);
        EXPECT_EQ(run.code, c.code) << run.text();
        EXPECT_EQ(simCount("frames") - before, c.loads);
        std::vector<std::string> statuses;
        for (const std::string& line : run.lines) {
            if (!line.empty() && line[0] == '{') {
                const nlohmann::json outcome = nlohmann::json::parse(line);
                statuses.push_back(outcome["name"].get<std::string>() + " " +
                                   outcome["status"].get<std::string>());
            }
        }
        EXPECT_EQ(readFile(dest + "/2-sim"), zel::test::syntheticFrames(2, kW, kH, 0, frames));
        if (c.code == 0) {
            EXPECT_EQ(readFile(dest + "/1-sim"), movie);
            EXPECT_EQ(statuses, (std::vector<std::string>{"1-sim resumed", "2-sim copied"}));
            EXPECT_EQ(folderEntries(dest), (std::vector<std::string>{"1-sim", "1-sim.info", "2-sim",
                                                                     "2-sim.info", "XXH128SUMS"}));
        } else {
            EXPECT_NE(run.text().find("differs from the drive"), std::string::npos) << run.text();
            EXPECT_EQ(statuses, (std::vector<std::string>{"1-sim failed", "2-sim copied"}));
            // The bad bytes are gone, and nothing of the movie looks whole.
            EXPECT_EQ(folderEntries(dest),
                      (std::vector<std::string>{"2-sim", "2-sim.info", "XXH128SUMS"}));
        }
    }
    // A finished copy with one byte changed: vem verify names it, without the drive.
    ASSERT_EQ(vem({"get", "1-sim", dest}).code, 0);
    stopSim();
    ASSERT_EQ(vem({"verify", dest}).code, 0);
    flipByte(dest + "/1-sim", 5 * kFrameBytes + 1);
    VemRun run = vem({"verify", dest});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.text().find("1-sim: differs"), std::string::npos) << run.text();
}

// Usage errors, names that match nothing, and a dry run's plan.
TEST_F(GetTest, UsageAndDryRun) {
    ASSERT_TRUE(startSim({"--movies", "2x64x48x12"}));
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says = "";  // in what it prints, when given
    } cases[] = {
        {{"get"}, 2, "name the folder to copy into (DEST)"},
        {{"get", "--all"}, 2, "name the folder to copy into (DEST)"},
        {{"get", file("d")}, 2, "name the movies to copy, or --all"},
        {{"get", "--all", "1-sim", file("d")}, 2},
        {{"get", "--all", file("d"), "--format", "png"}, 2},
        {{"get", "--all", file("d"), "--overwrite", "--skip-existing"}, 2},
        {{"get", "1-sim", "9-nothing", file("d")}, 1},
    };
    for (const Case& c : cases) {
        VemRun run = vem(c.args);
        EXPECT_EQ(run.code, c.code) << run.text();
        EXPECT_NE(run.text().find(c.says), std::string::npos) << run.text();
    }
    // The name that matched nothing failed; the other was still copied.
    EXPECT_EQ(folderEntries(file("d")),
              (std::vector<std::string>{"1-sim", "1-sim.info", "XXH128SUMS"}));
    VemRun run = vem({"get", "--all", file("d"), "--dry-run", "--json"});
    ASSERT_EQ(run.code, 0) << run.text();
    ASSERT_EQ(run.lines.size(), 3u) << run.text();
    EXPECT_EQ(nlohmann::json::parse(run.lines[0])["status"], "would skip");
    EXPECT_EQ(nlohmann::json::parse(run.lines[1])["status"], "would copy");
    EXPECT_EQ(nlohmann::json::parse(run.lines[1])["to_write"], 12 * kFrameBytes + 56 + 8 * 12);
    EXPECT_EQ(nlohmann::json::parse(run.lines[2])["room"], true);
    EXPECT_EQ(folderEntries(file("d")).size(), 3u);
}

// The service ends mid-copy: exit 1 naming the movies, only whole files and one partial; the
// same command after a restart finishes the copy.
TEST_F(GetTest, ServiceDeathThenRerunCompletes) {
    const std::vector<std::string> movies = {"--movies", "2x64x48x60"};
    ASSERT_TRUE(startSim(movies));
    ASSERT_EQ(ctl("fault delay ord=6 ms=1 count=70").rfind("ok", 0), 0u);
    ASSERT_EQ(ctl("fault exit ord=6").rfind("ok", 0), 0u);
    const std::string dest = file("dest");
    VemRun run = vem({"get", "--all", dest});
    EXPECT_EQ(run.code, 1) << run.text();
    EXPECT_NE(run.text().find("2-sim"), std::string::npos) << run.text();
    int code = 0;
    sim->wait(20000, code);
    std::vector<std::string> left = folderEntries(dest);
    EXPECT_EQ(withSuffix(left, ".vem-partial").size(), 1u);
    EXPECT_EQ(readFile(dest + "/1-sim"), zel::test::syntheticFrames(1, kW, kH, 0, 60));
    ASSERT_TRUE(startSim(movies));
    run = vem({"get", "--all", dest});
    ASSERT_EQ(run.code, 0) << run.text();
    EXPECT_EQ(folderEntries(dest), (std::vector<std::string>{"1-sim", "1-sim.info", "2-sim",
                                                             "2-sim.info", "XXH128SUMS"}));
    EXPECT_EQ(readFile(dest + "/2-sim"), zel::test::syntheticFrames(2, kW, kH, 0, 60));
    EXPECT_EQ(vem({"verify", dest}).code, 0);
}

#ifndef _WIN32
// SIGINT, SIGTERM or SIGHUP mid-copy: the signal's status, only whole files and one partial
// (with --verify, two: the movie being read back and the next), and the rerun loads only the
// frames the partial lacks (with --verify, every frame of a movie not whole).
TEST_F(GetTest, SignalsLeaveOnePartialThatResumes) {
    // Frames of 128 KiB: the partial file grows by eight frames a write.
    const uint32_t w = 256;
    const uint32_t h = 256;
    const uint64_t frameBytes = uint64_t{w} * h * 2;
    const uint64_t frames = 30;
    ASSERT_TRUE(startSim({"--movies", "3x256x256x30"}));
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    struct Case {
        int signal;
        bool verify;
    } cases[] = {{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGINT, true}};
    for (const Case& c : cases) {
        const int signal = c.signal;
        SCOPED_TRACE("signal " + std::to_string(signal) + (c.verify ? " --verify" : ""));
        const std::string dest = file("dest" + std::to_string(signal) + (c.verify ? "v" : ""));
        std::vector<std::string> args = {"get", "--all", dest, "--format", "emulator"};
        if (c.verify) {
            args.push_back("--verify");
        }
        ctl("clear");
        ASSERT_EQ(ctl("fault delay ord=6 ms=20 count=1000000").rfind("ok", 0), 0u);
        zel::test::ChildProcess process;
        ASSERT_TRUE(process.start(zel::test::siblingProgram("vem"), args));
        // A random point: somewhere in the first two movies.
        const long stopAt = 2 + std::rand() % long(frames * 2 - 4);
        const long long start = simCount("frames");
        ASSERT_TRUE(zel::test::eventually([&] { return simCount("frames") - start >= stopAt; },
                                          std::chrono::seconds(60)));
        ASSERT_TRUE(process.signal(signal));
        int code = -1;
        ASSERT_TRUE(process.wait(30000, code));
        EXPECT_EQ(code, 128 + signal);

        const std::vector<std::string> left = folderEntries(dest);
        const std::vector<std::string> partials = withSuffix(left, ".vem-partial");
        ASSERT_LE(partials.size(), c.verify ? 2u : 1u);
        EXPECT_TRUE(withSuffix(left, ".part").empty());
        long expectedLoads = 0;
        for (uint64_t n = 1; n <= 3; ++n) {
            const std::string data = dest + "/" + std::to_string(n) + "-sim.dat";
            const std::string partial = dest + "/" + std::to_string(n) + "-sim.dat." +
                                        std::to_string(recordingTime(n)) + ".vem-partial";
            if (fileExists(data)) {
                EXPECT_EQ(readFile(data), zel::test::syntheticFrames(n, w, h, 0, frames));
            } else if (fileExists(partial) && !c.verify) {
                expectedLoads += long(frames - readFile(partial).size() / frameBytes);
            } else {
                expectedLoads += long(frames);
            }
        }
        ctl("clear");
        const long long before = settledFramesLoaded([] { return simCount("frames"); });
        VemRun run = vem(args);
        ASSERT_EQ(run.code, 0) << run.text();
        EXPECT_EQ(simCount("frames") - before, expectedLoads);
        expectRawCopies(dest, 3, frames, ".dat", w, h);
        EXPECT_EQ(folderEntries(dest).size(), 10u);
    }
}

// A disk that fills: too small from the start is refused before anything is written; one that
// fills up while copying stops the job with a clear message and leaves no temporary file.
TEST_F(GetTest, FullDisk) {
    const std::string disk = dir + "/small";
    ASSERT_TRUE(fs::create_directory(disk));
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << std::strerror(errno);
    }
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{disk};
    // 3 x 120 KiB fits; 20 x 120 KiB does not.
    ASSERT_TRUE(startSim({"--movies", "20x64x48x20"}));
    VemRun run = vem({"get", "--all", disk + "/all"});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.text().find("free"), std::string::npos) << run.text();
    EXPECT_NE(run.text().find("nothing was copied"), std::string::npos) << run.text();
    EXPECT_TRUE(folderEntries(disk + "/all").empty());

    // Room for what is asked at the start, taken by someone else while the copy runs.
    ASSERT_EQ(ctl("fault delay ord=6 ms=20 count=1000000").rfind("ok", 0), 0u);
    const std::string dest = disk + "/some";
    zel::test::ChildProcess process;
    ASSERT_TRUE(
        process.start(zel::test::siblingProgram("vem"), {"get", "1-sim", "2-sim", "3-sim", dest}));
    const long long start = simCount("frames");
    ASSERT_TRUE(zel::test::eventually([&] { return simCount("frames") - start >= 5; },
                                      std::chrono::seconds(60)));
    {
        std::ofstream filler(disk + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size())) {
        }
    }
    int code = -1;
    ASSERT_TRUE(process.wait(60000, code));
    EXPECT_EQ(code, 1);
    const std::vector<std::string> lines = process.lines(10000);
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    EXPECT_NE(text.find("No space left on device"), std::string::npos) << text;
    const std::vector<std::string> left = folderEntries(dest);
    EXPECT_LE(withSuffix(left, ".vem-partial").size(), 1u);
    EXPECT_TRUE(withSuffix(left, ".part").empty());
    for (const std::string& name : left) {
        if (name.size() == 5) {  // "N-sim": a finished movie
            const uint64_t n = std::stoul(name);
            EXPECT_EQ(readFile(dest + "/" + name), zel::test::syntheticFrames(n, kW, kH, 0, 20));
        }
    }
}
#endif

}  // namespace
