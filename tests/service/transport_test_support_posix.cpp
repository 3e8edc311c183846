// Test support for the transport tests, POSIX: temporary pipe directories, child processes.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/service/transport_test_support.h"

extern char** environ;

namespace zel::vem::test {

PipeTestScope::PipeTestScope() {
    char pattern[] = "/tmp/zelvem-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr) {
        dir = pattern;
        setenv("ZELVEM_PIPE_DIR", dir.c_str(), 1);
    }
}

PipeTestScope::~PipeTestScope() {
    if (!dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        unsetenv("ZELVEM_PIPE_DIR");
    }
}

std::string PipeTestScope::uniqueName(const char* stem) {
    static std::atomic<int> counter{0};
    return std::string(stem) + std::to_string(currentProcessId()) + "_" + std::to_string(counter++);
}

unsigned long currentProcessId() {
    return static_cast<unsigned long>(getpid());
}

bool runningUnderWine() {
    return false;
}

struct ChildProcess::State {
    pid_t pid = -1;
    int input = -1;   // our end of its stdin
    int output = -1;  // our end of its stdout
    std::string pending;
};

namespace {
std::string ownFolder() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return ".";
    }
    return std::filesystem::path(std::string(path, static_cast<size_t>(length)))
        .parent_path()
        .string();
}
}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
    : state(new State) {
    // A child's closed stdin must not kill us with SIGPIPE while writing to it.
    signal(SIGPIPE, SIG_IGN);
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0) {
        return;
    }
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        return;
    }
    const std::string path = ownFolder() + "/" + program;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        state->pid = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    state->input = toChild[1];
    state->output = fromChild[0];
}

ChildProcess::~ChildProcess() {
    finish();
    if (state->output >= 0) {
        close(state->output);
    }
    delete state;
}

bool ChildProcess::started() const {
    return state->pid > 0;
}

std::string ChildProcess::readLine() {
    for (;;) {
        const size_t end = state->pending.find('\n');
        if (end != std::string::npos) {
            std::string line = state->pending.substr(0, end);
            state->pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        char buffer[256];
        const ssize_t got = read(state->output, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            std::string rest;
            rest.swap(state->pending);
            return rest;
        }
        state->pending.append(buffer, static_cast<size_t>(got));
    }
}

bool ChildProcess::writeLine(const std::string& line) {
    const std::string text = line + "\n";
    return state->input >= 0 &&
           write(state->input, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int ChildProcess::finish(unsigned timeoutMs) {
    if (state->input >= 0) {
        close(state->input);
        state->input = -1;
    }
    if (state->pid <= 0) {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(state->pid, &status, WNOHANG);
        if (done == state->pid) {
            state->pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(state->pid, SIGKILL);
            waitpid(state->pid, &status, 0);
            state->pid = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace zel::vem::test
