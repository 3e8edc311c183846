// SharedSection: one named shared-memory section mapped into this process (frames from the
// service arrive through these).
#pragma once

#include <cstdint>
#include <string>

#include "service/shared_security.h"

namespace zel::vem {

// Windows: a paging-file backed file mapping. POSIX: a shm_open object named "/" + NAME (names
// are used as received, a "Global\" prefix included; a name containing '/' or ".." cannot be
// used).
//
// size() is the mapped size: the whole pages the view spans after open (the section's own size
// rounded up to pages), the requested size after create. Callers must not read or write past
// data() + size().
//
// No lock: an object belongs to one user. No operation throws; a failed one leaves it empty.
class SharedSection {
  public:
    SharedSection() = default;
    ~SharedSection();  // close()
    SharedSection(SharedSection&& other) noexcept;
    SharedSection& operator=(SharedSection&& other) noexcept;
    SharedSection(const SharedSection&) = delete;
    SharedSection& operator=(const SharedSection&) = delete;

    // Maps the whole existing section NAME (UTF-8): for reading and writing on Windows, for
    // reading only on POSIX, where only the service writes frames (a write through data()
    // faults there).
    bool open(const char* name);
    // Creates and maps a new section of `size` bytes; fails when one of that name exists (it is
    // never adopted). With GlobalAccess the name gets the "Global\" prefix and every account
    // may open it.
    bool create(const char* name, uint64_t size, unsigned flags = 0);
    // create() under a fresh name: `prefix` followed by rand() in upper-case hex (1 to 4 digits),
    // "Global\" in front with GlobalAccess. Gives up after 10000 names.
    bool createUnique(const char* prefix, uint64_t size, unsigned flags = 0);
    // POSIX, for the creating side: cuts the object to `size` bytes, as a careless service
    // might, so readers can be tested against it; this object's own view past `size` must not
    // be touched afterwards. False when it cannot (Windows sections never shrink).
    bool shrink(uint64_t size);
    // Unmaps and releases the section; harmless when empty. POSIX: a section this object created
    // is unlinked, so its name is gone (mappings of other processes stay valid).
    void close();

    // Copies up to `count` bytes from `offset` of the section and returns how many it copied:
    // fewer at the end of the mapped size, and on POSIX fewer when the section's creator has cut
    // it since, where a plain copy from data() would kill the process with SIGBUS. A cut inside
    // the last page copied is not seen: those bytes read as zeros, as if the creator had written
    // zeros. Readers of sections made by another process read through this. POSIX: the first
    // call installs a SIGBUS handler that passes on every fault but its own (mapped_copy_posix.h).
    uint64_t readAt(uint64_t offset, void* buffer, uint64_t count) const;

    // Takes the name of a section this process created away, so no one can open it any more
    // (mappings stay valid), also when the object that created it was never closed. Windows:
    // nothing to do, a section goes with its last handle.
    static void removeName(const std::string& name);

    void* data() const { return view; }
    uint64_t size() const { return mappedSize; }
    // The full name given to the system ("Global\" included); empty when no section is held.
    const std::string& name() const { return sectionName; }

  private:
    enum class Created { New, Exists, Failed };
    // Platform steps. createObject leaves `handle` set only for Created::New.
    Created createObject(const std::string& fullName, uint64_t size, unsigned flags);
    bool mapCreated(uint64_t size);
    void release();
    bool createNamed(const std::string& fullName, uint64_t size, unsigned flags);

    std::string sectionName;
    // Windows: the file-mapping HANDLE; POSIX: the object's descriptor plus one (kept for
    // readAt). 0 when none.
    intptr_t handle = 0;
    void* view = nullptr;
    uint64_t mappedSize = 0;
    // POSIX: the object's own size when it was opened or created. readAt gives zeros between it
    // and the mapped size, as the view does there.
    uint64_t objectSize = 0;
    // POSIX: this object created the name and unlinks it on close.
    bool owner = false;
    // POSIX: a copy from the view faulted, so the view is partly zero pages; readAt reads
    // through the descriptor from then on.
    mutable bool viewLost = false;
};

}  // namespace zel::vem
