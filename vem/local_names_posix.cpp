// Which local files the emulator may open, POSIX: regular files only, every name is a file name.
#include <sys/stat.h>

#include <cerrno>

#include "vem/local_names.h"

namespace zel::vem {

bool isDeviceName(const CStringW&) {
    return false;
}

bool isRegularLocalFile(const CStringW& path) {
    // stat, not lstat: a link to a movie elsewhere is the user's own arrangement.
    struct stat info;
    return stat(path.ToUtf8().c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool localNameFree(const CStringW& path) {
    struct stat info;
    return lstat(path.ToUtf8().c_str(), &info) != 0 && errno == ENOENT;
}

}  // namespace zel::vem
