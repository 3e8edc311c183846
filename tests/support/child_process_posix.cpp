// ChildProcess steps for POSIX: posix_spawn with the output on a pipe, waitpid, signals.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/child_process_platform.h"

extern char** environ;

namespace zel::test::platform {

const char* const kExecutableSuffix = "";

bool spawn(const std::string& program, const std::vector<std::string>& args, intptr_t& process,
           intptr_t& output) {
    // Close-on-exec, so children other tests start at the same time do not inherit it; the
    // dup2 below gives the child its own inheritable copies.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    std::vector<std::string> argText = {program};
    argText.insert(argText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& text : argText) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int result = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (result != 0) {
        ::close(fds[0]);
        return false;
    }
    process = pid;
    output = fds[0];
    return true;
}

int64_t readOutput(intptr_t output, char* buffer, size_t size) {
    ssize_t got;
    do {
        got = ::read(static_cast<int>(output), buffer, size);
    } while (got < 0 && errno == EINTR);
    return got < 0 ? 0 : got;
}

bool failedBeforeMain(int) {
    // exec failures are reported by spawn itself; every exit after that is the program's own.
    return false;
}

bool tryWait(intptr_t process, int& exitCode) {
    int status = 0;
    if (waitpid(static_cast<pid_t>(process), &status, WNOHANG) != static_cast<pid_t>(process)) {
        return false;
    }
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

bool interrupt(intptr_t process) {
    return ::kill(static_cast<pid_t>(process), SIGTERM) == 0;
}

bool sendSignal(intptr_t process, int number) {
    return ::kill(static_cast<pid_t>(process), number) == 0;
}

void kill(intptr_t process) {
    ::kill(static_cast<pid_t>(process), SIGKILL);
}

void release(intptr_t, intptr_t output) {
    if (output != -1) {
        ::close(static_cast<int>(output));
    }
}

std::string executablePath() {
    char buffer[4096];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

bool setEnv(const std::string& name, const std::string& value) {
    return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

}  // namespace zel::test::platform
