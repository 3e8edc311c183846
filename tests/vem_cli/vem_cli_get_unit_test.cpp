// vem get's pure parts: names mapped for NTFS, manifest lines, the running hash.
#include <gtest/gtest.h>

#include <string>

#include "get/content_hash.h"
#include "get/local_names.h"
#include "get/manifest.h"

namespace {

using vemcli::get::ContentHash;
using vemcli::get::Manifest;

TEST(GetNames, NtfsSafeNames) {
    const struct {
        const char* name;
        const char* mapped;
    } cases[] = {
        {"12-run_a.dat", "12-run_a.dat"},
        {"12-a:b.info", "12-a%3Ab.info"},
        {"12-<>\"|?*\\/", "12-%3C%3E%22%7C%3F%2A%5C%2F"},
        {"12-100%", "12-100%25"},  // '%' too, so that every mapping reads back one way
        {"12-tab\there", "12-tab%09here"},
        {"12-run.", "12-run%2E"},
        {"12-run ", "12-run%20"},
        {"CON", "%43ON"},
        {"nul.dat", "%6Eul.dat"},
        {"com7.info", "%63om7.info"},
        {"LPT9", "%4CPT9"},
        {"COM0", "COM0"},  // not a device
        {"CONSOLE.dat", "CONSOLE.dat"},
        {"12-CON", "12-CON"},
        {"12-\xC3\xA9t\xC3\xA9", "12-\xC3\xA9t\xC3\xA9"},  // UTF-8 stays
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vemcli::get::ntfsSafeName(c.name), c.mapped) << c.name;
    }
}

TEST(GetManifest, LinesReadBackAsWritten) {
    const std::string hex = "0123456789abcdef0123456789abcdef";
    for (const std::string name :
         {"1-sim", "12-run a.info", "back\\slash", "line\nbreak", "  lead", "x  y"}) {
        const std::string line = Manifest::entryLine(name, hex);
        std::string readName;
        std::string readHex;
        bool malformed = true;
        ASSERT_TRUE(Manifest::parseLine(line, readName, readHex, malformed)) << line;
        EXPECT_EQ(readName, name);
        EXPECT_EQ(readHex, hex);
        EXPECT_EQ(line.find('\n'), std::string::npos);
    }
    const struct {
        const char* line;
        bool malformed;
    } notEntries[] = {
        {"", false},
        {"# 1-a%3Ab is 1-a:b on the drive", false},
        {"0123  name", true},                                 // too short a hash
        {"0123456789abcdef0123456789abcdeg  name", true},     // not hex
        {"0123456789abcdef0123456789abcdef name", true},      // one space
        {"0123456789abcdef0123456789abcdef  ", true},         // no name
        {"\\0123456789abcdef0123456789abcdef  a\\qb", true},  // unknown escape
    };
    for (const auto& c : notEntries) {
        std::string name;
        std::string hex;
        bool malformed = false;
        EXPECT_FALSE(Manifest::parseLine(c.line, name, hex, malformed)) << c.line;
        EXPECT_EQ(malformed, c.malformed) << c.line;
    }
}

TEST(GetHash, RunningHashIsXxh128OfTheWhole) {
    // XXH3-128 of nothing, as `xxhsum -H2 /dev/null` prints it.
    EXPECT_EQ(ContentHash::of("", 0), "99aa06d3014798d86001c324468d497f");
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7 + i / 251);
    }
    ContentHash pieces;
    for (size_t at = 0; at < data.size(); at += 4093) {
        pieces.update(data.data() + at, std::min<size_t>(4093, data.size() - at));
    }
    EXPECT_EQ(pieces.hex(), ContentHash::of(data.data(), data.size()));
    data[5000] ^= 1;
    EXPECT_NE(pieces.hex(), ContentHash::of(data.data(), data.size()));
}

}  // namespace
