// ChildProcess: output collection and waiting, shared by both platforms; temp folders.
#include "tests/support/child_process.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>

#include "tests/support/child_process_platform.h"

namespace zel::test {

ChildProcess::~ChildProcess() {
    if (process_ != -1) {
        if (running()) {
            kill();
        }
        int code = 0;
        wait(10000, code);
        platform::closeProcess(process_);
    }
    if (reader_.joinable()) {
        reader_.join();
    }
    if (output_ != -1) {
        platform::closeOutput(output_);
    }
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& env) {
    if (process_ != -1) {
        return false;
    }
    if (!platform::spawn(program, args, env, process_, output_)) {
        process_ = -1;
        output_ = -1;
        return false;
    }
    reader_ = std::thread([this] { readOutput(); });
    return true;
}

void ChildProcess::readOutput() {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const int64_t got = platform::readOutput(output_, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
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
    std::lock_guard<std::mutex> hold(lock_);
    if (!pending.empty()) {
        lines_.push_back(pending);
    }
    ended_ = true;
    outputChanged_.notify_all();
}

bool ChildProcess::waitForLine(const std::string& text, int timeoutMs, std::string* line) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> hold(lock_);
    size_t checked = 0;
    auto seen = [&] {
        for (; checked < lines_.size(); ++checked) {
            if (lines_[checked].find(text) != std::string::npos) {
                if (line) {
                    *line = lines_[checked];
                }
                return true;
            }
        }
        return false;
    };
    for (;;) {
        if (seen()) {
            return true;
        }
        if (ended_) {
            return false;
        }
        if (outputChanged_.wait_until(hold, deadline) == std::cv_status::timeout) {
            return seen();
        }
    }
}

std::vector<std::string> ChildProcess::lines() const {
    std::lock_guard<std::mutex> hold(lock_);
    return lines_;
}

bool ChildProcess::wait(int timeoutMs, int& exitCode) {
    if (process_ == -1) {
        return false;
    }
    if (!exited_) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!platform::tryWait(process_, exitCode_)) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        exited_ = true;
    }
    exitCode = exitCode_;
    return true;
}

bool ChildProcess::interrupt() {
    return process_ != -1 && !exited_ && platform::interrupt(process_);
}

void ChildProcess::kill() {
    if (process_ != -1 && !exited_) {
        platform::kill(process_);
    }
}

bool ChildProcess::running() {
    if (process_ == -1 || exited_) {
        return false;
    }
    if (platform::tryWait(process_, exitCode_)) {
        exited_ = true;
        return false;
    }
    return true;
}

std::string siblingProgram(const std::string& name) {
    const std::filesystem::path self = std::filesystem::u8path(platform::executablePath());
    return (self.parent_path() / std::filesystem::u8path(name + platform::kExecutableSuffix))
        .u8string();
}

std::string makeTempDir(const std::string& prefix) {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string leaf =
            prefix + std::to_string(random()) + "_" + std::to_string(counter.fetch_add(1));
        std::error_code error;
        if (std::filesystem::create_directory(base / leaf, error)) {
            return (base / leaf).u8string();
        }
    }
    return std::string();
}

void removeTree(const std::string& dir) {
    if (!dir.empty()) {
        std::error_code error;
        std::filesystem::remove_all(std::filesystem::u8path(dir), error);
    }
}

bool setEnv(const std::string& name, const std::string& value) {
    return platform::setEnv(name, value);
}

}  // namespace zel::test
