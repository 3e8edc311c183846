// ChildProcess: output collection and waiting, shared by both platforms; temp folders.
#include "tests/support/child_process.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>

#include "tests/support/child_process_platform.h"

namespace zel::test {

namespace {
// How often one start may be repeated after the loader failed it.
constexpr int kMaxRestarts = 3;
}  // namespace

ChildProcess::~ChildProcess() {
    kill();
    int code = 0;
    wait(10000, code);
    if (reader_.joinable()) {
        reader_.join();
    }
    platform::release(process_, output_);
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& env) {
    if (process_ != -1) {
        return false;
    }
    for (const auto& item : env) {
        if (!setEnv(item.first, item.second)) {
            return false;
        }
    }
    program_ = program;
    args_ = args;
    if (!platform::spawn(program, args, process_, output_)) {
        process_ = -1;
        return false;
    }
    reader_ = std::thread([this] { readOutput(); });
    return true;
}

void ChildProcess::readOutput() {
    std::string pending;
    char buffer[4096];
    int64_t got;
    intptr_t output;
    do {
        {
            std::lock_guard<std::mutex> hold(processLock_);
            output = output_;
        }
        while ((got = platform::readOutput(output, buffer, sizeof buffer)) > 0) {
            pending.append(buffer, static_cast<size_t>(got));
            size_t newline;
            while ((newline = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, newline);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                pending.erase(0, newline + 1);
                std::fprintf(stderr, "[child] %s\n", line.c_str());
                std::lock_guard<std::mutex> hold(lock_);
                lines_.push_back(std::move(line));
                outputChanged_.notify_all();
            }
        }
    } while (restartIfNeverRan(pending.empty()));
    std::lock_guard<std::mutex> hold(lock_);
    if (!pending.empty()) {
        lines_.push_back(pending);
    }
    ended_ = true;
    outputChanged_.notify_all();
}

bool ChildProcess::restartIfNeverRan(bool printedNothing) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        printedNothing = printedNothing && lines_.empty();
    }
    // The output ends when the process does; give its exit a moment to be seen.
    for (int i = 0; printedNothing && i < 1000; ++i) {
        {
            std::lock_guard<std::mutex> hold(processLock_);
            if (!exited_) {
                exited_ = platform::tryWait(process_, exitCode_);
            }
            if (exited_ || killed_) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard<std::mutex> hold(processLock_);
    if (!printedNothing || !exited_ || !mayRestartLocked()) {
        settled_ = true;
        return false;
    }
    std::fprintf(stderr,
                 "[child] the loader failed the program (exit 0x%x) before it ran: "
                 "starting it again\n",
                 static_cast<unsigned>(exitCode_));
    ++restarts_;
    platform::release(process_, output_);
    process_ = -1;
    output_ = -1;
    if (!platform::spawn(program_, args_, process_, output_)) {
        process_ = -1;
        settled_ = true;
        return false;
    }
    exited_ = false;
    return true;
}

bool ChildProcess::mayRestartLocked() const {
    return !killed_ && restarts_ < kMaxRestarts && platform::failedBeforeMain(exitCode_);
}

bool ChildProcess::waitForLine(const std::string& text, int timeoutMs) {
    std::unique_lock<std::mutex> hold(lock_);
    size_t checked = 0;
    auto seen = [&] {
        for (; checked < lines_.size(); ++checked) {
            if (lines_[checked].find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    return outputChanged_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
        return seen() || ended_;
    }) && seen();
}

std::vector<std::string> ChildProcess::lines(int timeoutMs) {
    std::unique_lock<std::mutex> hold(lock_);
    outputChanged_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return ended_; });
    return lines_;
}

bool ChildProcess::wait(int timeoutMs, int& exitCode) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard<std::mutex> hold(processLock_);
    exitCode = exitCode_;
    return exited_;
}

bool ChildProcess::interrupt() {
    std::lock_guard<std::mutex> hold(processLock_);
    return process_ != -1 && !exited_ && platform::interrupt(process_);
}

bool ChildProcess::signal(int number) {
    std::lock_guard<std::mutex> hold(processLock_);
    return process_ != -1 && !exited_ && platform::sendSignal(process_, number);
}

void ChildProcess::kill() {
    std::lock_guard<std::mutex> hold(processLock_);
    killed_ = true;
    if (process_ != -1 && !exited_) {
        platform::kill(process_);
    }
}

bool ChildProcess::running() {
    std::lock_guard<std::mutex> hold(processLock_);
    if (process_ == -1) {
        return false;
    }
    if (!exited_) {
        exited_ = platform::tryWait(process_, exitCode_);
    }
    // An exit the reader may still undo by starting the program again is not reported yet.
    return !exited_ || (!settled_ && mayRestartLocked());
}

std::string siblingProgram(const std::string& name) {
    const std::filesystem::path self = std::filesystem::u8path(platform::executablePath());
    return (self.parent_path() / std::filesystem::u8path(name + platform::kExecutableSuffix))
        .u8string();
}

std::string makeTempDir(const std::string& prefix) {
    // The counter keeps names apart where random_device repeats itself (older MinGW runtimes).
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path dir =
            std::filesystem::temp_directory_path() /
            (prefix + std::to_string(random()) + "_" + std::to_string(counter++));
        std::error_code error;
        if (std::filesystem::create_directory(dir, error)) {
            return dir.u8string();
        }
    }
    return std::string();
}

void removeTree(const std::string& dir) {
    std::error_code error;
    if (!dir.empty()) {
        std::filesystem::remove_all(std::filesystem::u8path(dir), error);
    }
}

bool setEnv(const std::string& name, const std::string& value) {
    return platform::setEnv(name, value);
}

}  // namespace zel::test
