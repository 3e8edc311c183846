// POSIX only: the pipe folder is a trust boundary -- checks of the folder and of the peer.
#include "service/pipe_trust_posix.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "service/pipe_check.h"
#include "service/pipe_path.h"
#include "service/pipe_socket_posix.h"
#include "service/text_util.h"

namespace zel::vem {

namespace {

// The checks every user of a folder makes, whoever named it.
std::string usableProblem(const std::string& dir, const struct stat& info) {
    if (S_ISLNK(info.st_mode)) {
        return formatString("pipe folder %s is a symbolic link", dir.c_str());
    }
    if (!S_ISDIR(info.st_mode)) {
        return formatString("pipe folder %s is not a folder", dir.c_str());
    }
    // Anyone who may write to the folder may replace the socket in it, sticky bit or not: the
    // first to bind a name owns it.
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return formatString("pipe folder %s can be written by other users (mode %04o)", dir.c_str(),
                            static_cast<unsigned>(info.st_mode & 07777));
    }
    return {};
}

bool ownedByUs(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

// What a user can do about a default folder in /tmp that another user made first: nothing
// there (anyone may create any name in /tmp, and the first one wins), so the hint is to move.
std::string movedAwayHint(const std::string& dir) {
    if (dir.rfind("/tmp/", 0) != 0) {
        return {};
    }
    return "; another user created it before you did, which blocks your drive service and its "
           "clients and cannot be prevented in /tmp: set XDG_RUNTIME_DIR (your private runtime "
           "folder) or ZELVEM_PIPE_DIR (a folder of your own) for both";
}

}  // namespace

std::string clientFolderProblem(const PipeFolder& folder, bool& exists, uid_t& owner) {
    struct stat info;
    exists = lstat(folder.path.c_str(), &info) == 0;
    if (!exists) {
        return {};
    }
    owner = info.st_uid;
    std::string problem = usableProblem(folder.path, info);
    if (problem.empty() && !folder.named && !ownedByUs(info.st_uid)) {
        problem = formatString("pipe folder %s belongs to user %lu, not to you (%lu) or root",
                               folder.path.c_str(), static_cast<unsigned long>(info.st_uid),
                               static_cast<unsigned long>(geteuid())) +
                  movedAwayHint(folder.path);
    }
    return problem;
}

std::string serverFolderProblem(const std::string& dir) {
    struct stat info;
    if (lstat(dir.c_str(), &info) != 0) {
        return formatString("pipe folder %s cannot be examined", dir.c_str());
    }
    std::string problem = usableProblem(dir, info);
    if (problem.empty() && !ownedByUs(info.st_uid)) {
        problem = formatString("pipe folder %s belongs to user %lu, not to this user (%lu) or root",
                               dir.c_str(), static_cast<unsigned long>(info.st_uid),
                               static_cast<unsigned long>(geteuid())) +
                  (pipeFolder().named ? std::string() : movedAwayHint(dir));
    }
    return problem;
}

std::string peerProblem(int fd, const PipeFolder& folder, uid_t folderOwner) {
    uid_t peer = 0;
    long pid = 0;
#if defined(SO_PEERCRED)
    struct ucred credentials = {};
    socklen_t length = sizeof(credentials);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof(credentials)) {
        return "the system cannot tell who serves the pipe";
    }
    peer = credentials.uid;
    pid = static_cast<long>(credentials.pid);
#else
    gid_t group = 0;
    if (getpeereid(fd, &peer, &group) != 0) {
        return "the system cannot tell who serves the pipe";
    }
#endif
    if (ownedByUs(peer) || (folder.named && peer == folderOwner)) {
        return {};
    }
    return formatString("the pipe is served by user %lu (process %ld), not by you (%lu), root%s",
                        static_cast<unsigned long>(peer), pid,
                        static_cast<unsigned long>(geteuid()),
                        folder.named ? " or the pipe folder's owner" : "");
}

bool connectTrustedPipe(const char* name, int& fd, std::string* why) {
    const std::string path = pipePath(name);
    if (path.empty()) {
        return false;
    }
    const PipeFolder folder = pipeFolder();
    bool exists = false;
    uid_t owner = 0;
    std::string problem = clientFolderProblem(folder, exists, owner);
    if (!exists) {
        return false;
    }
    int connected = -1;
    if (problem.empty()) {
        if (connectUnixSocket(path, connected) != ConnectResult::Connected) {
            return false;
        }
        problem = peerProblem(connected, folder, owner);
    }
    if (!problem.empty()) {
        if (connected >= 0) {
            ::close(connected);
        }
        if (why != nullptr) {
            *why = problem;
        }
        return false;
    }
    fd = connected;
    return true;
}

std::string pipeServeProblem() {
    const std::string dir = pipeFolder().path;
    struct stat info;
    // A missing folder is made by the server: no problem yet.
    return lstat(dir.c_str(), &info) != 0 ? std::string() : serverFolderProblem(dir);
}

std::string pipeTrustProblem(const char* name) {
    std::string why;
    int fd = -1;
    if (connectTrustedPipe(name, fd, &why)) {
        ::close(fd);
    }
    return why;
}

}  // namespace zel::vem
