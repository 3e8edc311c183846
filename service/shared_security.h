// Process-wide security for pipes and sections that other accounts (a service in another
// session) must be able to reach.
#pragma once

namespace zel::vem {

// Flag bit of LocalServer::listen, SharedSection::create and createUnique: make the object
// readable and writable by every account.
inline constexpr unsigned GlobalAccess = 1;

class SharedSecurity {
  public:
    // Built once per process on first use (thread-safe) and kept until the process exits.
    // Windows: a SECURITY_ATTRIBUTES granting Everyone read/write and Administrators all, or
    // null when any step of building it failed.
    // POSIX: an `unsigned` permission mode (0666) for socket files.
    static void* attributes();
};

// POSIX only: the permission mode for a new socket file, everyone read/write (0666) with
// GlobalAccess, else the owner only (0600).
unsigned sharedAccessMode(unsigned flags);
// POSIX only: the permission mode for a new shared-memory object. Only the service writes
// frames, so with GlobalAccess everyone may read (0644); else the owner only (0600).
unsigned sectionAccessMode(unsigned flags);

}  // namespace zel::vem
