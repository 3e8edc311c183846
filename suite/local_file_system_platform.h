// The operating-system calls behind CFileSystem (internal to zel), one implementation per platform.
#pragma once

#include <cstdint>
#include <vector>

#include "suite/strings.h"

namespace zel {
namespace platform {

// Separator of full paths that the platform produces.
extern const char16_t kNativeSeparator;

struct FileStat {
    bool directory = false;
    uint64_t size = 0;
    long long ticks = 0;  // modification time, 100-ns ticks since 1601-01-01 UTC
};

struct DirectoryItem {
    CStringW name;
    FileStat stat;
    bool link = false;  // a symbolic link or other reparse point: never descended into
};

// Handles are opaque; kInvalidHandle marks none.
constexpr intptr_t kInvalidHandle = -1;

bool Stat(const CStringW& path, FileStat* stat);
// Every entry of folder except "." and "..".
bool ListFolder(const CStringW& folder, std::vector<DirectoryItem>* items);
intptr_t Open(const CStringW& path, bool read, bool write, bool create, bool shareRead);
void Close(intptr_t handle);
// Bytes transferred, or -1 on failure; loops over partial transfers.
int64_t Read(intptr_t handle, void* buffer, uint32_t count);
int64_t Write(intptr_t handle, const void* buffer, uint32_t count);
bool SeekTo(intptr_t handle, int64_t position);
int64_t Size(intptr_t handle);
bool Truncate(intptr_t handle, int64_t size);
bool Flush(intptr_t handle);
bool RemoveFile(const CStringW& path);
bool MakeFolder(const CStringW& path);
bool RemoveFolder(const CStringW& path);
bool SetWorkingFolder(const CStringW& path);
CStringW WorkingFolder();
// Absolute form of path, lexically normalised.
CStringW FullPath(const CStringW& path);

}  // namespace platform
}  // namespace zel
