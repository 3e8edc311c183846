// BlockCache and ReadAhead: a movie's blocks served from memory, the next one fetched meanwhile.
#include "mount/block_cache.h"

#include <algorithm>
#include <cstring>

namespace vemcli::mount {

namespace {

// One buffer per thread for replies that span blocks or bypass them: reads are up to a
// megabyte and come by the thousand.
std::vector<uint8_t>& threadBuffer(size_t n) {
    thread_local std::vector<uint8_t> buffer;
    if (buffer.size() < n) {
        buffer.resize(n);
    }
    return buffer;
}

}  // namespace

uint64_t blockSizeFor(uint64_t frameBytes, uint64_t size) {
    if (frameBytes == 0 || frameBytes > kLargestKeptFrame || size % frameBytes != 0) {
        return 0;
    }
    return (kBlockTarget + frameBytes - 1) / frameBytes * frameBytes;
}

ReadAhead::ReadAhead() : thread_([this] { loop(); }) {}

ReadAhead::~ReadAhead() {
    stop();
}

void ReadAhead::stop() {
    std::deque<std::pair<std::shared_ptr<BlockCache>, int64_t>> dropped;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        dropped.swap(jobs_);
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    // `dropped` may hold a cache's last reference: released here, outside lock_.
}

void ReadAhead::queue(std::shared_ptr<BlockCache> cache, int64_t number) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_) {
            return;
        }
        jobs_.emplace_back(std::move(cache), number);
    }
    wake_.notify_one();
}

void ReadAhead::loop() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        wake_.wait(guard, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) {
            return;
        }
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        guard.unlock();
        job.first->loadAhead(job.second);
        job.first.reset();  // maybe the last reference: the reader closes here, unlocked
        guard.lock();
    }
}

BlockCache::BlockCache(std::unique_ptr<BlockSource> source, uint64_t size, uint64_t frameBytes,
                       ReadAhead* ahead)
    : size_(size),
      blockSize_(blockSizeFor(frameBytes, size)),
      ahead_(ahead),
      source_(std::move(source)) {}

BlockCache::~BlockCache() = default;

void BlockCache::close() {
    std::lock_guard<std::mutex> load(loadLock_);
    std::lock_guard<std::mutex> blocks(blocksLock_);
    closed_ = true;
    spare_ = std::vector<uint8_t>();
    for (Block& block : blocks_) {
        block = Block();
    }
}

// The caller holds loadLock_.
void BlockCache::markGone() {
    std::lock_guard<std::mutex> guard(blocksLock_);
    gone_ = true;
    for (Block& block : blocks_) {
        block = Block();
    }
}

bool BlockCache::read(uint64_t offset, size_t n, const Reply& reply) {
    if (gone_ || closed_) {
        return false;
    }
    if (offset >= size_) {
        reply(nullptr, 0);
        return true;
    }
    const size_t count = static_cast<size_t>(std::min<uint64_t>(n, size_ - offset));
    if (blockSize_ == 0) {
        std::lock_guard<std::mutex> guard(loadLock_);
        if (gone_ || closed_) {
            return false;
        }
        std::vector<uint8_t>& buffer = threadBuffer(count);
        const LoadResult result = source_->read(offset, buffer.data(), count);
        if (result != LoadResult::Ok) {
            if (result == LoadResult::Gone) {
                markGone();
            }
            return false;
        }
        reply(buffer.data(), count);
        return true;
    }
    const int64_t next = static_cast<int64_t>((offset + count - 1) / blockSize_) + 1;
    size_t done = 0;
    while (done < count) {
        const uint64_t at = offset + done;
        const auto number = static_cast<int64_t>(at / blockSize_);
        const uint64_t within = at % blockSize_;
        {
            std::lock_guard<std::mutex> guard(blocksLock_);
            if (gone_ || closed_) {
                return false;
            }
            Block* block = findBlock(number);
            if (block != nullptr) {
                const auto piece = static_cast<size_t>(
                    std::min<uint64_t>(count - done, block->bytes.size() - within));
                if (piece == count) {
                    // The whole read lies in one block: reply straight from it, after asking for
                    // the next so that it is on its way while the kernel copies this one.
                    queueAhead(next);
                    reply(block->bytes.data() + within, count);
                    return true;
                }
                std::memcpy(threadBuffer(count).data() + done, block->bytes.data() + within, piece);
                done += piece;
                if (done == count) {
                    queueAhead(next);
                }
                continue;
            }
        }
        std::lock_guard<std::mutex> guard(loadLock_);
        // The read-ahead may have brought it while this thread waited for the source.
        if (gone_ || closed_ || (!hasBlock(number) && !loadBlock(number))) {
            return false;
        }
    }
    reply(threadBuffer(count).data(), count);
    return true;
}

// The caller holds loadLock_. Reads block `number` whole into the spare buffer and keeps it in
// place of the block used least recently, whose buffer becomes the spare.
bool BlockCache::loadBlock(int64_t number) {
    const uint64_t start = static_cast<uint64_t>(number) * blockSize_;
    if (start >= size_) {
        return false;
    }
    const uint64_t length = std::min(blockSize_, size_ - start);
    spare_.resize(length);
    const LoadResult result = source_->read(start, spare_.data(), length);
    if (result != LoadResult::Ok) {
        if (result == LoadResult::Gone) {
            markGone();
        }
        return false;
    }
    std::lock_guard<std::mutex> guard(blocksLock_);
    keepBlock(number, spare_);
    return true;
}

void BlockCache::loadAhead(int64_t number) {
    {
        std::lock_guard<std::mutex> guard(loadLock_);
        // The read that needed it may have loaded it meanwhile. A failure is left to the read
        // that needs the block: it reports it.
        if (!gone_ && !closed_ && !hasBlock(number)) {
            loadBlock(number);
        }
    }
    std::lock_guard<std::mutex> guard(blocksLock_);
    if (aheadQueued_ == number) {
        aheadQueued_ = -1;
    }
}

// The caller holds blocksLock_.
BlockCache::Block* BlockCache::findBlock(int64_t number) {
    for (Block& block : blocks_) {
        if (block.number == number) {
            block.lastUse = ++uses_;
            return &block;
        }
    }
    return nullptr;
}

// The caller holds loadLock_ or blocksLock_.
bool BlockCache::hasBlock(int64_t number) const {
    for (const Block& block : blocks_) {
        if (block.number == number) {
            return true;
        }
    }
    return false;
}

// The caller holds loadLock_ and blocksLock_. `bytes` gets the replaced block's buffer back.
void BlockCache::keepBlock(int64_t number, std::vector<uint8_t>& bytes) {
    Block* victim = &blocks_[0];
    for (Block& block : blocks_) {
        if (block.lastUse < victim->lastUse) {
            victim = &block;
        }
    }
    victim->number = number;
    victim->bytes.swap(bytes);
    victim->lastUse = ++uses_;
}

// The caller holds blocksLock_. Has block `number` fetched in the background unless it is kept,
// on its way, or past the end.
void BlockCache::queueAhead(int64_t number) {
    if (ahead_ == nullptr || static_cast<uint64_t>(number) * blockSize_ >= size_ ||
        hasBlock(number) || aheadQueued_ == number) {
        return;
    }
    aheadQueued_ = number;
    ahead_->queue(shared_from_this(), number);
}

}  // namespace vemcli::mount
