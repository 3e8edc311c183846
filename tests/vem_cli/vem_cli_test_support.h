// What the vem end-to-end tests share: a simulator per test, vem runs, the expected bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/sim_test.h"

namespace vemcli::test {

using Bytes = std::vector<uint8_t>;

// One finished run of vem: exit code and every output line (stdout and stderr together).
struct VemRun {
    int code = -1;
    std::vector<std::string> lines;
    std::string text() const;
    // The output read as one JSON value; a test failure and null when it is not JSON.
    nlohmann::json json() const;
};

class VemTest : public zel::test::SimTest {
  protected:
    void SetUp() override;

    // vem with `args`, to the end (at most `timeoutMs`).
    VemRun vem(const std::vector<std::string>& args, int timeoutMs = 60000);
    // A path in the folder that receives vem's output files.
    std::string file(const std::string& name) const { return outDir + "/" + name; }

    std::string outDir;
};

// The pixels of frame `f` of synthetic movie `n`, row by row.
std::vector<uint16_t> syntheticPixels(uint64_t n, uint64_t f, uint32_t w, uint32_t h);
Bytes readFile(const std::string& path);
bool fileExists(const std::string& path);
// The names of a folder's entries, sorted.
std::vector<std::string> folderEntries(const std::string& dir);

}  // namespace vemcli::test
