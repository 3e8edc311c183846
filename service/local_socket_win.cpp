// LocalSocket for Windows: a synchronous byte-mode named-pipe client handle.
#include <windows.h>

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

// ReadFile or WriteFile on an overlapped handle, waiting for completion. Without an OVERLAPPED
// record such a handle could report a transfer complete when another one on it completed.
template <typename Call>
bool transferOverlapped(HANDLE handle, Call call, size_t& done) {
    thread_local ThreadEvent event;
    if (event.get() == nullptr) {
        return false;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    if (!call(&overlapped) && GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    DWORD moved = 0;
    if (!GetOverlappedResult(handle, &overlapped, &moved, TRUE)) {
        return false;
    }
    done = moved;
    return true;
}
}  // namespace

bool LocalSocket::connect(const char* name) {
    close();
    const std::u16string path = toWide(pipePath(name).c_str());
    HANDLE pipe = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()),
                              GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    handle = reinterpret_cast<intptr_t>(pipe);
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

bool LocalSocket::readSome(char* buffer, size_t count, size_t& done) {
    DWORD moved = 0;
    const DWORD ask = static_cast<DWORD>(count < kMaxTransfer ? count : kMaxTransfer);
    if (overlappedIo) {
        return transferOverlapped(
            asHandle(handle),
            [&](OVERLAPPED* o) { return ReadFile(asHandle(handle), buffer, ask, nullptr, o); },
            done);
    }
    if (!ReadFile(asHandle(handle), buffer, ask, &moved, nullptr)) {
        return false;
    }
    done = moved;
    return true;
}

bool LocalSocket::writeSome(const char* buffer, size_t count, size_t& done) {
    DWORD moved = 0;
    const DWORD ask = static_cast<DWORD>(count < kMaxTransfer ? count : kMaxTransfer);
    if (overlappedIo) {
        return transferOverlapped(
            asHandle(handle),
            [&](OVERLAPPED* o) { return WriteFile(asHandle(handle), buffer, ask, nullptr, o); },
            done);
    }
    if (!WriteFile(asHandle(handle), buffer, ask, &moved, nullptr)) {
        return false;
    }
    done = moved;
    return true;
}

}  // namespace zel::vem
