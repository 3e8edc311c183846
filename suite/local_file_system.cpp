// CFileSystem: the local disk, shared logic over the platform calls.
#include "suite/local_file_system.h"

#include <algorithm>
#include <vector>

#include "suite/local_file_system_platform.h"
#include "suite/path.h"
#include "suite/seek.h"

namespace zel {

namespace {

// A file of the local disk. Used by one thread at a time, like any IFile.
class CLocalFile : public IFile {
  public:
    CLocalFile(IFileSystem* owner, CStringW name, intptr_t handle, bool read, bool write)
        : m_owner(owner), m_name(std::move(name)), m_handle(handle), m_read(read), m_write(write) {}
    ~CLocalFile() override { Close(); }

    CStringW GetName() override { return m_name; }
    IFileSystem* GetFileSystem() override { return m_owner; }

    uint32_t Write(const void* buffer, uint32_t count) override {
        if (!m_write || m_handle == platform::kInvalidHandle || buffer == nullptr) {
            return 0;
        }
        const int64_t n = platform::Write(m_handle, buffer, count);
        if (n <= 0) {
            return 0;
        }
        m_position += n;
        return static_cast<uint32_t>(n);
    }

    uint32_t Read(void* buffer, uint32_t count) override {
        if (!m_read || m_handle == platform::kInvalidHandle || buffer == nullptr) {
            return 0;
        }
        const int64_t n = platform::Read(m_handle, buffer, count);
        if (n <= 0) {
            return 0;
        }
        m_position += n;
        return static_cast<uint32_t>(n);
    }

    int64_t GetSize() override {
        if (m_handle == platform::kInvalidHandle) {
            return 0;
        }
        const int64_t size = platform::Size(m_handle);
        return size < 0 ? 0 : size;
    }

    int64_t GetPosition() override { return m_position; }

    int64_t Seek(int64_t offset, uint32_t origin) override {
        if (m_handle == platform::kInvalidHandle) {
            return m_position;
        }
        const int64_t target = ResolveSeek(m_position, GetSize(), offset, origin);
        if (platform::SeekTo(m_handle, target)) {
            m_position = target;
        }
        return m_position;
    }

    bool SetSize(int64_t size) override {
        if (!m_write || m_handle == platform::kInvalidHandle || size < 0) {
            return false;
        }
        if (!platform::Truncate(m_handle, size)) {
            return false;
        }
        if (m_position > size) {
            m_position = size;
            platform::SeekTo(m_handle, size);
        }
        return true;
    }

    void Flush() override {
        if (m_handle != platform::kInvalidHandle && m_write) {
            platform::Flush(m_handle);
        }
    }

    bool Close() override {
        if (m_handle == platform::kInvalidHandle) {
            return true;
        }
        platform::Close(m_handle);
        m_handle = platform::kInvalidHandle;
        return true;
    }

    bool CanRead() override { return m_read && m_handle != platform::kInvalidHandle; }
    bool CanWrite() override { return m_write && m_handle != platform::kInvalidHandle; }

