// CFileSystem: the local disk as an IFileSystem, and fileSystem(), the process's instance.
#pragma once

#include "suite/export.h"
#include "suite/filesystem.h"

namespace zel {

// Paths are UTF-16; '/' is accepted as separator on Windows too. Relative paths are taken
// against the process's working directory.
class ZEL_API CFileSystem : public IFileSystem {
  public:
    CFileSystem() = default;
    ~CFileSystem() override;

    unsigned GetCapabilities() override;
    TSharedPtr<IFile> OpenFile(const CStringW& path, unsigned mode) override;
    // The files and folders of path whose names match filter (WildcardMatch; empty: all),
    // sorted by name. A folder that cannot be read gives no entries.
    CDirectoryListing GetDirectoryListing(const CStringW& path, const CStringW& filter) override;
    CDirectoryEntry GetInfo(const CStringW& path) override;
    bool RemoveFile(const CStringW& path) override;
    // True when the folder exists afterwards.
    bool MakeDir(const CStringW& path, bool recursive) override;
    // recursive removes the contents first; links are removed, never followed.
    bool RemoveDir(const CStringW& path, bool recursive) override;
    bool SetCurrentWorkingDirectory(const CStringW& path) override;
    CStringW GetCurrentWorkingDirectory() override;
    CStringW GetFullPath(const CStringW& path) override;
};

ZEL_API IFileSystem* fileSystem();

}  // namespace zel
