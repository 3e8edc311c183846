// The drive interface against vemsim as a separate process: entries, listings, frame reads, the
// info stream, removal, change events with their handlers, faults and shut-down.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "service/irig_time.h"
#include "suite/file/info_block.h"
#include "tests/support/sim_test.h"
#include "tools/vemsim/synthetic.h"
#include "vem/exports.h"
#include "vem/vem_interface.h"

namespace zel::vem::test {
namespace {

using zel::test::eventually;
using Clock = std::chrono::steady_clock;

// vemsim numbers synthetic movies from 1: movie 1 is 8x6 with 5 frames, movie 2 is 3x2 with 4
// frames named run_a, movie 3 is 4x4 with 2 frames named cal.
constexpr uint32_t kW = 8, kH = 6, kFrames = 5, kFrameBytes = kW * kH * 2;

class Drive : public zel::test::SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(
            startSim({"--movie", "8x6x5", "--movie", "3x2x4:run_a", "--movie", "4x4x2:cal"}));
        vem = instance();
        vem->SetCurrentWorkingDirectory(CStringW(u"/"));
    }

    CVemInterface* vem = nullptr;
};

std::string text(const CStringW& s) {
    return s.ToUtf8().str();
}

std::vector<std::string> names(const CDirectoryListing& listing) {
    std::vector<std::string> out;
    for (const CDirectoryEntry& e : listing.entries) {
        out.push_back(text(e.name));
    }
    return out;
}

TEST_F(Drive, ListsMoviesInServiceOrderWithTheirProperties) {
    EXPECT_TRUE(vem->drivePresent());
    CDirectoryListing root = vem->GetDirectoryListing(CStringW(u"vem:///"), CStringW());
    EXPECT_EQ(text(root.path), "/");
    EXPECT_EQ(names(root), (std::vector<std::string>{"1-sim", "2-run_a", "3-cal"}));
    for (uint32_t i = 0; i < root.entries.size(); ++i) {
        EXPECT_EQ(root.entries[i].properties.GetValue("index").str(), std::to_string(i));
        EXPECT_EQ(text(root.entries[i].path), "/" + names(root)[i]);
    }
    // The filter is matched against the recorded name, not "<number>-<name>".
    const std::pair<const char16_t*, std::vector<std::string>> filters[] = {
        {u"run*", {"2-run_a"}},
        {u"2-*", {}},
        {u"?al", {"3-cal"}},
        {u"", {"1-sim", "2-run_a", "3-cal"}}};
    for (const auto& f : filters) {
        EXPECT_EQ(names(vem->GetDirectoryListing(CStringW(u"/"), CStringW(f.first))), f.second);
    }
    EXPECT_TRUE(vem->GetDirectoryListing(CStringW(u"/2-run_a"), CStringW()).entries.empty());

    CDirectoryEntry entry = vem->GetInfo(CStringW(u"vem://1-sim"));
    ASSERT_EQ(entry.attributes, 2u);
    EXPECT_EQ(entry.size, uint64_t{kW} * kH * kFrames * 2);
    EXPECT_EQ(entry.properties.GetValue("width").str(), "8");
    EXPECT_EQ(entry.properties.GetValue("height").str(), "6");
    EXPECT_EQ(entry.properties.GetValue("numFrames").str(), "5");
    // The packed times the service sent agree with the movie's frame times.
    int64_t first = sim::syntheticFrameTime(1, 0), last = sim::syntheticFrameTime(1, kFrames - 1);
    EXPECT_EQ(entry.properties.GetValue("duration").str(), std::to_string((last - first) / 10));
    EXPECT_EQ(entry.properties.GetValue("startTime").str().substr(0, 4),
              CDateTime::NewTimestamp(first, 0).Format("%j:").str());
    // The entry's time is the recording time, to the second.
    EXPECT_EQ(entry.time.GetTimestamp(0) / 10000000, sim::syntheticRecordingTime(1) / 10000000);

    EXPECT_EQ(vem->GetInfo(CStringW(u"/a/b/2-run_a")).properties.GetValue("index").str(), "1");
    EXPECT_EQ(vem->GetInfo(CStringW(u"/")).attributes, 0x80000000u);
    EXPECT_EQ(vem->GetInfo(CStringW(u"/2-RUN_A")).attributes, 0x80000000u);
    EXPECT_EQ(vem->GetInfo(CStringW(u"/2-run_a:info")).attributes, 0x80000000u);
    // A path with a control character names no movie, whatever is done with it.
    for (const CStringW& path : {CStringW(u"/1-sim\0", 7), CStringW(u"/1-sim\n"),
                                 CStringW(u"/\u00061-sim"), CStringW(u"/x\ty/1-sim")}) {
        EXPECT_EQ(vem->GetInfo(path).attributes, 0x80000000u);
        EXPECT_FALSE(vem->OpenFile(path, kOpenRead));
        EXPECT_FALSE(vem->RemoveFile(path));
    }
    EXPECT_EQ(vem->GetDirectoryListing(CStringW(u"/"), CStringW()).entries.size(), 3u);

    // A detached drive is seen at once, not at the next change event.
    EXPECT_EQ(ctl("detach"), "ok");
    EXPECT_FALSE(zelvem_drivePresent());
    EXPECT_EQ(ctl("attach"), "ok");
    EXPECT_TRUE(zelvem_drivePresent());
}

