// LocalServer and listPipes for Windows: overlapped named-pipe instances, cancellable accept.
#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "service/local_server.h"
#include "service/pipe_path.h"
#include "service/text_util.h"

namespace zel::vem {

namespace {
constexpr DWORD kPipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT;

const wchar_t* asWide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

std::string toUtf8(const wchar_t* wide) {
    const int count = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (count <= 1) {
        return {};
    }
    std::string text(static_cast<size_t>(count), '\0');
    const int done = WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], count, nullptr, nullptr);
    text.resize(done > 0 ? static_cast<size_t>(done - 1) : 0);
    return text;
}
}  // namespace

struct LocalServer::State {
    std::u16string path;
    // Manual-reset, never reset once signalled: a closed server aborts every later wait.
    HANDLE cancelEvent = nullptr;
    // Manual-reset event of the overlapped connect.
    HANDLE connectEvent = nullptr;
    SECURITY_ATTRIBUTES* security = nullptr;

    // Guards instance, closed and accepting; no other lock is taken while it is held. close()
    // waits on `idle` until no accept uses `instance`, so the handle is never closed (and its
    // number reused) under a pending connect.
    std::mutex lock;
    std::condition_variable idle;
    HANDLE instance = INVALID_HANDLE_VALUE;
    bool closed = false;
    int accepting = 0;

    HANDLE createInstance(DWORD openMode) {
        return CreateNamedPipeW(asWide(path), openMode, kPipeMode, PIPE_UNLIMITED_INSTANCES, 0, 0,
                                0, security);
    }
};

LocalServer::LocalServer() : state(new State) {
    state->cancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    state->connectEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

LocalServer::~LocalServer() {
    close();
    if (state->cancelEvent != nullptr) {
        CloseHandle(state->cancelEvent);
    }
    if (state->connectEvent != nullptr) {
        CloseHandle(state->connectEvent);
    }
}

bool LocalServer::listen(const char* name, unsigned flags) {
    std::lock_guard<std::mutex> guard(state->lock);
    if (state->closed || state->instance != INVALID_HANDLE_VALUE || state->cancelEvent == nullptr ||
        state->connectEvent == nullptr) {
        return false;
    }
    state->path = toWide(pipePath(name).c_str());
    state->security = nullptr;
    if (flags & GlobalAccess) {
        state->security = static_cast<SECURITY_ATTRIBUTES*>(SharedSecurity::attributes());
        if (state->security == nullptr) {
            return false;
        }
    }
    // FILE_FLAG_FIRST_PIPE_INSTANCE refuses a name in use. Asked first as well, because not
    // every implementation of the pipe file system honours the flag; the question makes no
    // connection to the server that holds the name.
    if (WaitNamedPipeW(asWide(state->path), 1) || GetLastError() == ERROR_SEM_TIMEOUT) {
        return false;
    }
    state->instance = state->createInstance(PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE |
                                            FILE_FLAG_OVERLAPPED);
    return state->instance != INVALID_HANDLE_VALUE;
}

LocalSocket LocalServer::accept() {
    std::unique_lock<std::mutex> guard(state->lock);
    if (state->instance == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("Pipe not open.");
    }
    if (state->accepting > 0) {
        // One pending connect per instance is all the system allows.
        throw std::runtime_error("ConnectNamedPipe failed.");
    }
    ++state->accepting;
    HANDLE pipe = state->instance;
    guard.unlock();

    bool connected = false;
    std::string failure = "ConnectNamedPipe failed.";
    OVERLAPPED overlapped = {};
    overlapped.hEvent = state->connectEvent;
    ResetEvent(state->connectEvent);
    if (ConnectNamedPipe(pipe, &overlapped)) {
        connected = true;
    } else {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            HANDLE events[2] = {state->connectEvent, state->cancelEvent};
            const DWORD which = WaitForMultipleObjects(2, events, FALSE, INFINITE);
            DWORD ignored = 0;
            if (which != WAIT_OBJECT_0) {
                // The connect still refers to `overlapped` on this stack: end it and let the
                // system finish with the record before it goes out of scope.
                CancelIoEx(pipe, &overlapped);
                GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
                failure = "ConnectNamedPipe aborted.";
            } else if (!GetOverlappedResult(pipe, &overlapped, &ignored, FALSE)) {
                const unsigned code = GetLastError();
                failure = formatString("ConnectNamedPipe failed, GetLastError() = %u.", code);
            } else {
                connected = true;
            }
        } else if (error == ERROR_PIPE_CONNECTED) {
            // The client came between creating the instance and this call.
            connected = true;
        }
    }

    guard.lock();
    --state->accepting;
    state->idle.notify_all();
    if (!connected) {
        throw std::runtime_error(failure);
    }
    // The next client needs its own instance. A close() waiting for us has nothing to close.
    state->instance = INVALID_HANDLE_VALUE;
    if (!state->closed) {
        state->instance = state->createInstance(PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED);
        if (state->instance == INVALID_HANDLE_VALUE) {
            CloseHandle(pipe);
            throw std::runtime_error("CreateNamedPipe failed.");
        }
    }
    return LocalSocket(reinterpret_cast<intptr_t>(pipe), true);
}

void LocalServer::close() {
    std::unique_lock<std::mutex> guard(state->lock);
    state->closed = true;
    if (state->cancelEvent != nullptr) {
        SetEvent(state->cancelEvent);
    }
    state->idle.wait(guard, [this] { return state->accepting == 0; });
    if (state->instance != INVALID_HANDLE_VALUE) {
        CloseHandle(state->instance);
        state->instance = INVALID_HANDLE_VALUE;
    }
}

std::vector<std::string> listPipes(const char* prefix) {
    char pattern[512];
    std::snprintf(pattern, sizeof(pattern), "\\\\.\\pipe\\%s*", prefix != nullptr ? prefix : "");
    const std::u16string widePattern = toWide(pattern);

    std::vector<std::string> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(asWide(widePattern), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        if (_wcsicmp(entry.cFileName, L".") != 0 && _wcsicmp(entry.cFileName, L"..") != 0) {
            names.push_back(toUtf8(entry.cFileName));
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return names;
}

}  // namespace zel::vem
