// ChildProcess on Windows: a start the loader failed before the program ran is made again, a
// bounded number of times, and the caller sees only the run that counts.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/child_process.h"

namespace zel::test {
namespace {

TEST(ChildProcess, AStartTheLoaderFailedIsMadeAgain) {
    const std::string dir = makeTempDir("zel_loader_");
    ASSERT_FALSE(dir.empty());
    const std::string counter = dir + "/failures";
    ASSERT_TRUE(setEnv("ZEL_TEST_LOADER_FAILURES", counter));
    struct Case {
        char failures;      // loads to fail before one succeeds
        bool ran;           // whether the program got to run in the end
        char failuresLeft;  // what the counter says afterwards
    };
    // One start and at most three more.
    const Case cases[] = {{'0', true, '0'}, {'1', true, '0'}, {'3', true, '0'}, {'6', false, '2'}};
    for (const Case& c : cases) {
        std::ofstream(counter, std::ios::binary) << c.failures;
        ChildProcess probe;
        ASSERT_TRUE(probe.start(siblingProgram("loader_failure_probe"), {}));
        int code = -1;
        ASSERT_TRUE(probe.wait(60000, code)) << c.failures;
        const std::vector<std::string> lines = probe.lines(10000);
        if (c.ran) {
            EXPECT_EQ(code, 0) << c.failures;
            EXPECT_EQ(lines, std::vector<std::string>{"ran 7"}) << c.failures;
        } else {
            EXPECT_EQ(static_cast<unsigned>(code), 0xC0000142u) << c.failures;
            EXPECT_TRUE(lines.empty()) << c.failures;
        }
        char left = '?';
        std::ifstream(counter, std::ios::binary) >> left;
        EXPECT_EQ(left, c.failuresLeft) << c.failures;
    }
    setEnv("ZEL_TEST_LOADER_FAILURES", "");
    removeTree(dir);
}

}  // namespace
}  // namespace zel::test
