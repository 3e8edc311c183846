// WriteBehind: a file's chunks written on a thread of their own while the next ones are read.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace vemcli::get {

// Reading a chunk from the drive and writing the one before to the file take about as long as
// each other, and use different resources (the service and a copy; the file system): done one
// after the other, each waits for the other. Two buffers let them overlap. Each write is
// flushed and its write-back started at once, so the file on disk grows as the copy goes and an
// interruption keeps nearly all that was read.
class WriteBehind {
  public:
    // Appends to `stream` (positioned at its end, at file offset `at`), in chunks of at most
    // `chunkBytes`.
    WriteBehind(std::FILE* stream, uint64_t at, size_t chunkBytes);
    // Writes what is queued (unless a write failed) and ends the thread.
    ~WriteBehind();
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

    // A free buffer of `chunkBytes` to fill; waits while both are queued. Returns null once a
    // write failed (see error()).
    uint8_t* buffer();
    // Queues the first `n` bytes of the buffer last handed out.
    void write(size_t n);
    // Waits until everything queued is written; the errno of the first failed write, else 0.
    int finish();
    int error();

  private:
    void run();

    std::FILE* const stream_;
    // Lock rule: lock_ guards everything below it; the writer thread holds it only to take and
    // give back buffers, never while writing. Leaf lock.
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::vector<uint8_t>> buffers_;
    std::deque<std::pair<int, size_t>> queued_;  // buffer index, bytes
    std::vector<int> free_;
    int filling_ = -1;
    bool writing_ = false;
    bool stopping_ = false;
    int error_ = 0;
    uint64_t at_;
    std::thread writer_;
};

}  // namespace vemcli::get
