// Tests of shared-memory sections on every platform, including one made by another process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "service/shared_section.h"
#include "tests/service/transport_test_support.h"

namespace zel::vem {
namespace {

class SharedSectionTest : public ::testing::Test {
  protected:
    // Section names are machine-wide on every platform: keep them apart per process.
    std::string uniqueName(const char* stem) { return scope.uniqueName(stem); }

    test::PipeTestScope scope;
};

void expectEmpty(const SharedSection& section) {
    EXPECT_EQ(section.name(), "");
    EXPECT_EQ(section.data(), nullptr);
    EXPECT_EQ(section.size(), 0u);
}

TEST_F(SharedSectionTest, OpenOfAMissingNameFails) {
    SharedSection section;
    EXPECT_FALSE(section.open(uniqueName("zvnosuch").c_str()));
    expectEmpty(section);
    EXPECT_FALSE(section.open(""));
    expectEmpty(section);
}

TEST_F(SharedSectionTest, OpenReportsTheMappedSizeInWholePages) {
    // requested size -> size seen by open (4 KiB pages)
    const struct {
        uint64_t created;
        uint64_t opened;
    } cases[] = {{1, 4096}, {4095, 4096}, {4096, 4096}, {4097, 8192}, {100000, 102400}};
    for (const auto& c : cases) {
        SharedSection creator;
        const std::string name = uniqueName("zvsize");
        ASSERT_TRUE(creator.create(name.c_str(), c.created)) << c.created;
        EXPECT_EQ(creator.size(), c.created);
        EXPECT_EQ(creator.name(), name);

        SharedSection reader;
        ASSERT_TRUE(reader.open(name.c_str())) << c.created;
        EXPECT_EQ(reader.size(), c.opened) << c.created;
        EXPECT_EQ(reader.name(), name);
        // The whole reported size is mapped and shared with the creator.
        auto* bytes = static_cast<unsigned char*>(reader.data());
        bytes[c.created - 1] = 0x5A;
        EXPECT_EQ(static_cast<unsigned char*>(creator.data())[c.created - 1], 0x5A);
        if (c.opened > c.created) {
            EXPECT_EQ(bytes[c.opened - 1], 0);  // the page's tail past the section's end
        }
    }
}

TEST_F(SharedSectionTest, CreateNeverAdoptsAnExistingSection) {
    const std::string name = uniqueName("zvexists");
    SharedSection first;
    ASSERT_TRUE(first.create(name.c_str(), 4096));
    std::memset(first.data(), 0xC3, 4096);

    SharedSection second;
    EXPECT_FALSE(second.create(name.c_str(), 8192));
    expectEmpty(second);

    SharedSection reader;
    ASSERT_TRUE(reader.open(name.c_str()));
    EXPECT_EQ(reader.size(), 4096u);  // not resized by the failed create
    const auto* bytes = static_cast<const unsigned char*>(reader.data());
    EXPECT_EQ(bytes[0], 0xC3);
    EXPECT_EQ(bytes[4095], 0xC3);
}

TEST_F(SharedSectionTest, CreateRefusesEmptyAndZeroSized) {
    SharedSection section;
    EXPECT_FALSE(section.create("", 4096));
    expectEmpty(section);
    EXPECT_FALSE(section.create(uniqueName("zvzero").c_str(), 0));
    expectEmpty(section);
}

TEST_F(SharedSectionTest, GlobalAccessPutsTheGlobalPrefixInFront) {
    const std::string name = uniqueName("zvglob");
    SharedSection creator;
    ASSERT_TRUE(creator.create(name.c_str(), 100, GlobalAccess));
    EXPECT_EQ(creator.name(), "Global\\" + name);
    static_cast<char*>(creator.data())[7] = 'g';

    SharedSection reader;
    ASSERT_TRUE(reader.open(("Global\\" + name).c_str()));
    EXPECT_EQ(static_cast<const char*>(reader.data())[7], 'g');
}

TEST_F(SharedSectionTest, CreateUniqueNamesArePrefixAndUpperCaseHex) {
    const std::string prefix = uniqueName("zvuniq") + "_";
    const std::regex local("^" + prefix + "(0|[1-9A-F][0-9A-F]{0,3})$");
    const std::regex global("^Global\\\\" + prefix + "(0|[1-9A-F][0-9A-F]{0,3})$");
    for (int i = 0; i < 20; ++i) {
        SharedSection section;
        const bool isGlobal = i % 2 == 1;
        ASSERT_TRUE(section.createUnique(prefix.c_str(), 64, isGlobal ? GlobalAccess : 0));
        EXPECT_TRUE(std::regex_match(section.name(), isGlobal ? global : local)) << section.name();
        EXPECT_EQ(section.size(), 64u);
        ASSERT_NE(section.data(), nullptr);
        SharedSection reader;
        EXPECT_TRUE(reader.open(section.name().c_str())) << section.name();
    }
}

TEST_F(SharedSectionTest, CreateUniqueSkipsNamesInUse) {
    const std::string prefix = uniqueName("zvskip") + "_";
    // The name the first draw would give is taken: createUnique must move on, not adopt it.
    std::srand(1234);
    char taken[64];
    std::snprintf(taken, sizeof(taken), "%X", static_cast<unsigned>(std::rand()) & 0x7FFFu);
    SharedSection occupant;
    ASSERT_TRUE(occupant.create((prefix + taken).c_str(), 4096));
    std::memset(occupant.data(), 0x11, 4096);

    std::srand(1234);
    SharedSection section;
    ASSERT_TRUE(section.createUnique(prefix.c_str(), 4096));
    EXPECT_NE(section.name(), prefix + taken);
    EXPECT_NE(section.data(), occupant.data());
    EXPECT_EQ(static_cast<const unsigned char*>(occupant.data())[0], 0x11);
}

TEST_F(SharedSectionTest, MoveAssignmentHandsOverAndReleases) {
    const std::string nameA = uniqueName("zvmovea");
    const std::string nameB = uniqueName("zvmoveb");
    SharedSection a, b;
    ASSERT_TRUE(a.create(nameA.c_str(), 4096));
    ASSERT_TRUE(b.create(nameB.c_str(), 8192));
    void* viewA = a.data();

    SharedSection target;
    target = std::move(a);
    expectEmpty(a);
    EXPECT_EQ(target.name(), nameA);
    EXPECT_EQ(target.data(), viewA);
    EXPECT_EQ(target.size(), 4096u);

    target = std::move(b);  // releases section A
    expectEmpty(b);
    EXPECT_EQ(target.name(), nameB);
    EXPECT_EQ(target.size(), 8192u);
    SharedSection probe;
    EXPECT_FALSE(probe.open(nameA.c_str()));  // nobody holds A any more

    SharedSection& alias = target;
    target = std::move(alias);
    EXPECT_EQ(target.name(), nameB);
    EXPECT_NE(target.data(), nullptr);

    target.close();
    expectEmpty(target);
    target.close();
    expectEmpty(target);
}

TEST_F(SharedSectionTest, SectionCreatedByAnotherProcessIsOpenedAndShared) {
    const std::string prefix = uniqueName("zvchild") + "_";
    for (const char* mode : {"local", "global"}) {
        test::ChildProcess child("service_section_helper", {prefix, "10000", mode});
        ASSERT_TRUE(child.started());
        const std::string name = child.readLine();
        ASSERT_NE(name, "");
        ASSERT_NE(name, "failed");
        EXPECT_EQ(name.rfind(std::string(mode) == "global" ? "Global\\" + prefix : prefix, 0), 0u)
            << name;

        SharedSection section;
        ASSERT_TRUE(section.open(name.c_str())) << name;
        EXPECT_EQ(section.size(), 12288u);
        const auto* bytes = static_cast<const unsigned char*>(section.data());
        size_t mismatches = 0;
        for (size_t i = 0; i < 10000; ++i) {
            mismatches += bytes[i] != static_cast<unsigned char>(i * 7 + 3);
        }
        EXPECT_EQ(mismatches, 0u);

        // Writes from this side are seen by the creator.
        static_cast<unsigned char*>(section.data())[9999] = 201;
        ASSERT_TRUE(child.writeLine("peek 9999"));
        EXPECT_EQ(child.readLine(), "201");
        EXPECT_EQ(child.finish(), 0);
        // Our mapping stays usable after the creator ended.
        EXPECT_EQ(bytes[0], 3);
    }
}

}  // namespace
}  // namespace zel::vem
