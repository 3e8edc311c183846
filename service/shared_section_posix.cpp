// SharedSection for POSIX: shm_open objects named "/" + NAME, mapped shared.
#include "service/shared_section.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "service/mapped_copy_posix.h"

namespace zel::vem {

namespace {

// shm_open takes one path component after the leading '/'. Names come from the service: one
// that could climb out of the shared-memory folder is refused outright, whatever the C library
// would make of it.
std::string objectName(const char* name) {
    if (name == nullptr || *name == '\0' || std::strchr(name, '/') != nullptr ||
        std::strstr(name, "..") != nullptr) {
        return {};
    }
    return std::string("/") + name;
}

// The shared code keeps 0 for "no handle", and 0 is a valid descriptor: the handle is the
// descriptor plus one.
intptr_t handleOf(int fd) {
    return static_cast<intptr_t>(fd) + 1;
}
int descriptorOf(intptr_t handle) {
    return static_cast<int>(handle - 1);
}

uint64_t pageSize() {
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<uint64_t>(page) : 4096;
}

}  // namespace

bool SharedSection::open(const char* name) {
    close();
    const std::string object = objectName(name);
    if (object.empty()) {
        return false;
    }
    // Read-only: only the service writes frames, and a client must not be able to change what
    // other clients of the same section see.
    const int fd = shm_open(object.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || info.st_size <= 0) {
        ::close(fd);
        return false;
    }
    // The whole pages the object spans, as a Windows view's region size; the tail of the last
    // page past the object's end reads as zeros.
    const uint64_t page = pageSize();
    const uint64_t length = (static_cast<uint64_t>(info.st_size) + page - 1) / page * page;
    void* mapped = length <= std::numeric_limits<size_t>::max()
                       ? mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0)
                       : MAP_FAILED;
    if (mapped == MAP_FAILED) {
        ::close(fd);
        return false;
    }
    // Kept for readAt: the service may shrink the object, and only a read through the
    // descriptor survives that.
    handle = handleOf(fd);
    objectSize = static_cast<uint64_t>(info.st_size);
    sectionName = name;
    view = mapped;
    mappedSize = length;
    return true;
}

SharedSection::Created SharedSection::createObject(const std::string& fullName, uint64_t size,
                                                   unsigned flags) {
    const std::string object = objectName(fullName.c_str());
    // A section of 0 bytes cannot be mapped (nor created on Windows).
    if (object.empty() || size == 0 ||
        size > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
        return Created::Failed;
    }
    const mode_t mode = static_cast<mode_t>(sectionAccessMode(flags));
    const int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        return errno == EEXIST ? Created::Exists : Created::Failed;
    }
    // shm_open's mode is narrowed by the umask; the shared mode must hold exactly.
    if (fchmod(fd, mode) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
        ::close(fd);
        shm_unlink(object.c_str());
        return Created::Failed;
    }
    handle = handleOf(fd);
    return Created::New;
}

bool SharedSection::mapCreated(uint64_t size) {
    const int fd = descriptorOf(handle);
    void* mapped = size <= std::numeric_limits<size_t>::max()
                       ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                       : MAP_FAILED;
    view = mapped == MAP_FAILED ? nullptr : mapped;
    return view != nullptr;
}

uint64_t SharedSection::readAt(uint64_t offset, void* buffer, uint64_t count) const {
    if (handle == 0 || offset >= mappedSize) {
        return 0;
    }
    count = std::min(count, mappedSize - offset);
    // From the view, as fast as memory copies: a plain copy from a mapping whose object the
    // service has cut raises SIGBUS and kills the host, so the copy is guarded. Once a copy has
    // faulted, the view is partly zero pages and only the descriptor tells the truth.
    if (!viewLost) {
        switch (copyFromMapping(buffer, static_cast<const char*>(view) + offset,
                                static_cast<size_t>(count))) {
            case MappedCopy::Done:
                return count;
            case MappedCopy::Faulted:
                viewLost = true;
                break;
            case MappedCopy::Unguarded:
                break;
        }
    }
    // pread comes back short where the object now ends.
    auto* out = static_cast<char*>(buffer);
    uint64_t done = 0;
    while (done < count) {
        const size_t ask = static_cast<size_t>(
            std::min<uint64_t>(count - done, std::numeric_limits<ssize_t>::max()));
        const ssize_t got =
            pread(descriptorOf(handle), out + done, ask, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<uint64_t>(got);
    }
    // Past the object's end as it was opened, the view reads zeros; short of it, the object has
    // shrunk and what is missing is gone.
    if (done < count && offset + done >= objectSize) {
        std::memset(out + done, 0, static_cast<size_t>(count - done));
        done = count;
    }
    return done;
}

bool SharedSection::shrink(uint64_t size) {
    return handle != 0 && owner && size <= objectSize &&
           ftruncate(descriptorOf(handle), static_cast<off_t>(size)) == 0;
}

void SharedSection::release() {
    if (view != nullptr) {
        munmap(view, static_cast<size_t>(mappedSize));
    }
    if (handle != 0) {
        ::close(descriptorOf(handle));
    }
    if (owner && !sectionName.empty()) {
        // The creator's name goes with it; processes that mapped it keep their views.
        shm_unlink(objectName(sectionName.c_str()).c_str());
    }
}

void SharedSection::removeName(const std::string& name) {
    const std::string object = objectName(name.c_str());
    if (!object.empty()) {
        shm_unlink(object.c_str());
    }
}

}  // namespace zel::vem
