// SimTest: a test with a vemsim of its own, in private pipe and data folders; polling waits and
// the bytes of synthetic frames.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
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

// Frames `first` to `first + count - 1` of synthetic movie `number`, as the drive stores them.
inline std::vector<uint8_t> syntheticFrames(uint64_t number, uint32_t w, uint32_t h, uint64_t first,
                                            uint64_t count) {
    const size_t frameBytes = size_t{w} * h * 2;
    std::vector<uint8_t> bytes(frameBytes * count);
    for (uint64_t i = 0; i < count; ++i) {
        vem::sim::renderSyntheticFrame(number, first + i, w, h, bytes.data() + frameBytes * i);
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
        vem::sim::controlRequest("zelvemsvc", line, answer);
        return answer;
    }

    std::string dir;
    std::unique_ptr<ChildProcess> sim;
};

}  // namespace zel::test
