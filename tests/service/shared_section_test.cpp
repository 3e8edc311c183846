// Tests of shared-memory sections on every platform, including one made by another process.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <regex>
#include <string>

#include "service/shared_section.h"
#include "tests/service/transport_test_support.h"
#include "tests/support/child_process.h"

namespace zel::vem {
namespace {

bool isEmpty(const SharedSection& section) {
    return section.name().empty() && section.data() == nullptr && section.size() == 0;
}

class SharedSectionTest : public ::testing::Test {
  protected:
    // Section names are machine-wide on every platform: the scope keeps them apart per process.
    test::PipeTestScope scope;
};

TEST_F(SharedSectionTest, FailedCallsLeaveTheObjectEmpty) {
    const std::string missing = scope.uniqueName("zvnosuch");
    const std::string taken = scope.uniqueName("zvtaken");
    SharedSection occupant;
    ASSERT_TRUE(occupant.create(taken.c_str(), 4096));
    std::memset(occupant.data(), 0xC3, 4096);
    const struct {
        const char* what;
        std::function<bool(SharedSection&)> call;
    } table[] = {
        {"open missing", [&](SharedSection& s) { return s.open(missing.c_str()); }},
        {"open empty name", [](SharedSection& s) { return s.open(""); }},
        {"create empty name", [](SharedSection& s) { return s.create("", 4096); }},
        {"create zero size", [&](SharedSection& s) { return s.create(missing.c_str(), 0); }},
        {"create existing", [&](SharedSection& s) { return s.create(taken.c_str(), 8192); }},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.what);
        SharedSection section;  // holding a section before: a failure must not keep it
        ASSERT_TRUE(section.create(scope.uniqueName("zvheld").c_str(), 64));
        EXPECT_FALSE(row.call(section));
        EXPECT_TRUE(isEmpty(section));
    }
    // The existing section was not adopted, resized or cleared by the failed create.
    SharedSection reader;
    ASSERT_TRUE(reader.open(taken.c_str()));
    EXPECT_EQ(reader.size(), 4096u);
    EXPECT_EQ(static_cast<const unsigned char*>(reader.data())[4095], 0xC3);
}

TEST_F(SharedSectionTest, OpenReportsTheMappedSizeInWholePages) {
    // created size -> size seen by open (4 KiB pages, as VirtualQuery reports them)
    const struct {
        uint64_t created;
        uint64_t opened;
        unsigned flags;
    } cases[] = {{1, 4096, 0},
                 {4095, 4096, GlobalAccess},
                 {4096, 4096, 0},
                 {4097, 8192, 0},
                 {100000, 102400, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.created);
        const std::string name = scope.uniqueName("zvsize");
        SharedSection creator, reader;
        ASSERT_TRUE(creator.create(name.c_str(), c.created, c.flags));
        EXPECT_EQ(creator.size(), c.created);
        EXPECT_EQ(creator.name(), (c.flags ? "Global\\" : "") + name);
        ASSERT_TRUE(reader.open(creator.name().c_str()));
        EXPECT_EQ(reader.size(), c.opened);
        // The whole reported size is mapped, shared with the creator, zero past the end; readAt
        // sees the same bytes.
        static_cast<unsigned char*>(creator.data())[c.created - 1] = 0x5A;
        const auto* bytes = static_cast<const unsigned char*>(reader.data());
        EXPECT_EQ(bytes[c.created - 1], 0x5A);
        EXPECT_EQ(bytes[c.opened - 1], c.opened > c.created ? 0 : 0x5A);
        unsigned char last[2] = {1, 1};
        EXPECT_EQ(reader.readAt(c.opened - 1, last, 2), 1u);
        EXPECT_EQ(last[0], c.opened > c.created ? 0 : 0x5A);
    }
}

TEST_F(SharedSectionTest, CreateUniqueNamesArePrefixAndUpperCaseHexNotInUse) {
    const std::string prefix = scope.uniqueName("zvuniq") + "_";
    // The name the first draw gives is taken: createUnique must move on, not adopt it.
    std::srand(1234);
    char taken[16];
    std::snprintf(taken, sizeof(taken), "%X", static_cast<unsigned>(std::rand()) & 0x7FFFu);
    SharedSection occupant;
    ASSERT_TRUE(occupant.create((prefix + taken).c_str(), 64));
    std::srand(1234);
    const std::string digits = "(0|[1-9A-F][0-9A-F]{0,3})$";
    const std::regex local("^" + prefix + digits), global("^Global\\\\" + prefix + digits);
    for (int i = 0; i < 20; ++i) {
        const bool isGlobal = i % 2 == 1;
        SharedSection section, reader;
        ASSERT_TRUE(section.createUnique(prefix.c_str(), 64, isGlobal ? GlobalAccess : 0));
        EXPECT_NE(section.name(), prefix + taken);
        EXPECT_TRUE(std::regex_match(section.name(), isGlobal ? global : local)) << section.name();
        EXPECT_TRUE(reader.open(section.name().c_str())) << section.name();
    }
}

TEST_F(SharedSectionTest, MoveAssignmentHandsOverAndReleases) {
    const std::string nameA = scope.uniqueName("zvmovea");
    SharedSection a, b, target;
    ASSERT_TRUE(a.create(nameA.c_str(), 4096));
    ASSERT_TRUE(b.create(scope.uniqueName("zvmoveb").c_str(), 8192));
    void* viewB = b.data();
    target = std::move(a);
    target = std::move(b);  // releases section A: nobody holds it any more
    EXPECT_TRUE(isEmpty(a) && isEmpty(b));
    EXPECT_EQ(target.data(), viewB);
    EXPECT_EQ(target.size(), 8192u);
    SharedSection probe;
    EXPECT_FALSE(probe.open(nameA.c_str()));
    SharedSection& alias = target;
    target = std::move(alias);  // keeps what it holds
    EXPECT_EQ(target.data(), viewB);
    target.close();
    target.close();
    EXPECT_TRUE(isEmpty(target));
}

TEST_F(SharedSectionTest, SectionCreatedByAnotherProcessIsOpenedAndShared) {
    for (const std::string mode : {"local", "global"}) {
        SCOPED_TRACE(mode);
        const std::string name = scope.uniqueName("zvchild");
        const std::string marker = scope.directory() + "/mapped-" + mode;
        zel::test::ChildProcess child;
        ASSERT_TRUE(child.start(zel::test::siblingProgram("service_section_helper"),
                                {name, "10000", mode, marker}));
        ASSERT_TRUE(child.waitForLine("created", 10000));

        SharedSection section;
        ASSERT_TRUE(section.open((mode == "global" ? "Global\\" + name : name).c_str()));
        EXPECT_EQ(section.size(), 12288u);
        const auto* bytes = static_cast<const unsigned char*>(section.data());
        size_t mismatches = 0;
        for (size_t i = 0; i < 10000; ++i) {
            mismatches += bytes[i] != static_cast<unsigned char>(i * 7 + 3);
        }
        EXPECT_EQ(mismatches, 0u);
        std::ofstream(std::filesystem::u8path(marker)) << "mapped";
        ASSERT_TRUE(child.waitForLine("wrote", 10000));
        int code = -1;
        ASSERT_TRUE(child.wait(10000, code));
        EXPECT_EQ(code, 0);
        // The creator's write shows in our view and through readAt, and both outlive it.
        unsigned char tail[4] = {};
        EXPECT_EQ(section.readAt(9998, tail, sizeof tail), 4u);
        EXPECT_EQ(bytes[9999], 201);
        EXPECT_EQ(tail[1], 201);
        EXPECT_EQ(tail[2], 0);  // past the section's end, within its last page: zeros
        EXPECT_EQ(section.readAt(12286, tail, sizeof tail), 2u);  // cut at the mapped size
    }
}

}  // namespace
}  // namespace zel::vem
