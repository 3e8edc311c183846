// CVemInterface: the drive's file system ("vem:"), one per process, reached through instance().
#pragma once

#include "suite/delegate.h"
#include "suite/export.h"
#include "suite/filesystem.h"

namespace zel::vem {

class CVemInterfacePrivate;

// The process's one provider for "vem:" paths. A flat tree: the root "/" holds one file per movie,
// named "<number>-<name>"; "<entry>:info" is a movie's information block.
//
// Failure behaviour: no operation reports service or path errors by exception. They come back as
// neutral results (false, an empty listing, an entry whose attributes are 0x80000000, an empty file
// pointer). Only resource failures (allocation, thread creation) throw.
class ZELVEM_API CVemInterface : public IFileSystem {
  public:
    // Connects to the drive service (unless ZELVEM_ENABLE_EMULATOR is set and not empty), loads
    // the movie list, starts the event thread and registers the object under "vem:". The library
    // itself only constructs the singleton; see instance().
    CVemInterface();
    // Ends the service's event queue, joins the event thread and disconnects, once the last object
    // sharing this state goes away.
    ~CVemInterface() override;
    // Copies share the original's state (a reference is counted); the state is shut down when
    // the last of them is destroyed.
    CVemInterface(const CVemInterface& other);
    CVemInterface& operator=(const CVemInterface& other);

    // Whether a recording drive is present: always true in emulator mode, otherwise asked anew of
    // the service on every call (false when it cannot be asked).
    bool drivePresent();
    // Files-changed handlers run after every refresh of the movie list, on the refreshing thread,
    // with the cache lock held (a handler may call back into this object on that thread). Adding a
    // handler equal to a registered one does nothing; the rvalue overload then leaves its argument
    // untouched, and otherwise empties it.
    void AddFilesChangedHandler(delegate<void()>&& handler);
    void AddFilesChangedHandler(const delegate<void()>& handler);
    // Unregisters the first registered handler equal to `handler`; nothing when none is.
    void RemoveFilesChangedHandler(const delegate<void()>& handler);

    TSharedPtr<IFile> OpenFile(const CStringW& path, unsigned int mode) override;
    CDirectoryListing GetDirectoryListing(const CStringW& path, const CStringW& filter) override;
    CDirectoryEntry GetInfo(const CStringW& path) override;
    bool RemoveFile(const CStringW& path) override;
    // The tree has no folders to make or remove: both always return false.
    bool MakeDir(const CStringW& path, bool recursive) override;
    bool RemoveDir(const CStringW& path, bool recursive) override;
    // Stored as given (no check, no normalisation); relative paths expand against it.
    bool SetCurrentWorkingDirectory(const CStringW& path) override;
    CStringW GetCurrentWorkingDirectory() override;
    // Strips an exact "vem://" and expands the rest against the working directory.
    CStringW GetFullPath(const CStringW& path) override;

    // Not part of the host interface: what the tools and tests look at.
    bool isEmulator() const;
    // The local folder that emulator mode serves; empty when the platform cannot name it.
    CStringW GetEmulatorFolder() const;

  private:
    friend class CVemInterfacePrivate;
    friend class CVemFile;
    friend class MovieCatalog;
    CVemInterfacePrivate* d;
};

// The singleton, constructed on the first call (thread-safe; a construction that throws is retried
// by the next call) and destroyed when the library is unloaded.
ZELVEM_API CVemInterface* instance();

}  // namespace zel::vem
