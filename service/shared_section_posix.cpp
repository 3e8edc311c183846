// SharedSection for POSIX: shm_open objects named "/" + NAME, mapped shared.
#include "service/shared_section.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <limits>

namespace zel::vem {

namespace {

// shm_open takes one path component after the leading '/'.
std::string objectName(const char* name) {
    if (name == nullptr || *name == '\0' || std::strchr(name, '/') != nullptr) {
        return {};
    }
    return std::string("/") + name;
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
    const int fd = shm_open(object.c_str(), O_RDWR | O_CLOEXEC, 0);
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
                       ? mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                       : MAP_FAILED;
    // The mapping keeps the object alive; the descriptor is not needed any more.
    ::close(fd);
    if (mapped == MAP_FAILED) {
        return false;
    }
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
    const mode_t mode = static_cast<mode_t>(sharedAccessMode(flags));
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
    handle = fd;
    return Created::New;
}

bool SharedSection::mapCreated(uint64_t size) {
    const int fd = static_cast<int>(handle);
    void* mapped = size <= std::numeric_limits<size_t>::max()
                       ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                       : MAP_FAILED;
    ::close(fd);
    handle = 0;
    view = mapped == MAP_FAILED ? nullptr : mapped;
    return view != nullptr;
}

void SharedSection::release() {
    if (view != nullptr) {
        munmap(view, static_cast<size_t>(mappedSize));
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
