// ChildProcess: a program started by a test, its output collected line by line; temp folders.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zel::test {

class ChildProcess {
  public:
    ChildProcess() = default;
    // Kills the process if it still runs, waits for it and for its output to end.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` with `args`. `env` entries are first set in the test's own environment,
    // which the child inherits. Standard output and standard error both go to the line
    // collector, and are echoed to the test's standard error with a "[child] " prefix.
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::pair<std::string, std::string>>& env = {});
    // Waits up to `timeoutMs` for an output line containing `text`; earlier lines count too.
    bool waitForLine(const std::string& text, int timeoutMs);
    // Waits up to `timeoutMs` for the output to end (the process closed it, usually by exiting)
    // and returns every line; the lines collected so far when it does not end in time.
    std::vector<std::string> lines(int timeoutMs);
    // Waits up to `timeoutMs` for the process to end; its exit code goes to `exitCode`.
    bool wait(int timeoutMs, int& exitCode);
    // Asks the process to stop as Ctrl+C would (POSIX: SIGTERM). False where the platform
    // has no such request for a process without a console of its own (Windows).
    bool interrupt();
    // Sends the POSIX signal `number` (SIGINT, SIGHUP, ...). False on Windows, which has none.
    bool signal(int number);
    // Ends the process at once.
    void kill();
    bool running();

  private:
    void readOutput();
    // After the output ended: starts the program again when the loader failed it before its
    // code ran (see platform::failedBeforeMain), else lets the exit stand. True if it restarted.
    bool restartIfNeverRan(bool printedNothing);
    // With processLock_ held: whether an exit with the current code may yet be undone by a
    // restart.
    bool mayRestartLocked() const;

    std::string program_;
    std::vector<std::string> args_;
    // Guards the process and its state: process_, output_, exited_, exitCode_, killed_,
    // restarts_ and settled_. Taken before lock_, never inside it.
    mutable std::mutex processLock_;
    // Platform data: POSIX pid / Windows process handle, and the read end of the output pipe.
    intptr_t process_ = -1;
    intptr_t output_ = -1;
    bool exited_ = false;
    int exitCode_ = 0;
    bool killed_ = false;
    int restarts_ = 0;
    // The reader has decided that the last exit stands.
    bool settled_ = false;
    std::thread reader_;
    // Guards lines_ and ended_; outputChanged_ is its condition. Leaf lock.
    std::mutex lock_;
    std::condition_variable outputChanged_;
    std::vector<std::string> lines_;
    bool ended_ = false;
};

// The path of a program built into the same folder as the running test executable
// ("vemsim" gives ".../bin/vemsim", or ".../bin/vemsim.exe" on Windows).
std::string siblingProgram(const std::string& name);
// A new empty folder under the system's temporary folder; removeTree deletes it.
std::string makeTempDir(const std::string& prefix);
void removeTree(const std::string& dir);
// Sets a variable of the test's own environment (on Windows an empty value removes it).
bool setEnv(const std::string& name, const std::string& value);

}  // namespace zel::test
