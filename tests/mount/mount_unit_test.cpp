// The mount's pure pieces: the listing's diff, the names it shows, the inode table that follows
// the kernel's forgets, and the block cache over a source that counts its loads.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "mount/block_cache.h"
#include "mount/listing.h"

namespace {

using vemcli::mount::BlockCache;
using vemcli::mount::BlockSource;
using vemcli::mount::InodeTable;
using vemcli::mount::Listing;
using vemcli::mount::LoadResult;
using vemcli::mount::MovieEntry;
using vemcli::mount::NodeKind;
using vemcli::mount::ReadAhead;

zel::vem::MovieDescription movie(const std::string& entryName, uint32_t index = 0,
                                 uint32_t width = 4) {
    zel::vem::MovieDescription m;
    m.entryName = entryName;
    m.number = 1;
    m.name = entryName;
    m.index = index;
    m.width = width;
    m.height = 2;
    m.frameCount = 3;
    m.frameBytes = uint64_t{width} * 2 * 2;
    m.size = m.frameBytes * 3;
    return m;
}

TEST(MountListing, UnsafeNamesAreLeftOutAlone) {
    const std::vector<std::pair<std::string, bool>> names = {
        {"12-run_a", true},
        {"12-run a (2)", true},
        {"12-r\xC3\xA9sum\xC3\xA9", true},  // é: not a control character
        {"", false},
        {".", false},
        {"..", false},
        {"1-a/b", false},
        {"1-a:info", false},
        {"1-a:INFO", false},
        {"1-tab\there", false},
        {"1-nl\n", false},
        {"1-del\x7f", false},
        {"1-c1\xC2\x85", false},  // U+0085, NEXT LINE
        {std::string(256, 'x'), false},
        {std::string(255, 'x'), true},
    };
    std::vector<zel::vem::MovieDescription> movies;
    size_t expected = 0;
    for (const auto& [name, showable] : names) {
        EXPECT_EQ(vemcli::mount::showableName(name), showable) << name;
        movies.push_back(movie(name));
        expected += showable ? 1 : 0;
    }
    size_t leftOut = 0;
    const Listing listing = vemcli::mount::listingOf(movies, &leftOut);
    EXPECT_EQ(listing.size(), expected);
    EXPECT_EQ(leftOut, names.size() - expected);
    EXPECT_EQ(listing.count("12-run_a"), 1u);
}

TEST(MountListing, DiffNamesWhatAppearedWentChangedAndWasReplaced) {
    auto listingOf = [](std::vector<zel::vem::MovieDescription> movies) {
        return vemcli::mount::listingOf(movies);
    };
    const Listing before = listingOf({movie("1-a", 0), movie("2-b", 1), movie("3-c", 2)});
    // 1-a removed: 2-b renumbered (same bytes); 3-c replaced by a movie of another shape; 4-d new.
    const Listing after = listingOf({movie("2-b", 0), movie("3-c", 1, 8), movie("4-d", 2)});
    const auto changes = vemcli::mount::diffListings(before, after);
    EXPECT_EQ(changes.appeared, std::vector<std::string>{"4-d"});
    EXPECT_EQ(changes.went, std::vector<std::string>{"1-a"});
    EXPECT_EQ(changes.changed, (std::vector<std::string>{"2-b", "3-c"}));
    EXPECT_EQ(changes.replaced, std::vector<std::string>{"3-c"});
    EXPECT_TRUE(vemcli::mount::diffListings(after, after).empty());
    // The first movie of a name wins, as in the library.
    const Listing twice = listingOf({movie("5-e", 0), movie("5-e", 1, 8)});
    EXPECT_EQ(twice.at("5-e").size, movie("5-e").size);
}

TEST(MountInodes, ForgottenAsOftenAsHandedOutThenGone) {
    InodeTable table;
    const MovieEntry entry = vemcli::mount::entryOf(movie("1-a"));
    const uint64_t a = table.remember("1-a", NodeKind::Movie, entry);
    EXPECT_NE(a, InodeTable::kRoot);
    EXPECT_EQ(table.remember("1-a", NodeKind::Movie, entry), a);
    const uint64_t info = table.remember("1-a", NodeKind::Info, entry);
    EXPECT_NE(info, a);
    EXPECT_EQ(table.find("1-a", NodeKind::Movie), a);
    EXPECT_EQ(table.find("2-b", NodeKind::Movie), 0u);
    EXPECT_EQ(table.size(), 2u);  // find made nothing

    table.forget(a, 1);
    EXPECT_EQ(table.find("1-a", NodeKind::Movie), a);
    table.forget(a, 1);
    EXPECT_EQ(table.find("1-a", NodeKind::Movie), 0u);
    EXPECT_EQ(table.node(a), nullptr);
    table.forget(info, 5);  // more than handed out: gone, not wrapped
    EXPECT_EQ(table.size(), 0u);
    EXPECT_GT(table.remember("1-a", NodeKind::Movie, entry), info);  // numbers are not reused

    // A name that went: its inode stays for the kernel until forgotten, with what it showed;
    // the name leads to a fresh inode.
    const uint64_t old = table.find("1-a", NodeKind::Movie);
    table.detach("1-a");
    ASSERT_NE(table.node(old), nullptr);
    EXPECT_FALSE(table.node(old)->attached);
    EXPECT_EQ(table.node(old)->last, entry);
    const uint64_t fresh = table.remember("1-a", NodeKind::Movie, entry);
    EXPECT_NE(fresh, old);
    table.forget(old, 1);
    EXPECT_EQ(table.node(old), nullptr);
    EXPECT_EQ(table.find("1-a", NodeKind::Movie), fresh);

    // Memory follows what the kernel holds, not every name ever seen.
    for (int i = 0; i < 10000; ++i) {
        const std::string name = std::to_string(i) + "-x";
        table.forget(table.remember(name, NodeKind::Movie, entry), 1);
    }
    EXPECT_EQ(table.size(), 1u);
}

TEST(MountInodes, AMovieIsDetachedWithItsViewsAndNoOtherMovies) {
    InodeTable table;
    const MovieEntry entry = vemcli::mount::entryOf(movie("1-a"));
    // "1-a" and "1-ab" share a prefix: detaching one must leave the other's nodes.
    const std::vector<std::tuple<std::string, NodeKind, std::string>> files = {
        {"1-a", NodeKind::Movie, ""},          {"1-a", NodeKind::OmeTiff, ""},
        {"1-a", NodeKind::ZarrFolder, ""},     {"1-a", NodeKind::ZarrFile, ".zarray"},
        {"1-a", NodeKind::ZarrFile, "2.0.0"},  {"1-ab", NodeKind::Movie, ""},
        {"1-ab", NodeKind::ZarrFile, "0.0.0"}, {"1-a.ome.tif", NodeKind::Movie, ""},
    };
    std::map<std::string, uint64_t> inodes;
    for (const auto& [name, kind, key] : files) {
        const uint64_t ino = table.remember(name, kind, entry, key);
        EXPECT_EQ(table.find(name, kind, key), ino);
        inodes[name + "/" + std::to_string(static_cast<int>(kind)) + key] = ino;
    }
    EXPECT_EQ(inodes.size(), files.size());  // every file its own inode
    EXPECT_EQ(table.inodesOf("1-a").size(), 5u);

    table.detach("1-a", true);  // the Zarr folder only: its texts hold the properties
    EXPECT_NE(table.find("1-a", NodeKind::Movie), 0u);
    EXPECT_NE(table.find("1-a", NodeKind::OmeTiff), 0u);
    EXPECT_EQ(table.find("1-a", NodeKind::ZarrFolder), 0u);
    EXPECT_EQ(table.find("1-a", NodeKind::ZarrFile, "2.0.0"), 0u);
    EXPECT_FALSE(table.node(inodes["1-a/4.zarray"])->attached);

    table.detach("1-a");
    EXPECT_TRUE(table.inodesOf("1-a").empty());
    EXPECT_EQ(table.inodesOf("1-ab").size(), 2u);
    EXPECT_NE(table.find("1-a.ome.tif", NodeKind::Movie), 0u);
    EXPECT_EQ(table.size(), files.size());  // detached nodes live on until forgotten
}

TEST(MountListing, ViewsBesideEveryMovieUnlessAMovieHoldsTheName) {
    auto described = [](const std::string& name, uint32_t width, uint64_t frames) {
        zel::vem::MovieDescription m = movie(name, 0, width);
        m.frameCount = frames;
        m.size = m.frameBytes * frames;
        return m;
    };
    const std::string longest(255 - 5, 'x');  // its .zarr fits, its .ome.tif does not
    const Listing listing = vemcli::mount::listingOf({
        described("1-a", 4, 3),
        described("2-b", 4, 3),
        described("2-b.zarr", 4, 3),
        described("3-empty", 4, 0),
        described("4-wide", 70000, 1),
        described(longest, 4, 1),
    });
    std::vector<std::string> names;
    for (const auto& [name, what] : vemcli::mount::rootEntries(listing, true)) {
        names.push_back(name);
        EXPECT_EQ(vemcli::mount::resolveRootName(listing, name, true)->kind, what.kind) << name;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"1-a", "1-a.ome.tif", "1-a.zarr", "2-b",
                                               "2-b.ome.tif", "2-b.zarr", "2-b.zarr.ome.tif",
                                               "2-b.zarr.zarr", "3-empty", "3-empty.zarr", "4-wide",
                                               "4-wide.zarr", longest, longest + ".zarr"}));
    EXPECT_EQ(vemcli::mount::rootEntries(listing, false).size(), listing.size());

    const std::vector<std::tuple<std::string, bool, std::string, NodeKind>> names2 = {
        // name, views shown, the movie it names (empty: none), as what
        {"1-a", true, "1-a", NodeKind::Movie},
        {"1-a.ome.tif", true, "1-a", NodeKind::OmeTiff},
        {"1-a.zarr", true, "1-a", NodeKind::ZarrFolder},
        {"1-a:INFO", true, "1-a", NodeKind::Info},
        {"1-a.ome.tif", false, "", NodeKind::Movie},
        {"1-a:info", false, "1-a", NodeKind::Info},
        {"2-b.zarr", true, "2-b.zarr", NodeKind::Movie},  // the movie wins over the view
        {"1-a.OME.TIF", true, "", NodeKind::Movie},
        {"1-a.ome.tif:info", true, "", NodeKind::Movie},
        {"1-a.zarr.ome.tif", true, "", NodeKind::Movie},
        {"3-empty.ome.tif", true, "", NodeKind::Movie},  // no frame: no TIFF
        {"4-wide.ome.tif", true, "", NodeKind::Movie},   // wider than a TIFF page
        {".ome.tif", true, "", NodeKind::Movie},
        {"9-none.zarr", true, "", NodeKind::Movie},
    };
    for (const auto& [name, views, movieName, kind] : names2) {
        const auto what = vemcli::mount::resolveRootName(listing, name, views);
        EXPECT_EQ(what.has_value(), !movieName.empty()) << name;
        if (what) {
            EXPECT_EQ(what->movie, movieName) << name;
            EXPECT_EQ(what->kind, kind) << name;
        }
    }
}