  private:
    IFileSystem* m_owner;
    CStringW m_name;
    intptr_t m_handle;
    bool m_read;
    bool m_write;
    int64_t m_position = 0;
};

CDirectoryEntry MakeEntry(const CStringW& fullPath, const CStringW& name,
                          const platform::FileStat& stat) {
    CDirectoryEntry entry;
    entry.name = name;
    entry.path = fullPath;
    entry.attributes = stat.directory ? kAttrDirectory : kAttrFile;
    entry.size = stat.directory ? 0 : stat.size;
    entry.time = CDateTime::NewTimestamp(stat.ticks, CDateTime::kTicks);
    return entry;
}

bool RemoveTree(const CStringW& folder) {
    std::vector<platform::DirectoryItem> items;
    if (!platform::ListFolder(folder, &items)) {
        return false;
    }
    bool ok = true;
    for (const auto& item : items) {
        const CStringW child = path::MakePath(folder, item.name, platform::kNativeSeparator);
        if (item.stat.directory && !item.link) {
            ok = RemoveTree(child) && ok;
        } else if (item.stat.directory) {
            ok = platform::RemoveFolder(child) && ok;  // a link to a folder: drop the link only
        } else {
            ok = platform::RemoveFile(child) && ok;
        }
    }
    return platform::RemoveFolder(folder) && ok;
}

}  // namespace

CFileSystem::~CFileSystem() = default;

unsigned CFileSystem::GetCapabilities() {
    return kCapRead | kCapWrite | kCapDirectories;
}

TSharedPtr<IFile> CFileSystem::OpenFile(const CStringW& path, unsigned mode) {
    const bool create = (mode & kOpenCreate) != 0;
    bool write = (mode & kOpenWrite) != 0 || create;
    bool read = (mode & kOpenRead) != 0;
    if (!read && !write) {
        read = true;  // no access asked for: the harmless one
    }
    const CStringW full = GetFullPath(path);
    const intptr_t handle = platform::Open(full, read, write, create, (mode & kOpenShareRead) != 0);
    if (handle == platform::kInvalidHandle) {
        return TSharedPtr<IFile>();
    }
    return TSharedPtr<IFile>(new CLocalFile(this, full, handle, read, write));
}

CDirectoryListing CFileSystem::GetDirectoryListing(const CStringW& path, const CStringW& filter) {
    CDirectoryListing listing;
    listing.owner = this;
    listing.path = GetFullPath(path);
    std::vector<platform::DirectoryItem> items;
    if (!platform::ListFolder(listing.path, &items)) {
        return listing;
    }
    // Directory order differs between platforms and file systems; the name order does not.
    std::sort(items.begin(), items.end(),
              [](const platform::DirectoryItem& a, const platform::DirectoryItem& b) {
                  return a.name < b.name;
              });
    for (const auto& item : items) {
        if (!filter.empty() && !path::WildcardMatch(filter, item.name)) {
            continue;
        }
        listing.entries.append(
            MakeEntry(path::MakePath(listing.path, item.name, platform::kNativeSeparator),
                      item.name, item.stat));
    }
    return listing;
}

CDirectoryEntry CFileSystem::GetInfo(const CStringW& path) {
    const CStringW full = GetFullPath(path);
    platform::FileStat stat;
    if (!platform::Stat(full, &stat)) {
        CDirectoryEntry missing;
        missing.name = path::GetFilename(full);
        missing.path = full;
        return missing;
    }
    return MakeEntry(full, path::GetFilename(full), stat);
}

bool CFileSystem::RemoveFile(const CStringW& path) {
    return platform::RemoveFile(GetFullPath(path));
}

bool CFileSystem::MakeDir(const CStringW& path, bool recursive) {
    const CStringW full = GetFullPath(path);
    platform::FileStat stat;
    if (platform::Stat(full, &stat)) {
        return stat.directory;
    }
    if (recursive) {
        const CStringW parent =
            path::GetFilename(full).length() < full.length()
                ? full.substr(0, full.length() - path::GetFilename(full).length())
                : CStringW();
        // Stop at the root: it cannot be created, and a parent equal to full would recurse.
        if (!parent.empty() && GetFullPath(parent) != full) {
            MakeDir(parent, true);
        }
    }
    if (platform::MakeFolder(full)) {
        return true;
    }
    // Someone else may have created it meanwhile.
    return platform::Stat(full, &stat) && stat.directory;
}

bool CFileSystem::RemoveDir(const CStringW& path, bool recursive) {
    const CStringW full = GetFullPath(path);
    platform::FileStat stat;
    if (!platform::Stat(full, &stat) || !stat.directory) {
        return false;
    }
    return recursive ? RemoveTree(full) : platform::RemoveFolder(full);
}

bool CFileSystem::SetCurrentWorkingDirectory(const CStringW& path) {
    return platform::SetWorkingFolder(path);
}

CStringW CFileSystem::GetCurrentWorkingDirectory() {
    return platform::WorkingFolder();
}

CStringW CFileSystem::GetFullPath(const CStringW& path) {
    return platform::FullPath(path);
}

IFileSystem* fileSystem() {
    static CFileSystem instance;
    return &instance;
}

}  // namespace zel
