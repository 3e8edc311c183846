// The operating-system calls behind CFileSystem, for POSIX systems (paths go to the OS as UTF-8).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "suite/local_file_system_platform.h"
#include "suite/path.h"

namespace zel {
namespace platform {

const char16_t kNativeSeparator = u'/';

namespace {

std::string Native(const CStringW& path) {
    return path.ToUtf8().str();
}

FileStat FromStat(const struct stat& st) {
    FileStat out;
    out.directory = S_ISDIR(st.st_mode);
    out.size = static_cast<uint64_t>(st.st_size);
    out.ticks = (static_cast<long long>(st.st_mtim.tv_sec) + 11644473600LL) * 10000000LL +
                st.st_mtim.tv_nsec / 100;
    return out;
}

intptr_t ToHandle(int fd) {
    return fd < 0 ? kInvalidHandle : static_cast<intptr_t>(fd);
}
int ToFd(intptr_t handle) {
    return static_cast<int>(handle);
}

}  // namespace

bool Stat(const CStringW& path, FileStat* stat) {
    struct stat st;
    if (::stat(Native(path).c_str(), &st) != 0) {
        return false;
    }
    *stat = FromStat(st);
    return true;
}

bool ListFolder(const CStringW& folder, std::vector<DirectoryItem>* items) {
    const std::string base = Native(folder);
    DIR* dir = ::opendir(base.c_str());
    if (dir == nullptr) {
        return false;
    }
    while (const dirent* d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const std::string child =
            base.empty() || base.back() == '/' ? base + name : base + "/" + name;
        struct stat st;
        // lstat: a link is reported as what it is, so a recursive removal never follows one.
        if (::lstat(child.c_str(), &st) != 0) {
            continue;  // vanished meanwhile
        }
        DirectoryItem item;
        item.name = CStringW(name.c_str(), static_cast<int>(name.size()));
        item.link = S_ISLNK(st.st_mode);
        if (item.link) {
            struct stat target;
            // A listing shows what the link leads to; a dangling link shows as a file.
            item.stat = ::stat(child.c_str(), &target) == 0 ? FromStat(target) : FromStat(st);
        } else {
            item.stat = FromStat(st);
        }
        items->push_back(std::move(item));
    }
    ::closedir(dir);
    return true;
}

intptr_t Open(const CStringW& path, bool read, bool write, bool create, bool) {
    int flags = O_CLOEXEC;
    if (read && write) {
        flags |= O_RDWR;
    } else if (write) {
        flags |= O_WRONLY;
    } else {
        flags |= O_RDONLY;
    }
    if (create) {
        flags |= O_CREAT | O_TRUNC;
    }
    const std::string native = Native(path);
    const int fd = ::open(native.c_str(), flags, 0666);
    if (fd < 0) {
        return kInvalidHandle;
    }
    struct stat st;
    // A folder opens on POSIX but is no file.
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return kInvalidHandle;
    }
    return ToHandle(fd);
}

void Close(intptr_t handle) {
    ::close(ToFd(handle));
}

int64_t Read(intptr_t handle, void* buffer, uint32_t count) {
    char* p = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(ToFd(handle), p + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return done > 0 ? done : -1;
        }
        if (n == 0) {
            break;
        }
        done += n;
    }
    return done;
}

int64_t Write(intptr_t handle, const void* buffer, uint32_t count) {
    const char* p = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(ToFd(handle), p + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return done > 0 ? done : -1;
        }
        done += n;
    }
    return done;
}

bool SeekTo(intptr_t handle, int64_t position) {
    return ::lseek(ToFd(handle), static_cast<off_t>(position), SEEK_SET) == position;
}

int64_t Size(intptr_t handle) {
    struct stat st;
    if (::fstat(ToFd(handle), &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

bool Truncate(intptr_t handle, int64_t size) {
    return ::ftruncate(ToFd(handle), static_cast<off_t>(size)) == 0;
}

bool Flush(intptr_t handle) {
    return ::fsync(ToFd(handle)) == 0;
}

bool RemoveFile(const CStringW& path) {
    const std::string native = Native(path);
    struct stat st;
    // unlink would refuse a folder too, but only on Linux; say no everywhere.
    if (::lstat(native.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        return false;
    }
    return ::unlink(native.c_str()) == 0;
}

bool MakeFolder(const CStringW& path) {
    return ::mkdir(Native(path).c_str(), 0777) == 0;
}

bool RemoveFolder(const CStringW& path) {
    const std::string native = Native(path);
    struct stat st;
    if (::lstat(native.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        return ::unlink(native.c_str()) == 0;  // a link to a folder: only the link goes
    }
    return ::rmdir(native.c_str()) == 0;
}

bool SetWorkingFolder(const CStringW& path) {
    return ::chdir(Native(path).c_str()) == 0;
}

CStringW WorkingFolder() {
    std::string buffer(256, '\0');
    while (::getcwd(&buffer[0], buffer.size()) == nullptr) {
        if (errno != ERANGE || buffer.size() > (1u << 20)) {
            return CStringW();
        }
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(buffer.find('\0'));
    return CStringW(buffer.c_str(), static_cast<int>(buffer.size()));
}

CStringW FullPath(const CStringW& path) {
    return path::ExpandRelativePath(WorkingFolder(), path, u'/');
}

}  // namespace platform
}  // namespace zel
