// Simulator and vem runs for the end-to-end tests.
#include "vem_cli_test_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tools/vemsim/control.h"
#include "tools/vemsim/synthetic.h"

namespace vemcli::test {

std::string VemRun::text() const {
    std::string all;
    for (const std::string& line : lines) {
        all += line + "\n";
    }
    return all;
}

nlohmann::json VemRun::json() const {
    nlohmann::json value = nlohmann::json::parse(text(), nullptr, false);
    EXPECT_FALSE(value.is_discarded()) << "not JSON:\n" << text();
    return value.is_discarded() ? nlohmann::json() : value;
}

void VemTest::SetUp() {
    tempDir = zel::test::makeTempDir("vem_cli_");
    ASSERT_FALSE(tempDir.empty());
    // This test's own pipes and data folder (POSIX); vem and vemsim inherit them.
    ASSERT_TRUE(zel::test::setEnv("ZELVEM_PIPE_DIR", tempDir + "/pipes"));
    ASSERT_TRUE(zel::test::setEnv("XDG_DATA_HOME", tempDir + "/data"));
    zel::test::setEnv("ZELVEM_ENABLE_EMULATOR", "");
    outDir = tempDir + "/out";
    ASSERT_TRUE(std::filesystem::create_directory(std::filesystem::u8path(outDir)));
}

void VemTest::TearDown() {
    if (sim.running()) {
        ctl("quit");
        int code = 0;
        sim.wait(20000, code);
    }
    zel::test::removeTree(tempDir);
}

void VemTest::startSim(const std::vector<std::string>& args) {
    ASSERT_TRUE(sim.start(zel::test::siblingProgram("vemsim"), args));
    ASSERT_TRUE(sim.waitForLine("vemsim: serving", 30000));
}

VemRun VemTest::vem(const std::vector<std::string>& args, int timeoutMs) {
    zel::test::ChildProcess process;
    VemRun run;
    EXPECT_TRUE(process.start(zel::test::siblingProgram("vem"), args));
    EXPECT_TRUE(process.wait(timeoutMs, run.code)) << "vem did not end in time";
    run.lines = process.lines(10000);
    return run;
}

std::string VemTest::ctl(const std::string& line) {
    std::string answer;
    zel::vem::sim::controlRequest("zelvemsvc", line, answer);
    return answer;
}

Bytes syntheticMovie(uint64_t number, uint32_t w, uint32_t h, uint64_t frames) {
    const size_t frameBytes = size_t{w} * h * 2;
    Bytes all(frameBytes * frames);
    for (uint64_t f = 0; f < frames; ++f) {
        zel::vem::sim::renderSyntheticFrame(number, f, w, h, all.data() + f * frameBytes);
    }
    return all;
}

Bytes readFile(const std::string& path) {
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool fileExists(const std::string& path) {
    return std::filesystem::exists(std::filesystem::u8path(path));
}

std::vector<std::string> folderEntries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(dir))) {
        names.push_back(entry.path().filename().u8string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace vemcli::test