TEST_F(Drive, ReadsEveryByteOfAMovieAndItsInfoStream) {
    TSharedPtr<IFile> file = vem->OpenFile(CStringW(u"vem:///1-sim"), kOpenRead);
    ASSERT_TRUE(file);
    ASSERT_EQ(file->GetSize(), int64_t{kFrameBytes} * kFrames);
    EXPECT_FALSE(file->CanWrite());
    EXPECT_EQ(file->Write("x", 1), 0u);

    const std::vector<uint8_t> expected = zel::test::syntheticFrames(1, kW, kH, 0, kFrames);
    // Odd-sized pieces, so reads start and end inside frames.
    std::vector<uint8_t> got(expected.size());
    size_t done = 0;
    for (uint32_t piece = 37; done < got.size();) {
        uint32_t n = file->Read(got.data() + done, piece);
        ASSERT_GT(n, 0u) << "at " << done;
        done += n;
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(file->GetPosition(), file->GetSize());
    uint8_t byte;
    EXPECT_EQ(file->Read(&byte, 1), 0u);

    const struct {
        int64_t offset;
        uint32_t origin;
        int64_t position;
    } seeks[] = {{-5, 1, 0},
                 {5, 3, file->GetSize()},
                 {-1, 3, file->GetSize() - 1},
                 {7, 0, file->GetSize() - 1},
                 {100, 1, 100},
                 {-40, 2, 60},
                 {1 << 30, 2, 480}};
    for (const auto& s : seeks) {
        EXPECT_EQ(file->Seek(s.offset, s.origin), s.position);
    }
    // A read from the middle of frame 2 into frame 3.
    file->Seek(2 * kFrameBytes + 10, 1);
    std::vector<uint8_t> span(kFrameBytes);
    ASSERT_EQ(file->Read(span.data(), kFrameBytes), kFrameBytes);
    EXPECT_EQ(0, std::memcmp(span.data(), expected.data() + 2 * kFrameBytes + 10, kFrameBytes));

    // The info stream is the movie's block, the suffix in any case.
    TSharedPtr<IFile> info = vem->OpenFile(CStringW(u"/2-run_a:INFO"), kOpenRead);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->GetPosition(), 0);
    std::vector<uint8_t> block(static_cast<size_t>(info->GetSize()));
    ASSERT_EQ(info->Read(block.data(), static_cast<uint32_t>(block.size())), block.size());
    EXPECT_EQ(block, file::EncodeInfoBlock(sim::syntheticInfoBlock(2, 3, 2, 4)));
    EXPECT_FALSE(vem->OpenFile(CStringW(u"/9-none:info"), kOpenRead));
    EXPECT_FALSE(vem->OpenFile(CStringW(u"/9-none"), kOpenRead));
}

TEST_F(Drive, RemovingAMovieRefreshesAndNotifies) {
    std::atomic<int> calls{0};
    zelDelegate handle = zelvem_AddFilesChangedHandler(
        [](void* user) { ++*static_cast<std::atomic<int>*>(user); }, &calls);
    EXPECT_FALSE(zelvem_RemoveFile("/2-run_a:info"));
    EXPECT_FALSE(zelvem_RemoveFile("/9-none"));
    EXPECT_EQ(calls, 0);
    ASSERT_TRUE(zelvem_RemoveFile("vem:///2-run_a"));
    EXPECT_GE(calls, 1);  // the removal's own refresh; the service's change event may add one
    CDirectoryListing* listing = zelvem_GetDirectoryListing("/", nullptr);
    EXPECT_EQ(names(*listing), (std::vector<std::string>{"1-sim", "3-cal"}));
    EXPECT_EQ(listing->entries[1].properties.GetValue("index").str(), "1");
    delete listing;
    zelvem_RemoveFilesChangedHandler(handle);
}

TEST_F(Drive, LookupsFollowTheRenumberingOfARefresh) {
    // Removed by the service, not through us: only the change event's refresh can tell.
    EXPECT_EQ(ctl("remove 0").substr(0, 2), "ok");
    ASSERT_TRUE(eventually([&] { return vem->GetInfo(CStringW(u"/1-sim")).attributes != 2u; }));
    const std::pair<const char16_t*, const char*> cases[] = {
        {u"/1-sim", ""}, {u"/2-run_a", "0"}, {u"/3-cal", "1"}, {u"/3-run_a", ""}};
    for (const auto& c : cases) {
        EXPECT_EQ(vem->GetInfo(CStringW(c.first)).properties.GetValue("index").str(), c.second);
    }
    // OpenFile reaches the movie now at that position: cal is 4x4 with 2 frames.
    TSharedPtr<IFile> cal = vem->OpenFile(CStringW(u"/3-cal"), kOpenRead);
    ASSERT_TRUE(cal);
    EXPECT_EQ(cal->GetSize(), 4 * 4 * 2 * 2);
}

