// BufferedStream: serving reads from the buffer and refilling it with one transfer at a time.
#include "service/buffered_stream.h"

#include <algorithm>
#include <cstring>

namespace zel::vem {

size_t BufferedStream::read(void* buffer, size_t count) {
    char* out = static_cast<char*>(buffer);
    // Most reads are a header's few bytes of a reply already buffered.
    if (count <= end_ - begin_) {
        std::memcpy(out, buffer_ + begin_, count);
        begin_ += count;
        return count;
    }
    size_t done = 0;
    for (;;) {
        const size_t taken = std::min(count - done, end_ - begin_);
        std::memcpy(out + done, buffer_ + begin_, taken);
        begin_ += taken;
        done += taken;
        if (done == count) {
            return done;
        }
        // The buffer is empty here. A long remainder would only pass through it: read it in place.
        const size_t left = count - done;
        if (left >= kCapacity) {
            return done + socket_->read(out + done, left);
        }
        const size_t got = socket_->readAvailable(buffer_, kCapacity);
        if (got == 0) {
            clear();
            return done;
        }
        begin_ = 0;
        end_ = got;
    }
}

bool BufferedStream::fill() {
    if (begin_ < end_) {
        return true;
    }
    const size_t got = socket_->readAvailable(buffer_, kCapacity);
    begin_ = 0;
    end_ = got;
    return got > 0;
}

}  // namespace zel::vem
