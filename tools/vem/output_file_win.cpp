// Windows side of output_file_platform.h.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

#include "output_file_platform.h"
#include "wide_path.h"

namespace vemcli::outputplatform {

namespace {

// Unfinished files, read by the console handler (which Windows runs on a thread of its own).
// A slot is free (0), being filled (1) or armed (2); only armed slots are read there.
struct Slot {
    std::atomic<int> state{0};
    wchar_t path[MAX_PATH * 2];
};
Slot slots[8];

std::string systemMessage(DWORD code) {
    char text[512] = {};
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, code, 0, text, sizeof text, nullptr);
    while (length > 0 &&
           (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.')) {
        text[--length] = '\0';
    }
    return length > 0 ? std::string(text) : "error " + std::to_string(code);
}

std::FILE* streamOf(HANDLE handle, std::string& error) {
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(handle);
        error = "cannot make a stream of the file";
        return nullptr;
    }
    std::FILE* stream = ::_fdopen(fd, "wb");
    if (stream == nullptr) {
        ::_close(fd);
        error = "cannot make a stream of the file";
    }
    return stream;
}

BOOL WINAPI onConsoleStop(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    for (Slot& slot : slots) {
        if (slot.state.load() == 2) {
            // The file was opened with delete sharing: it goes when its last handle closes,
            // which ExitProcess does.
            ::DeleteFileW(slot.path);
        }
    }
    // As a POSIX shell reports SIGINT (130) and SIGHUP (129).
    ::ExitProcess(event == CTRL_CLOSE_EVENT ? 129 : 130);
    return TRUE;
}

}  // namespace

Kind kindOf(const std::string& path) {
    // Opening with no access asks what the name is without touching it; devices such as NUL
    // and CON answer too, which the attributes alone would not.
    HANDLE handle = ::CreateFileW(widePath(path).c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? Kind::Missing
                                                                            : Kind::Regular;
    }
    Kind kind = Kind::Other;
    if (::GetFileType(handle) == FILE_TYPE_DISK) {
        BY_HANDLE_FILE_INFORMATION info = {};
        kind = ::GetFileInformationByHandle(handle, &info) &&
                       (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                   ? Kind::Folder
                   : Kind::Regular;
    }
    ::CloseHandle(handle);
    return kind;
}

std::FILE* createNew(const std::string& path, bool& exists, std::string& error) {
    // CREATE_NEW fails on any existing name; a reparse point is not followed into either.
    // Readable too: a TIFF writer reads back the directories it wrote.
    HANDLE handle = ::CreateFileW(widePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        exists = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
        error = systemMessage(code);
        return nullptr;
    }
    exists = false;
    std::FILE* stream = streamOf(handle, error);
    if (stream == nullptr) {
        ::DeleteFileW(widePath(path).c_str());
    }
    return stream;
}

std::FILE* openExisting(const std::string& path, std::string& error) {
    HANDLE handle =
        ::CreateFileW(widePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = systemMessage(::GetLastError());
        return nullptr;
    }
    return streamOf(handle, error);
}

std::string randomToken() {
    static const char kHex[] = "0123456789abcdef";
    // MinGW's random_device draws from the system's generator (rand_s).
    std::random_device device;
    std::string token;
    for (int i = 0; i < 2; ++i) {
        const uint32_t value = device();
        for (int shift = 28; shift >= 0; shift -= 4) {
            token += kHex[(value >> shift) & 15];
        }
    }
    return token;
}

bool removeFile(const std::string& path) {
    return ::DeleteFileW(widePath(path).c_str()) != 0;
}

void watchStopSignals() {
    static std::atomic<bool> installed{false};
    if (!installed.exchange(true)) {
        ::SetConsoleCtrlHandler(onConsoleStop, TRUE);
    }
}

// Set once by the program's entry point, before any thread writes a file.
std::atomic<bool> stopSignalsOwned{false};

void ownStopSignals() {
    stopSignalsOwned.store(true);
}

int remember(const std::string& path) {
    if (stopSignalsOwned.load()) {
        watchStopSignals();
    }
    const std::wstring wide = widePath(path);
    if (wide.size() >= std::size(slots[0].path)) {
        return -1;
    }
    for (int i = 0; i < static_cast<int>(std::size(slots)); ++i) {
        int expected = 0;
        if (slots[i].state.compare_exchange_strong(expected, 1)) {
            std::memcpy(slots[i].path, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
            slots[i].state.store(2);
            return i;
        }
    }
    return -1;
}

void forget(int slot) {
    if (slot >= 0) {
        slots[slot].state.store(0);
    }
}

namespace {

HANDLE handleOf(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
}

}  // namespace

bool syncFile(std::FILE* stream) {
    return ::FlushFileBuffers(handleOf(stream)) != 0;
}

bool syncFolder(const std::string&) {
    return true;
}

void startWriteBack(std::FILE*, uint64_t, uint64_t) {}

bool setModifiedTime(std::FILE* stream, int64_t seconds) {
    // FILETIME counts 100 ns from 1601; 1970 is 11644473600 s after it.
    const uint64_t ticks = static_cast<uint64_t>(seconds + 11644473600LL) * 10000000ULL;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ::SetFileTime(handleOf(stream), nullptr, nullptr, &time) != 0;
}

int readFromDisk(std::FILE* stream, uint64_t size,
                 const std::function<bool(const uint8_t*, size_t)>& take) {
    std::vector<uint8_t> buffer(size_t{8} << 20);
    std::rewind(stream);
    for (uint64_t at = 0; at < size;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - at));
        const size_t got = std::fread(buffer.data(), 1, want, stream);
        if (got != want) {
            return std::ferror(stream) && errno != 0 ? errno : EIO;
        }
        at += got;
        if (!take(buffer.data(), got)) {
            break;
        }
    }
    return 0;
}

std::FILE* openReadWrite(const std::string& path, std::string& error) {
    HANDLE handle =
        ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = systemMessage(::GetLastError());
        return nullptr;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(handle);
        error = "cannot make a stream of the file";
        return nullptr;
    }
    std::FILE* stream = ::_fdopen(fd, "r+b");
    if (stream == nullptr) {
        ::_close(fd);
        error = "cannot make a stream of the file";
    }
    return stream;
}

bool truncateFile(std::FILE* stream, uint64_t size) {
    return ::_chsize_s(::_fileno(stream), static_cast<__int64>(size)) == 0;
}

bool regularFileInfo(const std::string& path, uint64_t& size, int64_t& modifiedSeconds) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return false;
    }
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    const uint64_t ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                           data.ftLastWriteTime.dwLowDateTime;
    modifiedSeconds = static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
    return true;
}

}  // namespace vemcli::outputplatform
