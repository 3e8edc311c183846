// IFileSystem's base members: capabilities, copies through the file interface, existence tests.
#include "suite/filesystem.h"

#include <vector>

namespace zel {

namespace {

constexpr uint32_t kCopyBlock = 64 * 1024;

// Copies count bytes (all that remain when negative) from the current position of source to
// that of dest.
bool CopyStream(IFile& source, IFile& dest, long long count, CopyProgressCallback progress,
                void* user) {
    long long total = count;
    if (total < 0) {
        const int64_t remaining = source.GetSize() - source.GetPosition();
        total = remaining > 0 ? remaining : 0;
    }
    std::vector<uint8_t> buffer(kCopyBlock);
    long long done = 0;
    while (done < total) {
        const long long left = total - done;
        const uint32_t want = left < kCopyBlock ? static_cast<uint32_t>(left) : kCopyBlock;
        const uint32_t got = source.Read(buffer.data(), want);
        if (got == 0) {
            return false;  // the source ended early or failed
        }
        if (!dest.WriteBytes(buffer.data(), got)) {
            return false;
        }
        done += got;
        if (progress != nullptr) {
            progress(done, total, user);
        }
    }
    return true;
}

bool CopyFileToPath(IFile& source, IFileSystem& destFs, const CStringW& destPath, long long count,
                    bool overwrite, CopyProgressCallback progress, void* user) {
    if (!overwrite && destFs.FileExists(destPath)) {
        return false;
    }
    TSharedPtr<IFile> dest = destFs.OpenFile(destPath, kOpenWrite | kOpenCreate);
    if (!dest) {
        return false;
    }
    const bool copied = CopyStream(source, *dest, count, progress, user);
    dest->Flush();
    return dest->Close() && copied;
}

bool CopyPathToPath(IFileSystem& sourceFs, const CStringW& sourcePath, IFileSystem& destFs,
                    const CStringW& destPath, bool overwrite, CopyProgressCallback progress,
                    void* user) {
    // Opening the destination would truncate the source before a byte was read.
    if (&sourceFs == &destFs && sourceFs.GetFullPath(sourcePath) == destFs.GetFullPath(destPath)) {
        return false;
    }
    TSharedPtr<IFile> source = sourceFs.OpenFile(sourcePath, kOpenRead | kOpenShareRead);
    if (!source) {
        return false;
    }
    return CopyFileToPath(*source, destFs, destPath, -1, overwrite, progress, user);
}

}  // namespace

IFileSystem::~IFileSystem() = default;

unsigned IFileSystem::GetCapabilities() {
    return 0;
}

bool IFileSystem::Copy(IFileSystem* sourceFs, const CStringW& sourcePath, const CStringW& destPath,
                       bool overwrite, CopyProgressCallback progress, void* user) {
    if (sourceFs == nullptr) {
        return false;
    }
    return CopyPathToPath(*sourceFs, sourcePath, *this, destPath, overwrite, progress, user);
}

bool IFileSystem::Copy(const CStringW& sourcePath, IFileSystem* destFs, const CStringW& destPath,
                       bool overwrite, CopyProgressCallback progress, void* user) {
    if (destFs == nullptr) {
        return false;
    }
    return CopyPathToPath(*this, sourcePath, *destFs, destPath, overwrite, progress, user);
}

bool IFileSystem::Copy(TSharedPtr<IFile> source, const CStringW& destPath, long long count,
                       bool overwrite, CopyProgressCallback progress, void* user) {
    if (!source) {
        return false;
    }
    return CopyFileToPath(*source, *this, destPath, count, overwrite, progress, user);
}

bool IFileSystem::Copy(TSharedPtr<IFile> source, const CStringW& destPath, bool overwrite,
                       CopyProgressCallback progress, void* user) {
    return Copy(std::move(source), destPath, -1LL, overwrite, progress, user);
}

bool IFileSystem::Copy(const CStringW& sourcePath, TSharedPtr<IFile> dest,
                       CopyProgressCallback progress, void* user) {
    if (!dest) {
        return false;
    }
    TSharedPtr<IFile> source = OpenFile(sourcePath, kOpenRead | kOpenShareRead);
    if (!source) {
        return false;
    }
    return CopyStream(*source, *dest, -1, progress, user);
}

bool IFileSystem::Copy(const CStringW& sourcePath, const CStringW& destPath, bool overwrite,
                       CopyProgressCallback progress, void* user) {
    return CopyPathToPath(*this, sourcePath, *this, destPath, overwrite, progress, user);
}

bool IFileSystem::FileExists(const CStringW& path) {
    return (GetInfo(path).attributes & kAttrNone) == 0;
}

bool IFileSystem::IsFile(const CStringW& path) {
    const uint32_t attributes = GetInfo(path).attributes;
    return (attributes & kAttrNone) == 0 && (attributes & kAttrFile) != 0;
}

bool IFileSystem::IsDirectory(const CStringW& path) {
    const uint32_t attributes = GetInfo(path).attributes;
    return (attributes & kAttrNone) == 0 && (attributes & kAttrDirectory) != 0;
}

}  // namespace zel
