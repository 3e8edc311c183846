// SharedSection for Windows: paging-file backed file mappings.
#include <windows.h>

#include <cstring>

#include "service/shared_section.h"
#include "service/text_util.h"

namespace zel::vem {

namespace {
constexpr DWORD kViewAccess = FILE_MAP_READ | FILE_MAP_WRITE;

HANDLE asHandle(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}
}  // namespace

bool SharedSection::open(const char* name) {
    close();
    if (name == nullptr || *name == '\0') {
        return false;
    }
    const std::u16string wide = toWide(name);
    HANDLE mapping =
        OpenFileMappingW(kViewAccess, FALSE, reinterpret_cast<const wchar_t*>(wide.c_str()));
    if (mapping == nullptr) {
        return false;
    }
    handle = reinterpret_cast<intptr_t>(mapping);
    sectionName = name;
    view = MapViewOfFile(mapping, kViewAccess, 0, 0, 0);
    MEMORY_BASIC_INFORMATION region;
    if (view != nullptr && VirtualQuery(view, &region, sizeof(region)) != 0) {
        mappedSize = region.RegionSize;
        return true;
    }
    close();
    return false;
}

SharedSection::Created SharedSection::createObject(const std::string& fullName, uint64_t size,
                                                   unsigned flags) {
    const std::u16string wide = toWide(fullName.c_str());
    // Default security when the shared attributes could not be built: still usable locally.
    SECURITY_ATTRIBUTES* security = nullptr;
    if (flags & GlobalAccess) {
        security = static_cast<SECURITY_ATTRIBUTES*>(SharedSecurity::attributes());
    }
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, security, PAGE_READWRITE,
                                        static_cast<DWORD>(size >> 32), static_cast<DWORD>(size),
                                        reinterpret_cast<const wchar_t*>(wide.c_str()));
    if (mapping == nullptr) {
        return Created::Failed;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Someone else's section: never adopted.
        CloseHandle(mapping);
        return Created::Exists;
    }
    handle = reinterpret_cast<intptr_t>(mapping);
    return Created::New;
}

bool SharedSection::mapCreated(uint64_t) {
    view = MapViewOfFile(asHandle(handle), kViewAccess, 0, 0, 0);
    return view != nullptr;
}

uint64_t SharedSection::readAt(uint64_t offset, void* buffer, uint64_t count) const {
    // A Windows section keeps its size while mapped: copying from the view is safe.
    if (view == nullptr || offset >= mappedSize) {
        return 0;
    }
    count = count < mappedSize - offset ? count : mappedSize - offset;
    std::memcpy(buffer, static_cast<const char*>(view) + offset, static_cast<size_t>(count));
    return count;
}

bool SharedSection::shrink(uint64_t) {
    return false;
}

void SharedSection::release() {
    if (view != nullptr) {
        UnmapViewOfFile(view);
    }
    if (handle != 0) {
        CloseHandle(asHandle(handle));
    }
}

void SharedSection::removeName(const std::string&) {}

}  // namespace zel::vem
