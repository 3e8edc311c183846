// POSIX side of output_file_platform.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <mutex>

#include "output_file_platform.h"

namespace vemcli::outputplatform {

namespace {

// Unfinished files, read by the signal handler. A slot is free (0), being filled (1) or armed
// (2); only armed slots are read there, so a handler never sees half a path. Lock-free on
// purpose: the handler may interrupt the thread that fills or frees a slot.
struct Slot {
    std::atomic<int> state{0};
    char path[PATH_MAX];
};
Slot slots[8];

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void onStopSignal(int signal) {
    for (Slot& slot : slots) {
        if (slot.state.load() == 2) {
            ::unlink(slot.path);
        }
    }
    // Ends the process the way the signal would have, so the parent sees which one it was
    // (a shell reports 128+N). It stays pending until this handler returns.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void installHandlers() {
    for (int signal : kStopSignals) {
        struct sigaction current = {};
        // A signal the parent chose to ignore (nohup) stays ignored.
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction handler = {};
        handler.sa_handler = onStopSignal;
        sigemptyset(&handler.sa_mask);
        for (int other : kStopSignals) {
            sigaddset(&handler.sa_mask, other);
        }
        ::sigaction(signal, &handler, nullptr);
    }
}

}  // namespace

Kind kindOf(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? Kind::Missing : Kind::Regular;
    }
    if (S_ISREG(info.st_mode)) {
        return Kind::Regular;
    }
    return S_ISDIR(info.st_mode) ? Kind::Folder : Kind::Other;
}

std::FILE* createNew(const std::string& path, bool& exists, std::string& error) {
    // O_EXCL refuses any existing name, a dangling link included; O_NOFOLLOW says so twice.
    // Readable too: a TIFF writer reads back the directories it wrote.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    exists = fd < 0 && errno == EEXIST;
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    std::FILE* stream = ::fdopen(fd, "wb");
    if (stream == nullptr) {
        error = std::strerror(errno);
        ::close(fd);
        ::unlink(path.c_str());
    }
    return stream;
}

std::FILE* openExisting(const std::string& path, std::string& error) {
    // No O_CREAT: if the device went away meanwhile, nothing is made in its place.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    std::FILE* stream = fd < 0 ? nullptr : ::fdopen(fd, "wb");
    if (stream == nullptr) {
        error = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
    }
    return stream;
}

std::string randomToken() {
    unsigned char bytes[8] = {};
    if (::getentropy(bytes, sizeof bytes) != 0) {
        // Without entropy the name is guessable, but creation stays exclusive: a planted name
        // is refused, never followed.
        const unsigned long mix = static_cast<unsigned long>(::getpid()) * 2654435761u ^
                                  static_cast<unsigned long>(::time(nullptr));
        std::memcpy(bytes, &mix, std::min(sizeof mix, sizeof bytes));
    }
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += kHex[b >> 4];
        token += kHex[b & 15];
    }
    return token;
}

bool removeFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

void watchStopSignals() {
    static std::once_flag installed;
    std::call_once(installed, installHandlers);
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
    if (path.size() >= PATH_MAX) {
        return -1;
    }
    for (int i = 0; i < static_cast<int>(std::size(slots)); ++i) {
        int expected = 0;
        if (slots[i].state.compare_exchange_strong(expected, 1)) {
            std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
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

bool syncFile(std::FILE* stream) {
    return ::fsync(::fileno(stream)) == 0;
}

bool syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // Some file systems cannot sync a folder (EINVAL); their renames are as durable as they get.
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return ok;
}

void startWriteBack(std::FILE* stream, uint64_t offset, uint64_t size) {
    ::sync_file_range(::fileno(stream), static_cast<off_t>(offset), static_cast<off_t>(size),
                      SYNC_FILE_RANGE_WRITE);
}

bool setModifiedTime(std::FILE* stream, int64_t seconds) {
    struct timespec times[2] = {};
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    return ::futimens(::fileno(stream), times) == 0;
}

int readFromDisk(std::FILE* stream, uint64_t size,
                 const std::function<bool(const uint8_t*, size_t)>& take) {
    // Whole pieces at offsets that are multiples of them: the alignment O_DIRECT asks for, of
    // the memory too; the file's end cuts the last piece short.
    constexpr size_t kPiece = size_t{8} << 20;
    constexpr size_t kAlign = 4096;
    void* memory = nullptr;
    if (::posix_memalign(&memory, kAlign, kPiece) != 0) {
        return ENOMEM;
    }
    const std::unique_ptr<void, void (*)(void*)> buffer(memory, std::free);
    const int fd = ::fileno(stream);
    const int flags = ::fcntl(fd, F_GETFL);
    bool direct = flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_DIRECT) == 0;
    if (!direct) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    }
    int error = 0;
    for (uint64_t at = 0; at < size;) {
        if (direct && at % kAlign != 0) {
            // A short read left an offset O_DIRECT refuses: the rest through the cache.
            direct = ::fcntl(fd, F_SETFL, flags) != 0;
        }
        const ssize_t got = ::pread(fd, memory, kPiece, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            error = got < 0 ? errno : EIO;
            break;
        }
        const size_t n = static_cast<size_t>(std::min<uint64_t>(got, size - at));
        at += n;
        if (!take(static_cast<const uint8_t*>(memory), n)) {
            break;
        }
    }
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags);
    }
    return error;
}

std::FILE* openReadWrite(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    std::FILE* stream = fd < 0 ? nullptr : ::fdopen(fd, "r+b");
    if (stream == nullptr) {
        error = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
    }
    return stream;
}

bool truncateFile(std::FILE* stream, uint64_t size) {
    return ::ftruncate(::fileno(stream), static_cast<off_t>(size)) == 0;
}

bool regularFileInfo(const std::string& path, uint64_t& size, int64_t& modifiedSeconds) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    size = static_cast<uint64_t>(info.st_size);
    modifiedSeconds = static_cast<int64_t>(info.st_mtim.tv_sec);
    return true;
}

}  // namespace vemcli::outputplatform