TEST_F(Drive, ChangeEventsRefreshTheCacheOnTheEventThread) {
    struct Seen {
        std::atomic<int> calls{0};
        std::atomic<uint32_t> movies{0};
        std::thread::id thread;
    } seen;
    // The handler lists the drive from inside the refresh: the cache lock is recursive.
    zelDelegate handle = zelvem_AddFilesChangedHandler(
        [](void* user) {
            auto* s = static_cast<Seen*>(user);
            CDirectoryListing* listing = zelvem_GetDirectoryListing("/", "");
            s->movies = listing->entries.size();
            s->thread = std::this_thread::get_id();
            delete listing;
            ++s->calls;
        },
        &seen);
    EXPECT_EQ(ctl("add 2 2 1 fresh").substr(0, 2), "ok");
    ASSERT_TRUE(eventually([&] { return seen.calls >= 1; }));
    EXPECT_EQ(seen.movies, 4u);
    EXPECT_NE(seen.thread, std::this_thread::get_id());
    EXPECT_EQ(vem->GetInfo(CStringW(u"/4-fresh")).attributes, 2u);

    // Other event types change nothing; type 0 ends the event thread for good.
    int before = seen.calls;
    EXPECT_EQ(ctl("event 2"), "ok");
    EXPECT_EQ(ctl("event 0"), "ok");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ctl("add 2 2 1 unseen").substr(0, 2), "ok");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(seen.calls, before);
    EXPECT_EQ(vem->GetInfo(CStringW(u"/5-unseen")).attributes, 0x80000000u);
    zelvem_RemoveFilesChangedHandler(handle);
}

TEST_F(Drive, AFrameTheServiceRefusesEndsTheRead) {
    TSharedPtr<IFile> file = vem->OpenFile(CStringW(u"/1-sim"), kOpenRead);
    ASSERT_TRUE(file);
    std::vector<uint8_t> buffer(kFrameBytes * 3);
    EXPECT_EQ(ctl("fault error ord=6 count=1"), "ok");
    EXPECT_EQ(file->Read(buffer.data(), kFrameBytes), 0u);
    EXPECT_EQ(file->GetPosition(), 0);
    // The channel stayed in step: the same read now succeeds.
    EXPECT_EQ(file->Read(buffer.data(), kFrameBytes), kFrameBytes);
    // Frame 1 is loaded by a short read; then the service drops the line in the middle of the
    // reply to frame 2's load: the read returns the rest of frame 1, and every later request
    // fails at once.
    ASSERT_EQ(file->Read(buffer.data(), 10), 10u);
    EXPECT_EQ(ctl("fault drop ord=6 count=1"), "ok");
    EXPECT_EQ(file->Read(buffer.data(), kFrameBytes * 2), kFrameBytes - 10);
    EXPECT_EQ(file->GetPosition(), 2 * kFrameBytes);
    EXPECT_FALSE(vem->drivePresent());
}

TEST_F(Drive, ASectionTheServiceCutsFailsTheReadAndTheHostLives) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows sections cannot shrink";
#endif
    TSharedPtr<IFile> file = vem->OpenFile(CStringW(u"/1-sim"), kOpenRead);
    ASSERT_TRUE(file);
    std::vector<uint8_t> buffer(kFrameBytes * 2);
    ASSERT_EQ(file->Read(buffer.data(), 10), 10u);
    // Frame 1's load cuts the section to nothing before it is answered.
    EXPECT_EQ(ctl("fault shrink ord=6 count=1"), "ok");
    EXPECT_EQ(file->Read(buffer.data(), kFrameBytes * 2), kFrameBytes - 10);
    EXPECT_EQ(file->GetPosition(), kFrameBytes);
    EXPECT_EQ(file->Read(buffer.data(), kFrameBytes), 0u);
    EXPECT_EQ(file->GetPosition(), kFrameBytes);
    EXPECT_TRUE(vem->drivePresent());
}

TEST_F(Drive, ShutDownEndsTheEventThreadEvenWhenTheServiceWillNot) {
    // A second, private object: the service refuses to destroy its queue, so shut-down has to
    // break the event thread's wait itself, and must not hang doing so.
    auto* own = new CVemInterface;
    EXPECT_EQ(ctl("fault error ord=11 count=1"), "ok");
    auto started = Clock::now();
    delete own;
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(10));
}

}  // namespace
}  // namespace zel::vem::test
