// SimTest: a test with a vemsim of its own, in private pipe and data folders; polling waits and
// the bytes of synthetic frames.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tools/vemsim/control.h"
#include "tools/vemsim/synthetic.h"

namespace zel::test {

// Polls `done` every 10 ms; false when it still does not hold after `limit`.
template <class F>
bool eventually(F done, std::chrono::steady_clock::duration limit = std::chrono::seconds(10)) {
    for (auto end = std::chrono::steady_clock::now() + limit; !done();) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Pixel (x, y) of frame f of synthetic movie n, w x h, written down from docs/vemsim.md on its
// own: the tests check what the drive delivers against the documented formula, not against
// vemsim's renderer.
inline uint16_t documentedPixel(uint64_t n, uint64_t f, uint64_t x, uint64_t y, uint64_t w,
                                uint64_t h) {
    const uint64_t side = std::max<uint64_t>(1, std::min(w, h) / 8);
    const bool inside = (x + w - (3 * f) % w) % w < side && (y + h - (2 * f) % h) % h < side;
    const uint64_t high = inside ? 255 : (x + y + 4 * f + 16 * n) % 256;
    const uint64_t low = (7 * x + 13 * y + 5 * f + 31 * n) % 251;
    return static_cast<uint16_t>(high * 256 + low);
}

// Frames `first` to `first + count - 1` of synthetic movie `number`, as the drive stores them
// (little-endian pixels, rows top to bottom).
inline std::vector<uint8_t> syntheticFrames(uint64_t number, uint32_t w, uint32_t h, uint64_t first,
                                            uint64_t count) {
    std::vector<uint8_t> bytes;
    bytes.reserve(size_t{w} * h * 2 * count);
    for (uint64_t f = first; f < first + count; ++f) {
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                const uint16_t p = documentedPixel(number, f, x, y, w, h);
                bytes.push_back(static_cast<uint8_t>(p & 0xFF));
                bytes.push_back(static_cast<uint8_t>(p >> 8));
            }
        }
    }
    return bytes;
}

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = makeTempDir("zelvem_test_");
        ASSERT_FALSE(dir.empty());
        // POSIX: this test's own pipes and data; vemsim, vem and the library all inherit them.
        ASSERT_TRUE(setEnv("ZELVEM_PIPE_DIR", dir + "/pipes"));
        ASSERT_TRUE(setEnv("XDG_DATA_HOME", dir + "/data"));
        setEnv("ZELVEM_ENABLE_EMULATOR", "");
    }
    void TearDown() override {
        stopSim();
        removeTree(dir);
    }

    // Starts vemsim with `args` in `process` and waits until it serves.
    static bool startSim(const std::vector<std::string>& args, ChildProcess& process) {
        return process.start(siblingProgram("vemsim"), args) &&
               process.waitForLine("vemsim: serving", 30000);
    }
    // The same as `sim`, replacing the one that ran before.
    bool startSim(const std::vector<std::string>& args) {
        sim = std::make_unique<ChildProcess>();
        return startSim(args, *sim);
    }
    // Lets `sim` quit without an armed fault in the way; kills it when it does not.
    void stopSim() {
        if (sim && sim->running()) {
            ctl("clear");
            ctl("quit");
            int code = 0;
            if (!sim->wait(20000, code)) {
                sim->kill();
            }
        }
        sim.reset();
    }
    // A line to vemsim's control pipe; returns the answer.
    static std::string ctl(const std::string& line) {
        std::string answer;
        if (!vem::sim::controlRequest("zelvemsvc", line, answer) &&
            answer.compare(0, 15, "error no answer") == 0) {
            // Not a refusal but no exchange at all: worth seeing when a test later fails.
            std::fprintf(stderr, "ctl \"%s\": %s\n", line.c_str(), answer.c_str());
        }
        return answer;
    }
    // A counter of `ctl stats` ("frames", "requests", "faults"), or -1 when vemsim gave none.
    static long long simCount(const std::string& key) {
        const std::string stats = ctl("stats");
        const size_t at = stats.find(" " + key + "=");
        return at == std::string::npos ? -1 : std::stoll(stats.substr(at + key.size() + 2));
    }

    std::string dir;
    std::unique_ptr<ChildProcess> sim;
};

}  // namespace zel::test