// A movie whose byte at offset o is a function of o; counts loads per offset, and fails on
// demand (Failed once, or Gone for good).
class CountingSource : public BlockSource {
  public:
    static uint8_t byteAt(uint64_t offset) {
        return static_cast<uint8_t>((offset * 7) ^ (offset >> 11));
    }
    LoadResult read(uint64_t offset, uint8_t* out, size_t n) override {
        std::lock_guard<std::mutex> guard(lock);
        ++loads[offset];
        loadedBytes += n;
        if (gone) {
            return LoadResult::Gone;
        }
        if (failNext) {
            failNext = false;
            return LoadResult::Failed;
        }
        for (size_t i = 0; i < n; ++i) {
            out[i] = byteAt(offset + i);
        }
        return LoadResult::Ok;
    }
    size_t loadCount() {
        std::lock_guard<std::mutex> guard(lock);
        size_t count = 0;
        for (const auto& load : loads) {
            count += load.second;
        }
        return count;
    }
    void setGone() {
        std::lock_guard<std::mutex> guard(lock);
        gone = true;
    }
    void failOnce() {
        std::lock_guard<std::mutex> guard(lock);
        failNext = true;
    }

    std::mutex lock;
    std::map<uint64_t, int> loads;
    uint64_t loadedBytes = 0;
    bool gone = false;
    bool failNext = false;
};

