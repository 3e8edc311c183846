// IFileSystem, the base library's file-system interface, with its directory entry and listing.
#pragma once

#include <cstdint>

#include "suite/array.h"
#include "suite/datetime.h"
#include "suite/export.h"
#include "suite/file.h"
#include "suite/properties.h"
#include "suite/shared_ptr.h"
#include "suite/strings.h"

namespace zel {

// CDirectoryEntry::attributes.
constexpr uint32_t kAttrDirectory = 0x1;
constexpr uint32_t kAttrFile = 0x2;
constexpr uint32_t kAttrNone = 0x80000000u;  // no such entry

// IFileSystem::GetCapabilities bits.
constexpr unsigned int kCapRead = 0x1;
constexpr unsigned int kCapWrite = 0x2;
constexpr unsigned int kCapDirectories = 0x4;

// A new entry describes nothing (kAttrNone) until it is filled.
struct CDirectoryEntry {
    CStringW name;
    CStringW path;
    uint32_t attributes = kAttrNone;
    uint64_t size = 0;
    CDateTime time;
    CPropertyArray properties;
};

struct CDirectoryListing {
    IFileSystem* owner = nullptr;
    CStringW path;
    TArray<CDirectoryEntry> entries;
};

// Progress of a copy: bytes done, bytes in total (-1 when unknown), the caller's pointer.
typedef void (*CopyProgressCallback)(long long done, long long total, void* user);

// The virtual slots keep this order: modules built against the suite call them by position.
class ZEL_API IFileSystem {
  public:
    virtual ~IFileSystem();
    // Base: 0, nothing promised.
    virtual unsigned GetCapabilities();
    // An empty pointer means failure.
    virtual TSharedPtr<IFile> OpenFile(const CStringW& path, unsigned mode) = 0;

  protected:
    // Copies through OpenFile/Read/Write of the file systems concerned; progress after every
    // block. A destination that exists is replaced only when overwrite is set. Each returns
    // true when every byte arrived.
    // From sourceFs's sourcePath to destPath of this file system.
    virtual bool Copy(IFileSystem* sourceFs, const CStringW& sourcePath, const CStringW& destPath,
                      bool overwrite, CopyProgressCallback progress, void* user);
    // From sourcePath of this file system to destFs's destPath.
    virtual bool Copy(const CStringW& sourcePath, IFileSystem* destFs, const CStringW& destPath,
                      bool overwrite, CopyProgressCallback progress, void* user);
    // count bytes (all that remain when negative) from source's current position to destPath.
    virtual bool Copy(TSharedPtr<IFile> source, const CStringW& destPath, long long count,
                      bool overwrite, CopyProgressCallback progress, void* user);
    // The rest of source, from its current position, to destPath.
    virtual bool Copy(TSharedPtr<IFile> source, const CStringW& destPath, bool overwrite,
                      CopyProgressCallback progress, void* user);
    // sourcePath of this file system into dest at dest's current position.
    virtual bool Copy(const CStringW& sourcePath, TSharedPtr<IFile> dest,
                      CopyProgressCallback progress, void* user);
    // Within this file system.
    virtual bool Copy(const CStringW& sourcePath, const CStringW& destPath, bool overwrite,
                      CopyProgressCallback progress, void* user);

  public:
    virtual CDirectoryListing GetDirectoryListing(const CStringW& path, const CStringW& filter) = 0;
    virtual CDirectoryEntry GetInfo(const CStringW& path) = 0;
    virtual bool RemoveFile(const CStringW& path) = 0;
    virtual bool MakeDir(const CStringW& path, bool recursive) = 0;
    virtual bool RemoveDir(const CStringW& path, bool recursive) = 0;
    virtual bool SetCurrentWorkingDirectory(const CStringW& path) = 0;
    // Base: through GetInfo.
    virtual bool FileExists(const CStringW& path);
    virtual bool IsFile(const CStringW& path);
    virtual bool IsDirectory(const CStringW& path);
    virtual CStringW GetCurrentWorkingDirectory() = 0;
    virtual CStringW GetFullPath(const CStringW& path) = 0;

  protected:
    IFileSystem() = default;
    IFileSystem(const IFileSystem&) = default;
    IFileSystem& operator=(const IFileSystem&) = default;
};

}  // namespace zel
