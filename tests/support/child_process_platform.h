// The platform steps under ChildProcess (child_process_posix.cpp, child_process_win.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zel::test::platform {

extern const char* const kExecutableSuffix;

// Starts the program in the test's environment with its standard output and error on a new
// pipe; on success `process` receives the pid or process handle, `output` the pipe's read end.
bool spawn(const std::string& program, const std::vector<std::string>& args, intptr_t& process,
           intptr_t& output);
// Blocks for output; 0 at its end or on failure.
int64_t readOutput(intptr_t output, char* buffer, size_t size);
// True (with the exit code) when the process has ended; never blocks.
bool tryWait(intptr_t process, int& exitCode);
// Whether `exitCode` says the program never reached its code: the loader gave up on it.
bool failedBeforeMain(int exitCode);
bool interrupt(intptr_t process);
bool sendSignal(intptr_t process, int number);
void kill(intptr_t process);
// Lets go of the process and the pipe's read end (-1 where there is none).
void release(intptr_t process, intptr_t output);
std::string executablePath();
bool setEnv(const std::string& name, const std::string& value);

}  // namespace zel::test::platform