// Reads [offset, offset + n) through the cache; false when it failed. Checks every byte.
bool readChecked(BlockCache& cache, uint64_t offset, size_t n) {
    bool right = false;
    size_t got = 0;
    const bool ok = cache.read(offset, n, [&](const uint8_t* bytes, size_t count) {
        got = count;
        right = true;
        for (size_t i = 0; i < count; ++i) {
            right = right && bytes[i] == CountingSource::byteAt(offset + i);
        }
    });
    const uint64_t size = cache.size();
    const size_t want =
        offset >= size ? 0 : static_cast<size_t>(std::min<uint64_t>(n, size - offset));
    EXPECT_TRUE(!ok || (right && got == want)) << offset << "+" << n;
    return ok;
}

struct Geometry {
    uint64_t frameBytes;
    uint64_t frames;
    size_t request;
};

TEST(MountBlockCache, SequentialReadsLoadEveryFrameOnce) {
    const std::vector<Geometry> cases = {
        {37 * 23 * 2, 90, 4096},        // odd frames, small requests
        {37 * 23 * 2, 90, 128 << 10},   // the kernel's default window
        {640 * 480 * 2, 8, 1 << 20},    // two frames a block, 1 MiB requests
        {1024 * 1024 * 2, 5, 1 << 20},  // one 2 MiB frame a block
        {1024 * 1024 * 2, 5, 300000},   // requests straddling blocks
        {(16 << 20) + 2, 1, 1 << 20},   // frames above 16 MiB: read as asked, no blocks
    };
    for (const Geometry& g : cases) {
        SCOPED_TRACE(std::to_string(g.frameBytes) + " x " + std::to_string(g.frames) + " by " +
                     std::to_string(g.request));
        const uint64_t size = g.frameBytes * g.frames;
        ReadAhead ahead;
        auto owned = std::make_unique<CountingSource>();
        CountingSource& source = *owned;
        auto cache = std::make_shared<BlockCache>(std::move(owned), size, g.frameBytes, &ahead);
        for (uint64_t at = 0; at < size + g.request; at += g.request) {
            ASSERT_TRUE(readChecked(*cache, at, g.request));
        }
        ahead.stop();
        if (cache->blockSize() == 0) {
            EXPECT_EQ(source.loadedBytes, size);
        } else {
            EXPECT_EQ(cache->blockSize() % g.frameBytes, 0u);
            EXPECT_GE(cache->blockSize(), vemcli::mount::kBlockTarget);
            // Each block loaded exactly once, by a read or ahead of it.
            EXPECT_EQ(source.loadCount(), (size + cache->blockSize() - 1) / cache->blockSize());
            for (const auto& load : source.loads) {
                EXPECT_EQ(load.second, 1) << "block at " << load.first;
            }
        }
    }
}

