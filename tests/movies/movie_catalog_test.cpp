// The movie layer against vemsim: removals by name under renumbering, shared readers, restarts,
// refreshes racing removals, frames too large to count.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "movies/movie_catalog.h"
#include "tests/support/sim_test.h"
#include "vem/vem_file.h"
#include "vem/vem_interface.h"

namespace zel::vem::test {
namespace {

using zel::test::eventually;
using zel::test::syntheticFrames;

class Catalog : public zel::test::SimTest {
  protected:
    std::vector<std::string> names() {
        std::vector<std::string> out;
        for (const MovieDescription& m : catalog().list()) {
            out.push_back(m.entryName);
        }
        return out;
    }
    // The catalog over the process's drive interface, made on first use (after the settings).
    MovieCatalog& catalog() {
        static MovieCatalog c;
        return c;
    }
    std::vector<uint8_t> frame(MovieReader& reader, uint64_t n) {
        std::vector<uint8_t> bytes(reader.description().frameBytes);
        reader.readFrame(n, bytes.data());
        return bytes;
    }
    static MovieFailure failureOf(const std::function<void()>& call) {
        try {
            call();
        } catch (const MovieError& e) {
            return e.failure();
        }
        ADD_FAILURE() << "no MovieError";
        return MovieFailure::Refused;
    }
};

TEST_F(Catalog, DescribesAMovieAsNumbers) {
    ASSERT_TRUE(startSim({"--movie", "8x6x5", "--movie", "3x2x4:run_a"}));
    std::optional<MovieDescription> m = catalog().find("2-run_a");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->number, 2u);
    EXPECT_EQ(m->name, "run_a");
    EXPECT_EQ(m->index, 1u);
    EXPECT_EQ(m->width, 3u);
    EXPECT_EQ(m->height, 2u);
    EXPECT_EQ(m->frameCount, 4u);
    EXPECT_EQ(m->frameBytes, 12u);
    EXPECT_EQ(m->size, 48u);
    // Hosts name movies by entry name only: never a path, a stream or a near miss.
    for (const char* name : {"/2-run_a", "x/2-run_a", "2-run_a:info", "run_a", "2-run_", ""}) {
        EXPECT_FALSE(catalog().find(name)) << name;
    }
}

TEST_F(Catalog, ARemovalBehindAStaleListTakesTheNamedMovie) {
    ASSERT_TRUE(startSim({"--movies", "5x8x6x2"}));
    ASSERT_EQ(names().size(), 5u);
    // Hold back the change events, so the list still shows 1-sim at position 0 while another
    // client removes it: 3-sim moves to position 1 and 4-sim takes its old position 2.
    ASSERT_EQ(ctl("fault delay ord=12 count=3 ms=3000").substr(0, 2), "ok");
    ASSERT_EQ(ctl("event 7").substr(0, 2), "ok");  // the pending wait ends; the next is slowed
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(ctl("remove 0").substr(0, 2), "ok");
    ASSERT_TRUE(catalog().find("1-sim")) << "the list was refreshed too early to test anything";
    EXPECT_EQ(catalog().remove("3-sim").removed, "3-sim");
    const std::string listed = ctl("list");
    EXPECT_EQ(listed.find(" 3-sim "), std::string::npos) << listed;
    EXPECT_NE(listed.find(" 4-sim "), std::string::npos) << listed;
    EXPECT_EQ(names(), (std::vector<std::string>{"2-sim", "4-sim", "5-sim"}));
}

TEST_F(Catalog, ConcurrentRemovalsOfDifferentMoviesNeverTakeAThird) {
#if defined(_WIN32)
    // 400 client processes take many minutes under Wine, where a process start costs up to a
    // second; the removal lock's named mutex is left to the single-removal tests there.
    GTEST_SKIP() << "too many processes for Wine's start-up cost";
#endif
    constexpr int kRounds = 200;
    ASSERT_TRUE(startSim({"--movies", std::to_string(2 * kRounds) + "x2x2x1"}));
    const std::string client = zel::test::siblingProgram("movies_remove_child");
    for (int round = 0; round < kRounds; ++round) {
        // Each removes the movie the other's removal renumbers.
        const std::string a = std::to_string(2 * round + 1) + "-sim";
        const std::string b = std::to_string(2 * round + 2) + "-sim";
        zel::test::ChildProcess first;
        zel::test::ChildProcess second;
        ASSERT_TRUE(first.start(client, {a}));
        ASSERT_TRUE(second.start(client, {b}));
        int codeA = -1;
        int codeB = -1;
        ASSERT_TRUE(first.wait(30000, codeA));
        ASSERT_TRUE(second.wait(30000, codeB));
        // A client that found no service removed nothing (a pipe busy with many connecting
        // clients, under Wine): it tries again, alone.
        for (auto [code, name] : {std::pair<int*, std::string>{&codeA, a}, {&codeB, b}}) {
            for (int retry = 0; retry < 3 && *code == 3; ++retry) {
                zel::test::ChildProcess again;
                ASSERT_TRUE(again.start(client, {name}));
                ASSERT_TRUE(again.wait(30000, *code));
            }
        }
        // A removal that took a third movie fails here: it says so, or the third's own
        // removal finds it gone.
        ASSERT_EQ(codeA, 0) << "round " << round << " " << a;
        ASSERT_EQ(codeB, 0) << "round " << round << " " << b;
    }
    EXPECT_EQ(ctl("list").substr(0, 10), "ok count=0");
}

TEST_F(Catalog, ReadersOfOneMovieGetTheirOwnFramesInAnyOrder) {
    ASSERT_TRUE(startSim({"--movie", "8x6x5"}));
    const std::vector<uint8_t> all = syntheticFrames(1, 8, 6, 0, 5);
    constexpr size_t kFrame = 8 * 6 * 2;
    MovieReader a = catalog().open("1-sim");
    MovieReader b = catalog().open("1-sim");
    // Each step: which reader, from which byte, how many bytes. Half frames interleave with
    // the other reader's frames, which the shared section must not leak into.
    const struct {
        int reader;
        uint64_t offset;
        size_t bytes;
    } steps[] = {
        {0, 3 * kFrame, kFrame / 2},
        {1, 1 * kFrame, kFrame},
        {0, 3 * kFrame + kFrame / 2, kFrame / 2},
        {1, 4 * kFrame + 5, 7},
        {0, kFrame - 3, kFrame + 6},
        {1, 0, 5 * kFrame},
        {0, 2 * kFrame, 10 * kFrame},
    };
    for (const auto& s : steps) {
        std::vector<uint8_t> got(s.bytes);
        const size_t n = (s.reader == 0 ? a : b).read(s.offset, got.data(), got.size());
        const size_t expected = std::min<size_t>(s.bytes, all.size() - s.offset);
        ASSERT_EQ(n, expected) << s.offset;
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + n, all.begin() + s.offset))
            << "reader " << s.reader << " at " << s.offset;
    }
    // Dropping one leaves the other's file open at the service.
    { MovieReader gone = std::move(a); }
    EXPECT_EQ(frame(b, 4), syntheticFrames(1, 8, 6, 4, 1));
    MovieReader c = catalog().open("1-sim");
    EXPECT_EQ(frame(c, 0), syntheticFrames(1, 8, 6, 0, 1));
    EXPECT_EQ(frame(b, 2), syntheticFrames(1, 8, 6, 2, 1));
}

