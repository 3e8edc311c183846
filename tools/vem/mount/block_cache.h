// BlockCache: one open movie's recent blocks of whole frames, and ReadAhead, which fetches the
// next block in the background.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace vemcli::mount {

// Lock order of the cache, the one place it is written down:
//   BlockCache::loadLock_  ->  BlockCache::blocksLock_  ->  ReadAhead::lock_
// A thread holding one of them takes only those to its right. The mount's own state lock is
// never held while any of them is taken, nor taken while one is held.

enum class LoadResult {
    Ok,
    Failed,  // this load failed; a later one may work (a refused frame, a time-out)
    Gone,    // the movie or the service it was opened on went away: nothing will load again
};

// Where a cache's bytes come from: one reader of one movie, used by one thread at a time.
class BlockSource {
  public:
    virtual ~BlockSource() = default;
    // Reads exactly `n` bytes from byte `offset` into `out`.
    virtual LoadResult read(uint64_t offset, uint8_t* out, size_t n) = 0;
};

// Blocks are whole frames and at least kBlockTarget long, so that a request of up to that size
// never spans three blocks; frames above kLargestKeptFrame are read as asked, without blocks.
constexpr uint64_t kBlockTarget = 1 << 20;
constexpr uint64_t kLargestKeptFrame = 16 << 20;

// The block size for a movie of `size` bytes in frames of `frameBytes`; 0 reads directly.
uint64_t blockSizeFor(uint64_t frameBytes, uint64_t size);

class BlockCache;

// The one background thread that loads the blocks reads will want next, for every cache.
class ReadAhead {
  public:
    ReadAhead();
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Ends the thread; queued loads are dropped. After this nothing is loaded in the background.
    void stop();
    void queue(std::shared_ptr<BlockCache> cache, int64_t number);

  private:
    void loop();

    // Guards jobs_ and stopping_. Innermost of the cache's locks.
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::pair<std::shared_ptr<BlockCache>, int64_t>> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

// The recent blocks of one open movie, loaded from its source, so that the kernel's reads are
// served from memory while the block after them is read ahead. Keyed by its source: a cache
// never serves another reader's bytes, and once its source is Gone it drops its blocks and
// every read fails.
class BlockCache : public std::enable_shared_from_this<BlockCache> {
  public:
    // Kept blocks. A 1 MiB request covers up to two blocks and the kernel has another in flight
    // besides the background fetch: with two kept, blocks were replaced while still wanted.
    static constexpr size_t kKeptBlocks = 4;

    // `ahead` may be null (no read-ahead); it must outlive the cache's reads.
    BlockCache(std::unique_ptr<BlockSource> source, uint64_t size, uint64_t frameBytes,
               ReadAhead* ahead);
    ~BlockCache();

    uint64_t size() const { return size_; }
    uint64_t blockSize() const { return blockSize_; }

    // Called once with the bytes of [offset, offset + n) cut at the end of the movie; the
    // pointer is valid during the call only. The bytes may be a kept block's, held for the call.
    using Reply = std::function<void(const uint8_t* bytes, size_t n)>;
    // Returns true after calling `reply`, false (without calling it) when a byte before the end
    // could not be read: a read is never short.
    bool read(uint64_t offset, size_t n, const Reply& reply);

    // No more loads; the blocks are freed. Reads after this fail.
    void close();
    bool gone() const { return gone_; }

  private:
    friend class ReadAhead;
    struct Block {
        int64_t number = -1;
        uint64_t lastUse = 0;
        std::vector<uint8_t> bytes;
    };

    void loadAhead(int64_t number);
    bool loadBlock(int64_t number);
    void markGone();
    Block* findBlock(int64_t number);
    bool hasBlock(int64_t number) const;
    void keepBlock(int64_t number, std::vector<uint8_t>& bytes);
    void queueAhead(int64_t number);

    const uint64_t size_;
    const uint64_t blockSize_;
    ReadAhead* const ahead_;
    std::atomic<bool> gone_{false};
    std::atomic<bool> closed_{false};

    // Guards source_ and spare_; every load from the source happens under it. A block's number
    // and bytes change only with both loadLock_ and blocksLock_ held, so either suffices to look
    // at them.
    std::mutex loadLock_;
    std::unique_ptr<BlockSource> source_;
    // The buffer of the block replaced last, loaded into next: a fresh megabyte, zero-filled
    // and faulted in page by page, costs more than the copy out of the service's section.
    std::vector<uint8_t> spare_;

    // Guards blocks_' lastUse, uses_ and aheadQueued_. Replies from a kept block are made while
    // holding it, so a block's buffer is never replaced under a reply.
    mutable std::mutex blocksLock_;
    Block blocks_[kKeptBlocks];
    uint64_t uses_ = 0;
    int64_t aheadQueued_ = -1;
};

}  // namespace vemcli::mount
