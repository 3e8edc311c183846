// Simulator and vem runs for the end-to-end tests.
#include "vem_cli_test_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/support/sim_test.h"

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
    SimTest::SetUp();
    outDir = dir + "/out";
    ASSERT_TRUE(std::filesystem::create_directory(std::filesystem::u8path(outDir)));
}

VemRun VemTest::vem(const std::vector<std::string>& args, int timeoutMs) {
    zel::test::ChildProcess process;
    VemRun run;
    EXPECT_TRUE(process.start(zel::test::siblingProgram("vem"), args));
    EXPECT_TRUE(process.wait(timeoutMs, run.code)) << "vem did not end in time";
    run.lines = process.lines(10000);
    return run;
}

std::vector<uint16_t> syntheticPixels(uint64_t n, uint64_t f, uint32_t w, uint32_t h) {
    std::vector<uint16_t> pixels;
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            pixels.push_back(zel::test::documentedPixel(n, f, x, y, w, h));
        }
    }
    return pixels;
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
