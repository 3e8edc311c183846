// LocalSocket for Windows: a byte-mode named-pipe client handle, opened for overlapped transfers.
#include <windows.h>

#include <algorithm>
#include <chrono>

#include "service/local_socket.h"
#include "service/pipe_path.h"
#include "service/text_util.h"

namespace zel::vem {

namespace {
// ReadFile and WriteFile take a 32-bit count.
constexpr size_t kMaxTransfer = 0xFFFFFFFFu;

HANDLE asHandle(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// The completion event of overlapped transfers, one per thread: a thread waits for one transfer
// at a time, and a read and a write running at once are on two threads.
class ThreadEvent {
  public:
    ThreadEvent() : event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~ThreadEvent() {
        if (event != nullptr) {
            CloseHandle(event);
        }
    }
    ThreadEvent(const ThreadEvent&) = delete;
    ThreadEvent& operator=(const ThreadEvent&) = delete;
    HANDLE get() const { return event; }

  private:
    HANDLE event;
};

// ReadFile or WriteFile on an overlapped handle, waiting for completion (at most until `deadline`
// when `bounded`; then the transfer is cancelled). Without an OVERLAPPED record such a handle
// could report a transfer complete when another one on it completed.
template <typename Call>
bool transferOverlapped(HANDLE handle, Call call, size_t& done, bool bounded,
                        LocalSocket::Clock::time_point deadline) {
    thread_local ThreadEvent event;
    if (event.get() == nullptr) {
        return false;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    if (!call(&overlapped) && GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    // A transfer is over when its status says so, not when its event is set. Wine has been seen
    // to leave the event set while the transfer was still pending (a late signal of the previous
    // transfer on this thread's event, it seems), and GetOverlappedResult then reports a pending
    // transfer as done with 0 bytes: the caller would start another read while this one still
    // owns the buffer and this stack's OVERLAPPED. So the status is checked after every wake-up;
    // an event found set too early is cleared, and from then on the status is also looked at
    // every few milliseconds (its signal may have been the one that was cleared).
    DWORD poll = INFINITE;
    bool cancelled = false;
    while (!HasOverlappedIoCompleted(&overlapped)) {
        DWORD ms = poll;
        if (bounded && !cancelled) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - LocalSocket::Clock::now());
            if (left.count() <= 0) {
                // The record lives on this stack: the transfer must be over before it goes, so
                // it is cancelled and then waited for (one that ends meanwhile counts).
                CancelIoEx(handle, &overlapped);
                cancelled = true;
                continue;
            }
            ms = std::min<DWORD>(
                ms, left.count() >= 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(left.count()) + 1);
        }
        if (WaitForSingleObject(overlapped.hEvent, ms) == WAIT_OBJECT_0 &&
            !HasOverlappedIoCompleted(&overlapped)) {
            ResetEvent(overlapped.hEvent);
            poll = 5;
        }
    }
    DWORD moved = 0;
    if (!GetOverlappedResult(handle, &overlapped, &moved, FALSE)) {
        return false;
    }
    done = moved;
    return true;
}
// GetLastError of a failed transfer, except that a pipe whose peer closed it is an end of
// stream, not a failure.
int failureCode() {
    const DWORD code = GetLastError();
    return code == ERROR_BROKEN_PIPE ? 0 : static_cast<int>(code);
}
}  // namespace

bool LocalSocket::connect(const char* name) {
    close();
    const std::u16string path = toWide(pipePath(name).c_str());
    HANDLE pipe =
        CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    handle = reinterpret_cast<intptr_t>(pipe);
    // Overlapped, so a transfer can be given up at a deadline instead of blocking for ever.
    overlappedIo = pipe != INVALID_HANDLE_VALUE;
    return pipe != INVALID_HANDLE_VALUE;
}

void LocalSocket::closeHandle() {
    CloseHandle(asHandle(handle));
}

void LocalSocket::interruptTransfers() {
    // Cancels the synchronous transfer another thread is blocked in on this handle. One that
    // starts just after this is not caught; callers that must end a transfer repeat the call.
    CancelIoEx(asHandle(handle), nullptr);
}

bool LocalSocket::peerGone() {
    if (handle == kInvalid || broken) {
        return true;
    }
    DWORD available = 0;
    // Fails once the server end closed or broke; bytes waiting between exchanges are stray.
    if (!PeekNamedPipe(asHandle(handle), nullptr, 0, nullptr, &available, nullptr)) {
        return true;
    }
    return available != 0;
}

bool LocalSocket::readSome(char* buffer, size_t count, size_t& done) {
    DWORD moved = 0;
    const DWORD ask = static_cast<DWORD>(count < kMaxTransfer ? count : kMaxTransfer);
    if (overlappedIo) {
        if (!transferOverlapped(
                asHandle(handle),
                [&](OVERLAPPED* o) { return ReadFile(asHandle(handle), buffer, ask, nullptr, o); },
                done, hasDeadline, deadline)) {
            lastError_ = failureCode();
            return false;
        }
        return true;
    }
    if (!ReadFile(asHandle(handle), buffer, ask, &moved, nullptr)) {
        lastError_ = failureCode();
        return false;
    }
    done = moved;
    return true;
}

bool LocalSocket::writeSome(const char* buffer, size_t count, size_t& done) {
    DWORD moved = 0;
    const DWORD ask = static_cast<DWORD>(count < kMaxTransfer ? count : kMaxTransfer);
    if (overlappedIo) {
        if (!transferOverlapped(
                asHandle(handle),
                [&](OVERLAPPED* o) { return WriteFile(asHandle(handle), buffer, ask, nullptr, o); },
                done, hasDeadline, deadline)) {
            lastError_ = failureCode();
            return false;
        }
        return true;
    }
    if (!WriteFile(asHandle(handle), buffer, ask, &moved, nullptr)) {
        lastError_ = failureCode();
        return false;
    }
    done = moved;
    return true;
}

}  // namespace zel::vem