TEST_F(Catalog, AnOpenAfterAFailureReads) {
    ASSERT_TRUE(startSim({"--movie", "8x6x5"}));
    // A frame the service refuses once, then a section it refuses once.
    {
        MovieReader a = catalog().open("1-sim");
        ASSERT_EQ(ctl("fault error ord=6 count=1").substr(0, 2), "ok");
        EXPECT_EQ(failureOf([&] { frame(a, 0); }), MovieFailure::Refused);
    }
    MovieReader b = catalog().open("1-sim");
    EXPECT_EQ(frame(b, 1), syntheticFrames(1, 8, 6, 1, 1));
    b = MovieReader(catalog().open("1-sim"));
    { MovieReader drop = std::move(b); }
    ASSERT_EQ(ctl("fault error ord=4 count=1").substr(0, 2), "ok");
    EXPECT_EQ(failureOf([&] { catalog().open("1-sim"); }), MovieFailure::Refused);
    MovieReader c = catalog().open("1-sim");
    EXPECT_EQ(frame(c, 3), syntheticFrames(1, 8, 6, 3, 1));
}

TEST_F(Catalog, AfterARestartOnlyTheNewServicesBytesAreRead) {
    zel::test::setEnv("ZELVEM_RECONNECT", "1");
    // The same movie name comes back with another shape, or with the same one.
    for (const char* shape : {"4x4x3", "8x6x5"}) {
        ASSERT_TRUE(startSim({"--movie", "8x6x5"}));
        ASSERT_TRUE(eventually([&] {
            auto m = catalog().find("1-sim");
            return m && m->width == 8;
        }));
        MovieReader old = catalog().open("1-sim");
        EXPECT_EQ(frame(old, 0), syntheticFrames(1, 8, 6, 0, 1));
        stopSim();
        ASSERT_TRUE(startSim({"--movie", shape}));
        const uint32_t w = shape[0] - '0';
        const uint32_t h = shape[2] - '0';
        // The list follows the new service; a new reader gets its bytes, the old one nothing.
        ASSERT_TRUE(eventually([&] {
            auto m = catalog().find("1-sim");
            if (!m || m->width != w) {
                return false;
            }
            try {
                MovieReader fresh = catalog().open("1-sim");
                return frame(fresh, 2) == syntheticFrames(1, w, h, 2, 1);
            } catch (const MovieError&) {
                return false;  // the request channel is still finding the new service
            }
        })) << shape;
        EXPECT_EQ(failureOf([&] { frame(old, 1); }), MovieFailure::Gone) << shape;
        stopSim();
    }
}

