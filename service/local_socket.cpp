// LocalSocket: ownership and the transfer loops, shared by every platform.
#include "service/local_socket.h"

namespace zel::vem {

LocalSocket::LocalSocket(LocalSocket&& other) noexcept
    : handle(other.handle),
      overlappedIo(other.overlappedIo),
      broken(other.broken.load()),
      hasDeadline(other.hasDeadline),
      deadline(other.deadline) {
    other.handle = kInvalid;
    other.overlappedIo = false;
    other.broken = false;
}

LocalSocket& LocalSocket::operator=(LocalSocket&& other) noexcept {
    if (this != &other) {
        close();
        handle = other.handle;
        overlappedIo = other.overlappedIo;
        broken = other.broken.load();
        hasDeadline = other.hasDeadline;
        deadline = other.deadline;
        other.handle = kInvalid;
        other.overlappedIo = false;
        other.broken = false;
    }
    return *this;
}

LocalSocket::~LocalSocket() {
    close();
}

void LocalSocket::close() {
    std::lock_guard<std::mutex> guard(handleLock);
    if (handle != kInvalid) {
        closeHandle();
        handle = kInvalid;
    }
    overlappedIo = false;
    broken = false;
}

void LocalSocket::setDeadline(Clock::time_point when) {
    hasDeadline = true;
    deadline = when;
}

void LocalSocket::clearDeadline() {
    hasDeadline = false;
}

void LocalSocket::shutdown() {
    broken = true;
    std::lock_guard<std::mutex> guard(handleLock);
    if (handle != kInvalid) {
        interruptTransfers();
    }
}

size_t LocalSocket::read(void* buffer, size_t count) {
    size_t done = 0;
    char* bytes = static_cast<char*>(buffer);
    while (done < count && handle != kInvalid && !broken) {
        size_t moved = 0;
        if (hasDeadline && Clock::now() >= deadline) {
            break;
        }
        if (!readSome(bytes + done, count - done, moved)) {
            break;
        }
        done += moved;
    }
    return done;
}

size_t LocalSocket::readAvailable(void* buffer, size_t count) {
    size_t moved = 0;
    // A transfer that succeeds with nothing (a zero-length message on a Windows pipe) is no
    // data yet: wait for the next one, as read() does.
    while (moved == 0 && count > 0 && handle != kInvalid && !broken) {
        if (!readSome(static_cast<char*>(buffer), count, moved)) {
            return 0;
        }
    }
    return moved;
}

size_t LocalSocket::write(const void* buffer, size_t count) {
    size_t done = 0;
    const char* bytes = static_cast<const char*>(buffer);
    while (done < count && handle != kInvalid && !broken) {
        size_t moved = 0;
        if (hasDeadline && Clock::now() >= deadline) {
            break;
        }
        if (!writeSome(bytes + done, count - done, moved)) {
            break;
        }
        done += moved;
    }
    return done;
}

}  // namespace zel::vem
