// LocalServer and listPipes for POSIX: a listening Unix-domain socket in the pipe directory.
#include "service/local_server.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "service/pipe_path.h"
#include "service/pipe_socket_posix.h"
#include "service/pipe_trust_posix.h"
#include "service/text_util.h"

namespace zel::vem {

namespace {

// Creates the folders above the pipe folder that are missing (0755, so a shared service stays
// reachable); whether they are safe is the business of whoever named the pipe folder.
bool makeParents(const std::string& dir) {
    const size_t slash = dir.find_last_of('/');
    if (slash == std::string::npos || slash == 0) {
        return true;
    }
    const std::string parent = dir.substr(0, slash);
    struct stat info;
    if (stat(parent.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode);
    }
    return makeParents(parent) && (mkdir(parent.c_str(), 0755) == 0 || errno == EEXIST);
}

// Makes sure `dir` exists and may be served in: a missing folder is created for this user with
// `mode`; an existing one must already be safe (pipe_trust_posix.h), since changing the mode of
// a folder someone else made, or adopting it, would hand them our pipe.
bool ensureDirectory(const std::string& dir, mode_t mode) {
    struct stat info;
    if (lstat(dir.c_str(), &info) != 0) {
        if (!makeParents(dir)) {
            return false;
        }
        if (mkdir(dir.c_str(), mode) == 0) {
            // Our own new folder: undo the umask's narrowing, through a descriptor of the folder
            // just made so that nothing swapped in under the name is changed.
            const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) {
                if (fstat(fd, &info) == 0 && info.st_uid == geteuid()) {
                    fchmod(fd, mode);
                }
                ::close(fd);
            }
        } else if (errno != EEXIST) {
            return false;
        }
    }
    return serverFolderProblem(dir).empty();
}

// Holds an exclusive lock on the pipe directory, so that two servers deciding at once whether a
// socket file is stale cannot both replace it.
class DirectoryLock {
  public:
    explicit DirectoryLock(const std::string& dir) {
        fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~DirectoryLock() {
        if (fd >= 0) {
            ::close(fd);  // releases the lock
        }
    }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

  private:
    int fd = -1;
};

// Whether the system lists a listening socket bound to `path` (Linux: /proc/net/unix). Asking
// the system spares a live server the empty connection that probing it would leave in its
// accept queue. False when the list cannot be read.
bool listenerListed(const std::string& path) {
    std::FILE* list = std::fopen("/proc/net/unix", "re");
    if (list == nullptr) {
        return false;
    }
    constexpr unsigned long kListening = 0x10000;  // __SO_ACCEPTCON
    bool found = false;
    char line[4096 + 128];
    while (!found && std::fgets(line, sizeof(line), list) != nullptr) {
        // "Num: RefCount Protocol Flags Type St Inode Path"
        unsigned long flags = 0;
        int pathStart = 0;
        if (std::sscanf(line, "%*s %*x %*x %lx %*x %*x %*u %n", &flags, &pathStart) < 1 ||
            pathStart == 0 || (flags & kListening) == 0) {
            continue;
        }
        std::string bound(line + pathStart);
        while (!bound.empty() && (bound.back() == '\n' || bound.back() == '\r')) {
            bound.pop_back();
        }
        found = bound == path;
    }
    std::fclose(list);
    return found;
}

// Clears the way for a new socket at `path`: false when a live server answers there or
// something that is not a socket is in the way.
bool removeStaleSocket(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT;
    }
    if (!S_ISSOCK(info.st_mode)) {
        return false;
    }
    if (listenerListed(path)) {
        return false;
    }
    // Not listed (or no list): a server may still answer under another spelling of the path,
    // so only a refused connection proves the file stale.
    int fd = -1;
    switch (connectUnixSocket(path, fd)) {
        case ConnectResult::Connected:
            ::close(fd);
            return false;
        case ConnectResult::Refused:
            return unlink(path.c_str()) == 0 || errno == ENOENT;
        case ConnectResult::Busy:
        case ConnectResult::Failed:
            return false;
    }
    return false;
}

}  // namespace

struct LocalServer::State {
    std::string path;
    // Wake-up pipe of accept: close() writes one byte and never drains it, so a closed server
    // aborts every later wait at once.
    int wakeRead = -1;
    int wakeWrite = -1;