TEST_F(Catalog, ARefreshRacingRemovalsListsOnlyMoviesOfTheDrive) {
    constexpr int kMovies = 60;
    ASSERT_TRUE(startSim({"--movies", std::to_string(kMovies) + "x2x2x1"}));
    std::set<std::string> known;
    for (int i = 1; i <= kMovies; ++i) {
        known.insert(std::to_string(i) + "-sim");
    }
    std::atomic<bool> done{false};
    std::thread remover([&] {
        for (int i = 0; i < kMovies - 5; ++i) {
            ctl("remove " + std::to_string(i % 3));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        done = true;
    });
    int listings = 0;
    while (!done) {
        for (const std::string& name : names()) {
            ASSERT_TRUE(known.count(name)) << "listed '" << name << "'";
        }
        ++listings;
    }
    remover.join();
    EXPECT_GT(listings, 0);
    EXPECT_TRUE(eventually([&] { return names().size() == 5u; }));
}

TEST_F(Catalog, FramesOfFourGiBOrMoreReadNothing) {
    ASSERT_TRUE(startSim({"--movie", "65535x32769x2:huge", "--movie", "8x6x2"}));
    std::optional<MovieDescription> huge = catalog().find("1-huge");
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->frameBytes, 65535ull * 32769 * 2);
    EXPECT_FALSE(huge->framesReadable());
    EXPECT_EQ(failureOf([&] { catalog().open("1-huge"); }), MovieFailure::Unreadable);
    // Through the drive interface too: a file of length 0 whose reads return nothing.
    TSharedPtr<IFile> file = instance()->OpenFile(CStringW(u"/1-huge"), kOpenRead);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->GetSize(), 0);
    uint8_t byte = 0;
    EXPECT_EQ(file->Read(&byte, 1), 0u);
    MovieReader small = catalog().open("2-sim");
    EXPECT_EQ(frame(small, 1), syntheticFrames(2, 8, 6, 1, 1));
}

}  // namespace
}  // namespace zel::vem::test
