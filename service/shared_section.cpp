// SharedSection: ownership and the naming of new sections, shared by every platform.
#include "service/shared_section.h"

#include <cstdio>
#include <cstdlib>

namespace zel::vem {

namespace {
constexpr int kUniqueAttempts = 10000;
const char kGlobalPrefix[] = "Global\\";
}  // namespace

SharedSection::~SharedSection() {
    close();
}

SharedSection::SharedSection(SharedSection&& other) noexcept {
    *this = std::move(other);
}

SharedSection& SharedSection::operator=(SharedSection&& other) noexcept {
    if (this != &other) {
        close();
        sectionName = std::move(other.sectionName);
        handle = other.handle;
        view = other.view;
        mappedSize = other.mappedSize;
        objectSize = other.objectSize;
        owner = other.owner;
        viewLost = other.viewLost;
        other.sectionName.clear();
        other.handle = 0;
        other.view = nullptr;
        other.mappedSize = 0;
        other.objectSize = 0;
        other.owner = false;
        other.viewLost = false;
    }
    return *this;
}

void SharedSection::close() {
    release();
    sectionName.clear();
    handle = 0;
    view = nullptr;
    mappedSize = 0;
    objectSize = 0;
    owner = false;
    viewLost = false;
}

bool SharedSection::create(const char* name, uint64_t size, unsigned flags) {
    close();
    // An empty name would make an unnamed (Windows) or invalid (POSIX) section.
    if (name == nullptr || *name == '\0') {
        return false;
    }
    std::string fullName = (flags & GlobalAccess) ? kGlobalPrefix : "";
    fullName += name;
    if (createObject(fullName, size, flags) != Created::New) {
        close();
        return false;
    }
    return createNamed(fullName, size, flags);
}

bool SharedSection::createUnique(const char* prefix, uint64_t size, unsigned flags) {
    close();
    const char* format = (flags & GlobalAccess) ? "Global\\%s%X" : "%s%X";
    for (int attempt = 0; attempt < kUniqueAttempts; ++attempt) {
        // Masked to the 15 bits of the Windows runtime's rand, so names have 1 to 4 hex digits
        // on every platform. Never seeded here: that is the application's business.
        const unsigned r = static_cast<unsigned>(std::rand()) & 0x7FFFu;
        char name[512];
        std::snprintf(name, sizeof(name), format, prefix != nullptr ? prefix : "", r);
        switch (createObject(name, size, flags)) {
            case Created::New:
                return createNamed(name, size, flags);
            case Created::Exists:
            case Created::Failed:
                break;
        }
    }
    close();
    return false;
}

bool SharedSection::createNamed(const std::string& fullName, uint64_t size, unsigned flags) {
    sectionName = fullName;
    owner = true;
    if (!mapCreated(size)) {
        close();
        return false;
    }
    mappedSize = size;
    objectSize = size;
    return true;
}

}  // namespace zel::vem
