// ChildProcess steps for Windows: CreateProcessW with the output on an anonymous pipe.
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "tests/support/child_process_platform.h"

namespace zel::test::platform {

const char* const kExecutableSuffix = ".exe";

namespace {

// Quotes one argument (the tests pass none holding a double quote) so that the child's C
// runtime splits the command line back into it: backslashes are literal except before the
// closing quote, where they are doubled.
std::wstring quoteArgument(const std::wstring& arg) {
    std::wstring quoted = L"\"" + arg;
    for (size_t end = arg.size(); end > 0 && arg[end - 1] == L'\\'; --end) {
        quoted.push_back(L'\\');
    }
    return quoted + L"\"";
}

// Every child joins this job, which kills them when its last handle closes: a test that dies or
// is killed at its timeout takes its vemsim with it. Otherwise (Windows pipe names being global)
// the orphan would keep serving the pipe and fail every test started after it.
HANDLE childJob() {
    static const HANDLE job = [] {
        HANDLE made = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags =
            JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
        if (made != nullptr && !SetInformationJobObject(made, JobObjectExtendedLimitInformation,
                                                        &limits, sizeof limits)) {
            CloseHandle(made);
            made = nullptr;
        }
        return made;  // never closed: the process's end closes it
    }();
    return job;
}

// Serialises spawning: while one child is created, the inheritable pipe end of another must
// not exist, or that child would keep the other's output open.
std::mutex g_spawnLock;

}  // namespace

bool spawn(const std::string& program, const std::vector<std::string>& args, intptr_t& process,
           intptr_t& output) {
    const std::wstring wideProgram = std::filesystem::u8path(program).wstring();
    std::wstring commandLine = quoteArgument(wideProgram);
    for (const auto& arg : args) {
        commandLine += L" " + quoteArgument(std::filesystem::u8path(arg).wstring());
    }

    std::lock_guard<std::mutex> hold(g_spawnLock);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        return false;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION info = {};
    // Suspended until it is in the job, so that nothing it starts escapes the job either.
    const BOOL created = CreateProcessW(wideProgram.c_str(), commandLine.data(), nullptr, nullptr,
                                        TRUE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &info);
    CloseHandle(writeEnd);
    if (!created) {
        CloseHandle(readEnd);
        return false;
    }
    // Without a job (none could be made, or a job around the test refuses nesting) the child
    // still runs; only the clean-up after a killed test is lost.
    if (HANDLE job = childJob()) {
        AssignProcessToJobObject(job, info.hProcess);
    }
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    process = reinterpret_cast<intptr_t>(info.hProcess);
    output = reinterpret_cast<intptr_t>(readEnd);
    return true;
}

int64_t readOutput(intptr_t output, char* buffer, size_t size) {
    DWORD got = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(output), buffer, static_cast<DWORD>(size), &got,
                  nullptr)) {
        return 0;
    }
    return got;
}

bool failedBeforeMain(int exitCode) {
    // Wine, busy with many processes at once, now and then fails a system library's
    // initialisation in a new process (seen once in some thousand starts); the program's own
    // code has not run then.
    return static_cast<DWORD>(exitCode) == static_cast<DWORD>(STATUS_DLL_INIT_FAILED);
}

bool tryWait(intptr_t process, int& exitCode) {
    DWORD code = 0;
    if (WaitForSingleObject(reinterpret_cast<HANDLE>(process), 0) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(reinterpret_cast<HANDLE>(process), &code)) {
        return false;
    }
    exitCode = static_cast<int>(code);
    return true;
}

bool interrupt(intptr_t) {
    // Console control events reach whole consoles, not one process the test started.
    return false;
}

bool sendSignal(intptr_t, int) {
    return false;
}

void kill(intptr_t process) {
    TerminateProcess(reinterpret_cast<HANDLE>(process), 137);
}

void release(intptr_t process, intptr_t output) {
    for (intptr_t handle : {process, output}) {
        if (handle != -1) {
            CloseHandle(reinterpret_cast<HANDLE>(handle));
        }
    }
}

std::string executablePath() {
    wchar_t buffer[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4);
    return std::filesystem::path(std::wstring(buffer, length)).u8string();
}

bool setEnv(const std::string& name, const std::string& value) {
    // _putenv updates the C runtime's copy (getenv) and the process environment alike, so a
    // child started after it inherits the variable.
    return _putenv((name + "=" + value).c_str()) == 0;
}

}  // namespace zel::test::platform