    // Guards listener, socketFile, closed and accepting; no other lock is taken while it is held.
    // close() waits on `idle` until no accept polls `listener`, so the descriptor is never closed
    // (and its number reused) under a waiting accept.
    std::mutex lock;
    std::condition_variable idle;
    int listener = -1;
    // Identity of the socket file we bound, so close() never unlinks a successor's file.
    dev_t socketDevice = 0;
    ino_t socketInode = 0;
    bool closed = false;
    int accepting = 0;
};

LocalServer::LocalServer() : state(new State) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        state->wakeRead = fds[0];
        state->wakeWrite = fds[1];
    }
}

LocalServer::~LocalServer() {
    close();
    if (state->wakeRead >= 0) {
        ::close(state->wakeRead);
        ::close(state->wakeWrite);
    }
}

bool LocalServer::listen(const char* name, unsigned flags) {
    std::lock_guard<std::mutex> guard(state->lock);
    if (state->closed || state->listener >= 0 || state->wakeRead < 0) {
        return false;
    }
    const std::string path = pipePath(name);
    if ((flags & GlobalAccess) && SharedSecurity::attributes() == nullptr) {
        return false;
    }
    const mode_t folderMode = (flags & GlobalAccess) ? 0755 : 0700;
    if (path.empty() || !ensureDirectory(pipeDirectory(), folderMode)) {
        return false;
    }
    const mode_t mode = static_cast<mode_t>(sharedAccessMode(flags));

    DirectoryLock directoryLock(pipeDirectory());
    if (!removeStaleSocket(path)) {
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return false;
    }
    // Set before listen(): until then nobody can connect, so the umask-narrowed mode that bind
    // gave the file is never seen by a client.
    struct stat info;
    if (chmod(path.c_str(), mode) != 0 || stat(path.c_str(), &info) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        unlink(path.c_str());
        ::close(fd);
        return false;
    }
    state->path = path;
    state->socketDevice = info.st_dev;
    state->socketInode = info.st_ino;
    state->listener = fd;
    return true;
}

LocalSocket LocalServer::accept() {
    std::unique_lock<std::mutex> guard(state->lock);
    if (state->listener < 0) {
        throw std::runtime_error("Pipe not open.");
    }
    ++state->accepting;
    const int listener = state->listener;
    guard.unlock();

    int client = -1;
    std::string failure;
    for (;;) {
        pollfd waits[2] = {{listener, POLLIN, 0}, {state->wakeRead, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            failure = formatString("ConnectNamedPipe failed, GetLastError() = %u.",
                                   static_cast<unsigned>(errno));
            break;
        }
        if (waits[1].revents != 0) {
            failure = "ConnectNamedPipe aborted.";
            break;
        }
        // The listener is non-blocking: a client that gave up before we took it, or another
        // accepting thread that was quicker, sends us back to waiting.
        client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            break;
        }
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
            continue;
        }
        failure = formatString("ConnectNamedPipe failed, GetLastError() = %u.",
                               static_cast<unsigned>(errno));
        break;
    }

    guard.lock();
    --state->accepting;
    state->idle.notify_all();
    if (client < 0) {
        throw std::runtime_error(failure);
    }
    suppressSigpipe(client);
    return LocalSocket(client);
}

void LocalServer::close() {
    std::unique_lock<std::mutex> guard(state->lock);
    state->closed = true;
    if (state->wakeWrite >= 0) {
        const char wake = 1;
        // One byte is enough and stays; a full pipe already holds one.
        while (::write(state->wakeWrite, &wake, 1) < 0 && errno == EINTR) {
        }
    }
    state->idle.wait(guard, [this] { return state->accepting == 0; });
    if (state->listener >= 0) {
        struct stat info;
        if (lstat(state->path.c_str(), &info) == 0 && info.st_dev == state->socketDevice &&
            info.st_ino == state->socketInode) {
            unlink(state->path.c_str());
        }
        ::close(state->listener);
        state->listener = -1;
    }
}

std::vector<std::string> listPipes(const char* prefix) {
    std::vector<std::string> names;
    const std::string wanted = prefix != nullptr ? prefix : "";
    DIR* dir = opendir(pipeDirectory().c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        if (std::strncmp(name, wanted.c_str(), wanted.size()) == 0) {
            names.emplace_back(name);
        }
    }
    closedir(dir);
    return names;
}

}  // namespace zel::vem
