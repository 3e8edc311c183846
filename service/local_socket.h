// LocalSocket: one end of a connection on a local pipe, the byte stream under the service channel.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "msgpack/stream.h"

namespace zel::vem {

// Windows: a named-pipe handle (\\.\pipe\NAME). POSIX: a Unix-domain stream socket (DIR/NAME,
// see pipe_path.h). No buffering: each write is one pass of system calls and each read asks for
// exactly the bytes wanted (BufferedStream adds a read buffer on top).
//
// No lock of its own: its user serialises reads and writes. Only shutdown() may be called from
// another thread while a transfer is blocked.
//
// A deadline (setDeadline) bounds every later read and write until it is cleared: a transfer
// still short when it passes returns what it moved, as a broken pipe would. The stream is then
// out of step with the peer, so the user should close it. (Windows: honoured on handles opened
// by connect() and on the serving end; a synchronous handle given to the constructor waits
// without limit.)
class LocalSocket : public Stream {
  public:
    // The value of `handle` while closed (INVALID_HANDLE_VALUE on Windows, -1 on POSIX).
    static constexpr intptr_t kInvalid = -1;

    LocalSocket() = default;
    // Takes ownership of an open pipe handle (Windows) or stream socket (POSIX).
    explicit LocalSocket(intptr_t handle) : handle(handle) {}
    LocalSocket(LocalSocket&& other) noexcept;
    LocalSocket& operator=(LocalSocket&& other) noexcept;
    LocalSocket(const LocalSocket&) = delete;
    LocalSocket& operator=(const LocalSocket&) = delete;
    ~LocalSocket() override;

    // Connects to the pipe NAME (UTF-8, without any prefix); closes what the socket held first.
    // No waiting and no retry: false at once when no server listens (or, on Windows, when every
    // instance is busy).
    bool connect(const char* name);

    // Block until `count` bytes moved or the pipe failed or ended; return the bytes moved. A
    // count of 0 returns 0 without a system call. Never throw, never raise SIGPIPE.
    size_t read(void* buffer, size_t count) override;
    size_t write(const void* buffer, size_t count) override;
    // Blocks until at least one byte arrived or the pipe failed or ended; returns what one
    // transfer delivered (at most `count`), 0 on failure or end. Lets a reader take whatever the
    // peer has sent so far without waiting for bytes that may never come.
    size_t readAvailable(void* buffer, size_t count);

    using Clock = std::chrono::steady_clock;
    void setDeadline(Clock::time_point when);
    void clearDeadline();

    // True when the connection can no longer carry an exchange: the peer closed or broke it, or
    // bytes nobody asked for wait on it (a reply out of step). Never blocks. Between exchanges,
    // this tells a connection to a service that went away from one that is merely idle.
    bool peerGone();

    // Closes the handle; harmless when closed.
    void close();

    // Breaks a read or write blocked in another thread and makes every later transfer fail;
    // the handle stays owned until close(). Safe to call concurrently with read, write and
    // close.
    void shutdown();

    bool isOpen() const { return handle != kInvalid; }

    // The system's code for the last transfer that failed (errno, or GetLastError on Windows);
    // 0 when none did or the peer simply ended the stream. For the logs of a connection that
    // ended: a peer that closed and a transfer the system broke off look alike otherwise.
    int lastError() const { return lastError_; }

  private:
    friend class LocalServer;
    // Windows: the serving end of a pipe is an overlapped handle; each transfer on it then waits
    // for its own completion, so a read and a write may run at once from two threads.
    LocalSocket(intptr_t handle, bool overlappedIo) : handle(handle), overlappedIo(overlappedIo) {}

    // One system call moving at most what the system takes at once; false on failure, on the
    // end of the stream, or when the deadline passed first.
    bool readSome(char* buffer, size_t count, size_t& done);
    bool writeSome(const char* buffer, size_t count, size_t& done);
    void closeHandle();
    // Wakes transfers blocked on the open handle (POSIX: shutdown(2); Windows: CancelIoEx).
    void interruptTransfers();

    // Lock rule: handleLock guards `handle` against close() running while shutdown() uses it
    // from another thread (a closed descriptor number may already name another file). Reads and
    // writes do not take it: the socket's user keeps them apart from close(). Leaf lock.
    std::mutex handleLock;
    intptr_t handle = kInvalid;
    bool overlappedIo = false;
    // Set by shutdown(): transfers started afterwards fail without touching the handle.
    std::atomic<bool> broken{false};
    // Whether `deadline` applies. Set and read by the socket's user only (no lock needed).
    bool hasDeadline = false;
    Clock::time_point deadline;
    int lastError_ = 0;
};

}  // namespace zel::vem