TEST(MountBlockCache, GoneDropsTheBlocksAndFailedFailsOneRead) {
    const uint64_t frame = 640 * 480 * 2;
    auto owned = std::make_unique<CountingSource>();
    CountingSource& source = *owned;
    auto cache = std::make_shared<BlockCache>(std::move(owned), frame * 24, frame, nullptr);

    // A failed load fails that read only; the next read loads again and works.
    source.failOnce();
    EXPECT_FALSE(readChecked(*cache, 0, 4096));
    EXPECT_TRUE(readChecked(*cache, 0, 4096));
    const size_t loads = source.loadCount();
    EXPECT_TRUE(readChecked(*cache, 5000, 4096));  // kept: no load
    EXPECT_EQ(source.loadCount(), loads);

    // Once the source is gone, the kept block is not served either, and the source is not
    // asked again.
    source.setGone();
    EXPECT_FALSE(readChecked(*cache, 5 * frame, 4096));
    const size_t afterGone = source.loadCount();
    EXPECT_TRUE(cache->gone());
    EXPECT_FALSE(readChecked(*cache, 0, 4096));
    EXPECT_FALSE(readChecked(*cache, 20 * frame, 4096));
    EXPECT_EQ(source.loadCount(), afterGone);

    // Frames read as asked behave alike.
    auto largeOwned = std::make_unique<CountingSource>();
    CountingSource& large = *largeOwned;
    const uint64_t largeFrame = 17 << 20;
    auto direct =
        std::make_shared<BlockCache>(std::move(largeOwned), largeFrame * 2, largeFrame, nullptr);
    large.failOnce();
    EXPECT_FALSE(readChecked(*direct, 3, 100));
    EXPECT_TRUE(readChecked(*direct, 3, 100));
    large.setGone();
    EXPECT_FALSE(readChecked(*direct, 3, 100));
    EXPECT_FALSE(readChecked(*direct, 3, 100));
    EXPECT_EQ(large.loadCount(), 3u);
}

TEST(MountBlockCache, ParallelReadersAndReadAheadAgreeOnEveryByte) {
    const uint64_t frame = 37 * 23 * 2;
    const uint64_t size = frame * 3000;  // about 5 MiB, five blocks
    ReadAhead ahead;
    auto owned = std::make_unique<CountingSource>();
    CountingSource& source = *owned;
    auto cache = std::make_shared<BlockCache>(std::move(owned), size, frame, &ahead);
    std::atomic<int> failures{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&, t] {
            std::mt19937_64 random(t);
            for (int i = 0; i < 150; ++i) {
                const uint64_t at = random() % size;
                const size_t n = 1 + random() % (200 << 10);
                if (!readChecked(*cache, at, n)) {
                    ++failures;
                }
                if (t == 0 && i == 75) {
                    source.failOnce();  // one refused load among them fails one read at most
                }
            }
        });
    }
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_LE(failures.load(), 1);
    // Closing while read-ahead may still be queued: nothing loads afterwards.
    readChecked(*cache, 0, 1);
    cache->close();
    const size_t loads = source.loadCount();
    ahead.stop();
    EXPECT_EQ(source.loadCount(), loads);
    EXPECT_FALSE(readChecked(*cache, 0, 1));
}

}  // namespace
