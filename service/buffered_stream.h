// BufferedStream: a read buffer over a LocalSocket, so a decoder's small reads cost no system call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "msgpack/stream.h"
#include "service/local_socket.h"

namespace zel::vem {

// One system call fetches whatever the peer has sent (up to kCapacity bytes) and the decoder's
// header-sized reads are served from it; a read of kCapacity bytes or more that the buffer cannot
// serve goes straight from the socket into its destination. Writes pass through unbuffered.
//
// Bytes may stay buffered between reads. A request/reply peer sends nothing after a reply until
// the next request, so on a client they never belong to a later message; a serving end keeps them
// for the next request. Whoever closes or reconnects the socket must clear() the buffer with it.
//
// No lock: the owner serialises reads, as LocalSocket requires.
class BufferedStream : public Stream {
  public:
    // Large enough for any reply but a blob's payload; small enough to live in every channel.
    static constexpr size_t kCapacity = 4096;

    explicit BufferedStream(LocalSocket* socket) noexcept : socket_(socket) {}

    size_t read(void* buffer, size_t count) override;
    size_t write(const void* buffer, size_t count) override {
        return socket_->write(buffer, count);
    }

    // Drops what is buffered (the connection it came from is gone).
    void clear() noexcept { begin_ = end_ = 0; }
    size_t buffered() const noexcept { return end_ - begin_; }

    // For a reader that decodes in place: with nothing buffered, waits for the peer's next bytes
    // and buffers them (one read). False when the stream has ended.
    bool fill();
    // The buffered bytes, valid until the next read, fill or skip.
    const uint8_t* peek() const noexcept { return buffer_ + begin_; }
    // Consumes `count` (at most buffered()) bytes.
    void skip(size_t count) noexcept { begin_ += count < buffered() ? count : buffered(); }

  private:
    LocalSocket* socket_;
    size_t begin_ = 0;
    size_t end_ = 0;
    uint8_t buffer_[kCapacity];
};

}  // namespace zel::vem
