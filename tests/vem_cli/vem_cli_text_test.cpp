// What vem says: names from the drive escaped, the movie a user meant, a foreign pipe folder
// explained, and a status that returns on a hung service.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#ifndef _WIN32
#include <unistd.h>

#include "tests/support/other_user.h"
#endif

#include "vem_cli_test_support.h"

using namespace vemcli::test;

namespace {

std::string hex(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

// No byte of a terminal control (C0 but the line end, DEL, C1 as UTF-8, the separators) in
// `text`.
bool printable(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\n') || c == 0x7F ||
            (c == 0xC2 && i + 1 < text.size() && (text[i + 1] & 0xE0) == 0x80) ||
            text.compare(i, 3, "\xE2\x80\xA8") == 0 || text.compare(i, 3, "\xE2\x80\xA9") == 0) {
            return false;
        }
    }
    return true;
}

TEST_F(VemTest, NamesFromTheDriveAreShownEscaped) {
    ASSERT_TRUE(startSim({"--movies", "1x8x8x2"}));
    const std::string evil = "evil\x1B]0;owned\x07\xC2\x85\xE2\x80\xA8\n\xFF";
    ASSERT_EQ(ctl("add-unchecked 8 8 2 " + hex(evil)).rfind("ok", 0), 0u);
    VemRun table = vem({"ls"});
    ASSERT_EQ(table.code, 0) << table.text();
    EXPECT_TRUE(printable(table.text())) << table.text();
    ASSERT_EQ(table.lines.size(), 3u) << table.text();  // the line end in the name is no row
    // (The drive interface itself turns the byte that is not UTF-8 into U+FFFD.)
    EXPECT_NE(table.lines[2].find("2-evil\\x1b]0;owned\\x07\\u0085\\u2028\\n"), std::string::npos)
        << table.lines[2];
    VemRun json = vem({"ls", "--json"});
    ASSERT_EQ(json.code, 0) << json.text();
    EXPECT_TRUE(printable(json.text())) << json.text();
    ASSERT_EQ(json.json().size(), 2u);
    // A name that is not found is answered with the close one, escaped in the message too.
    VemRun missing = vem({"info", "2-evi"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_TRUE(printable(missing.text())) << missing.text();
    EXPECT_NE(missing.text().find("did you mean 2-evil\\x1b"), std::string::npos) << missing.text();
}

TEST_F(VemTest, ReadersFindTheRecordedNameRmTakesTheEntryName) {
    ASSERT_TRUE(startSim(
        {"--movie", "40x30x5:bigrun", "--movie", "8x8x2:run_a", "--movie", "8x8x2:run_a"}));
    VemRun info = vem({"info", "bigrun", "--json"});
    ASSERT_EQ(info.code, 0) << info.text();
    EXPECT_EQ(info.json()["name"], "1-bigrun");
    VemRun cat = vem({"cat", "bigrun", "-o", file("movie.raw")});
    ASSERT_EQ(cat.code, 0) << cat.text();
    EXPECT_EQ(readFile(file("movie.raw")), zel::test::syntheticFrames(1, 40, 30, 0, 5));
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"info", "run_a"}, "no such movie (did you mean 2-run_a or 3-run_a?)"},
        {{"frame", "bigrnu", "0", "-o", file("f.pgm")}, "(did you mean 1-bigrun?)"},
        {{"export", "4-bigrun", "-o", file("s.tif")}, "(did you mean 1-bigrun?)"},
        {{"rm", "bigrun"}, "(did you mean 1-bigrun?)"},
    };
    for (const Case& c : cases) {
        VemRun run = vem(c.args);
        EXPECT_EQ(run.code, 1) << run.text();
        EXPECT_NE(run.text().find(c.message), std::string::npos) << run.text();
    }
    EXPECT_EQ(vem({"ls", "--json"}).json().size(), 3u);  // rm deleted nothing
}

#ifndef _WIN32
// The default pipe folder in /tmp, made first by another user, blocks the service: vem says
// whose it is and how to move away from it.
TEST_F(VemTest, AForeignTmpPipeFolderIsExplained) {
    zel::test::OtherUser other;
    std::string why;
    if (!zel::test::otherUser(other, why)) {
        GTEST_SKIP() << why;
    }
    const std::string blocked = "/tmp/zelvem-" + std::to_string(geteuid());
    if (std::filesystem::exists(blocked)) {
        GTEST_SKIP() << blocked << " exists already; it is not this test's to change";
    }
    ASSERT_TRUE(std::filesystem::create_directory(blocked));
    ASSERT_TRUE(zel::test::giveTo(other, blocked));
    const std::string pipes = std::getenv("ZELVEM_PIPE_DIR");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string keptRuntime = runtime ? runtime : "";
    zel::test::setEnv("ZELVEM_PIPE_DIR", "");
    zel::test::setEnv("XDG_RUNTIME_DIR", "");
    VemRun status = vem({"status"});
    zel::test::setEnv("ZELVEM_PIPE_DIR", pipes);
    zel::test::setEnv("XDG_RUNTIME_DIR", keptRuntime);
    std::filesystem::remove(blocked);
    EXPECT_EQ(status.code, 1) << status.text();
    for (const std::string& part :
         {"pipe folder " + blocked + " belongs to user " + std::to_string(other.uid),
          std::string("XDG_RUNTIME_DIR"), std::string("ZELVEM_PIPE_DIR")}) {
        EXPECT_NE(status.text().find(part), std::string::npos) << part << "\n" << status.text();
    }
}
#endif

// A service that takes every request but never answers does not hold status.
TEST_F(VemTest, StatusReturnsOnAHungService) {
    ASSERT_TRUE(startSim({"--movies", "1x8x8x1", "--fault", "delay ms=30000 count=1000000"}));
    zel::test::setEnv("ZELVEM_TIMEOUT_MS", "1000");
    const auto started = std::chrono::steady_clock::now();
    VemRun status = vem({"status"}, 40000);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    zel::test::setEnv("ZELVEM_TIMEOUT_MS", "");
    EXPECT_EQ(status.code, 1) << status.text();
    EXPECT_NE(status.text().find("does not answer"), std::string::npos) << status.text();
    EXPECT_LT(seconds, 15) << status.text();
}

}  // namespace
