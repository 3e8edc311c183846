// Starting the mount: the folder's checks, the background process and its ready signal.
#include "mount/daemon.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mount/readahead_tuning.h"

extern char** environ;

namespace vemcli::mount {

namespace {

const char kReadyFdVariable[] = "ZELVEM_MOUNT_READY_FD";

}  // namespace

int fail(const std::string& message) {
    std::fprintf(stderr, "vem: %s\n", message.c_str());
    return 1;
}

std::string mountpointProblem(const std::string& mountpoint) {
    // Asked of the mount table first: looking into a mount whose server hangs would hang too.
    unsigned major = 0;
    unsigned minor = 0;
    if (mountedDevice(mountpoint, major, minor)) {
        return mountpoint + " is already a mount point (unmount it first: fusermount3 -u " +
               mountpoint + ")";
    }
    struct stat st {};
    if (stat(mountpoint.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return "mount point " + mountpoint + " is not a folder";
    }
    // Mounting over files hides them until the unmount; fusermount3 refuses it too.
    DIR* dir = opendir(mountpoint.c_str());
    if (dir == nullptr) {
        return "cannot read the mount point " + mountpoint + ": " + std::strerror(errno);
    }
    bool empty = true;
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    closedir(dir);
    return empty ? std::string() : "mount point " + mountpoint + " is not empty";
}

bool startedInBackground() {
    return std::getenv(kReadyFdVariable) != nullptr;
}

// A fresh process rather than a bare fork: the library's threads may already run in this one.
int runInBackground(const MountOptions& options) {
    char exe[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0) {
        return fail("cannot find this program to start the mount in the background");
    }
    exe[length] = '\0';
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        return fail(std::string("cannot start the mount: ") + std::strerror(errno));
    }
    // Everything the child needs is prepared here: after fork only async-signal-safe calls.
    std::vector<std::string> args{exe};
    args.insert(args.end(), options.foregroundArgs.begin(), options.foregroundArgs.end());
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::string readyVariable = std::string(kReadyFdVariable) + "=" + std::to_string(ready[1]);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, kReadyFdVariable, sizeof kReadyFdVariable - 1) != 0) {
            envp.push_back(*e);
        }
    }
    envp.push_back(readyVariable.data());
    envp.push_back(nullptr);

    const pid_t child = fork();
    if (child < 0) {
        return fail(std::string("cannot start the mount: ") + std::strerror(errno));
    }
    if (child == 0) {
        setsid();
        fcntl(ready[1], F_SETFD, 0);
        execve(exe, argv.data(), envp.data());
        _exit(127);
    }
    close(ready[1]);
    char byte = 0;
    ssize_t got;
    do {
        got = read(ready[0], &byte, 1);
    } while (got < 0 && errno == EINTR);
    close(ready[0]);
    if (got == 1) {
        return 0;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : 1;
}

void reportReady() {
    const char* fdText = std::getenv(kReadyFdVariable);
    if (fdText == nullptr) {
        return;
    }
    const int fd = std::atoi(fdText);
    unsetenv(kReadyFdVariable);
    const int devNull = open("/dev/null", O_RDWR);
    if (devNull >= 0) {
        dup2(devNull, STDIN_FILENO);
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
        if (devNull > STDERR_FILENO) {
            close(devNull);
        }
    }
    if (chdir("/") != 0) {
        // Staying in the starting folder only keeps it busy; the mount works either way.
    }
    const char byte = 1;
    while (write(fd, &byte, 1) < 0 && errno == EINTR) {
    }
    close(fd);
}

}  // namespace vemcli::mount
