// The operating-system calls behind CFileSystem, for Windows (the ...W calls on UTF-16 paths).
#include <windows.h>

#include <string>

#include "suite/local_file_system_platform.h"

namespace zel {
namespace platform {

const char16_t kNativeSeparator = u'\\';

namespace {

long long Ticks(const FILETIME& t) {
    return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                  t.dwLowDateTime);
}

FileStat FromAttributes(DWORD attributes, DWORD sizeHigh, DWORD sizeLow, const FILETIME& written) {
    FileStat out;
    out.directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    out.size = (static_cast<uint64_t>(sizeHigh) << 32) | sizeLow;
    out.ticks = Ticks(written);
    return out;
}

HANDLE ToNative(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

bool Stat(const CStringW& path, FileStat* stat) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.w_str(), GetFileExInfoStandard, &data)) {
        return false;
    }
    *stat = FromAttributes(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow,
                           data.ftLastWriteTime);
    return true;
}

bool ListFolder(const CStringW& folder, std::vector<DirectoryItem>* items) {
    std::u16string pattern = folder.str();
    if (!pattern.empty() && pattern.back() != u'\\' && pattern.back() != u'/') {
        pattern += u'\\';
    }
    pattern += u'*';
    WIN32_FIND_DATAW data;
    // FindExInfoBasic skips the 8.3 names; matching is done by the caller on the long names.
    HANDLE find = FindFirstFileExW(reinterpret_cast<const wchar_t*>(pattern.c_str()),
                                   FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        // An empty folder still has "." and ".."; only a missing or unreadable one fails, except
        // for a drive root, which has neither.
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    do {
        const std::u16string name(reinterpret_cast<const char16_t*>(data.cFileName));
        if (name == u"." || name == u"..") {
            continue;
        }
        DirectoryItem item;
        item.name = CStringW(name);
        item.stat = FromAttributes(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow,
                                   data.ftLastWriteTime);
        item.link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        items->push_back(std::move(item));
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return true;
}

intptr_t Open(const CStringW& path, bool read, bool write, bool create, bool shareRead) {
    DWORD access = 0;
    if (read) {
        access |= GENERIC_READ;
    }
    if (write) {
        access |= GENERIC_WRITE;
    }
    const DWORD share = shareRead ? FILE_SHARE_READ : 0;
    const DWORD disposition = create ? CREATE_ALWAYS : OPEN_EXISTING;
    HANDLE h = CreateFileW(path.w_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return kInvalidHandle;
    }
    return reinterpret_cast<intptr_t>(h);
}

void Close(intptr_t handle) {
    CloseHandle(ToNative(handle));
}

int64_t Read(intptr_t handle, void* buffer, uint32_t count) {
    char* p = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        DWORD n = 0;
        if (!ReadFile(ToNative(handle), p + done, static_cast<DWORD>(count - done), &n, nullptr)) {
            return done > 0 ? done : -1;
        }
        if (n == 0) {
            break;
        }
        done += n;
    }
    return done;
}

int64_t Write(intptr_t handle, const void* buffer, uint32_t count) {
    const char* p = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        DWORD n = 0;
        if (!WriteFile(ToNative(handle), p + done, static_cast<DWORD>(count - done), &n, nullptr) ||
            n == 0) {
            return done > 0 ? done : -1;
        }
        done += n;
    }
    return done;
}

bool SeekTo(intptr_t handle, int64_t position) {
    LARGE_INTEGER to;
    to.QuadPart = position;
    return SetFilePointerEx(ToNative(handle), to, nullptr, FILE_BEGIN) != 0;
}

int64_t Size(intptr_t handle) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(ToNative(handle), &size)) {
        return -1;
    }
    return size.QuadPart;
}

bool Truncate(intptr_t handle, int64_t size) {
    HANDLE h = ToNative(handle);
    LARGE_INTEGER here;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(h, zero, &here, FILE_CURRENT)) {
        return false;
    }
    // SetEndOfFile cuts at the file pointer; put it back afterwards.
    const bool ok = SeekTo(handle, size) && SetEndOfFile(h);
    SetFilePointerEx(h, here, nullptr, FILE_BEGIN);
    return ok;
}

bool Flush(intptr_t handle) {
    return FlushFileBuffers(ToNative(handle)) != 0;
}

bool RemoveFile(const CStringW& path) {
    return DeleteFileW(path.w_str()) != 0;
}

bool MakeFolder(const CStringW& path) {
    return CreateDirectoryW(path.w_str(), nullptr) != 0;
}

bool RemoveFolder(const CStringW& path) {
    return RemoveDirectoryW(path.w_str()) != 0;
}

bool SetWorkingFolder(const CStringW& path) {
    return SetCurrentDirectoryW(path.w_str()) != 0;
}

CStringW WorkingFolder() {
    const DWORD n = GetCurrentDirectoryW(0, nullptr);
    if (n == 0) {
        return CStringW();
    }
    std::u16string buffer(n, u'\0');
    const DWORD written = GetCurrentDirectoryW(n, reinterpret_cast<wchar_t*>(&buffer[0]));
    if (written == 0 || written >= n) {
        return CStringW();
    }
    buffer.resize(written);
    return CStringW(std::move(buffer));
}

CStringW FullPath(const CStringW& path) {
    if (path.empty()) {
        return WorkingFolder();
    }
    const DWORD n = GetFullPathNameW(path.w_str(), 0, nullptr, nullptr);
    if (n == 0) {
        return path;
    }
    std::u16string buffer(n, u'\0');
    const DWORD written =
        GetFullPathNameW(path.w_str(), n, reinterpret_cast<wchar_t*>(&buffer[0]), nullptr);
    if (written == 0 || written >= n) {
        return path;
    }
    buffer.resize(written);
    // A trailing separator names the same folder; without it every full path has one form. A
    // drive root ("C:\") keeps it.
    while (buffer.size() > 3 && buffer.back() == u'\\') {
        buffer.pop_back();
    }
    return CStringW(std::move(buffer));
}

}  // namespace platform
}  // namespace zel
