// WriteBehind: the writer thread and the hand-over of its two buffers.
#include "get/write_behind.h"

#include <cerrno>

#include "output_file_platform.h"

namespace vemcli::get {

WriteBehind::WriteBehind(std::FILE* stream, uint64_t at, size_t chunkBytes)
    : stream_(stream),
      buffers_(2, std::vector<uint8_t>(chunkBytes)),
      free_{1, 0},
      at_(at),
      writer_([this] { run(); }) {}

WriteBehind::~WriteBehind() {
    // What was read before a failure of the drive (or an interruption) still goes to the file:
    // the next run resumes after it.
    finish();
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    writer_.join();
}

uint8_t* WriteBehind::buffer() {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return !free_.empty() || error_ != 0; });
    if (error_ != 0) {
        return nullptr;
    }
    filling_ = free_.back();
    free_.pop_back();
    return buffers_[filling_].data();
}

void WriteBehind::write(size_t n) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        queued_.emplace_back(filling_, n);
        filling_ = -1;
    }
    changed_.notify_all();
}

int WriteBehind::finish() {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return (queued_.empty() && !writing_) || error_ != 0; });
    return error_;
}

int WriteBehind::error() {
    std::lock_guard<std::mutex> hold(lock_);
    return error_;
}

void WriteBehind::run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [this] { return stopping_ || !queued_.empty(); });
        if (stopping_) {
            return;
        }
        const auto [index, n] = queued_.front();
        queued_.pop_front();
        if (error_ != 0) {
            // After a failed write the file ends short of this chunk: appending it would put
            // its bytes at the wrong offset.
            free_.push_back(index);
            changed_.notify_all();
            continue;
        }
        writing_ = true;
        hold.unlock();
        int failed = 0;
        if (std::fwrite(buffers_[index].data(), 1, n, stream_) != n || std::fflush(stream_) != 0) {
            failed = errno != 0 ? errno : EIO;
        } else {
            outputplatform::startWriteBack(stream_, at_, n);
        }
        hold.lock();
        at_ += n;
        writing_ = false;
        free_.push_back(index);
        if (failed != 0 && error_ == 0) {
            error_ = failed;
        }
        changed_.notify_all();
    }
}

}  // namespace vemcli::get
