// Test support for the transport tests: per-test pipe names and a child process to talk to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zel::vem::test {

// Gives each test its own pipes. POSIX: a fresh temporary directory as $ZELVEM_PIPE_DIR,
// removed again with what is left in it. Windows (one pipe namespace for everyone): names
// carrying the process id.
class PipeTestScope {
  public:
    PipeTestScope();
    ~PipeTestScope();
    PipeTestScope(const PipeTestScope&) = delete;
    PipeTestScope& operator=(const PipeTestScope&) = delete;

    // `stem` followed by something no other test process uses.
    std::string uniqueName(const char* stem);
    // POSIX: the temporary directory; Windows: empty.
    const std::string& directory() const { return dir; }

  private:
    std::string dir;
};

unsigned long currentProcessId();

// True for a Windows test running under Wine, whose pipe namespace cannot be listed.
bool runningUnderWine();

// A helper executable beside the test, talked to through its standard input and output.
class ChildProcess {
  public:
    // Starts `program` (a file name in the test's own folder) with `args`.
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    ~ChildProcess();  // closes its input and waits for it
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const;
    // One line of its output without the line end; empty at its end.
    std::string readLine();
    bool writeLine(const std::string& line);
    // Closes its input and waits up to `timeoutMs`; the exit code, or -1 when it did not end.
    int finish(unsigned timeoutMs = 10000);

  private:
    struct State;
    State* state;
};

}  // namespace zel::vem::test
