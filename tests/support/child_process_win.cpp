// ChildProcess steps for Windows: CreateProcessW with the output on an anonymous pipe.
#include <windows.h>

#include <cstdlib>
#include <mutex>

#include "tests/support/child_process_platform.h"

namespace zel::test::platform {

const char* const kExecutableSuffix = ".exe";

namespace {

std::wstring widen(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

std::string narrow(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length,
                        nullptr, nullptr);
    return out;
}

// Quotes one argument so that the child's C runtime splits the command line back into it.
std::wstring quoteArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring out = L"\"";
    for (auto it = arg.begin();; ++it) {
        size_t backslashes = 0;
        while (it != arg.end() && *it == L'\\') {
            ++it;
            ++backslashes;
        }
        if (it == arg.end()) {
            out.append(backslashes * 2, L'\\');
            break;
        }
        if (*it == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        out.push_back(*it);
    }
    out.push_back(L'"');
    return out;
}

std::wstring variableName(const std::wstring& entry) {
    // Entries like "=C:=C:\dir" start with '='; their name runs to the second '='.
    const size_t eq = entry.find(L'=', 1);
    return entry.substr(0, eq);
}

// The test's environment with the given variables added or replaced (names without case).
std::wstring environmentBlock(const std::vector<std::pair<std::string, std::string>>& env) {
    std::vector<std::wstring> entries;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; p && *p; p += wcslen(p) + 1) {
        entries.emplace_back(p);
    }
    if (block) {
        FreeEnvironmentStringsW(block);
    }
    for (const auto& item : env) {
        const std::wstring name = widen(item.first);
        const std::wstring entry = name + L"=" + widen(item.second);
        bool replaced = false;
        for (auto& existing : entries) {
            if (_wcsicmp(variableName(existing).c_str(), name.c_str()) == 0) {
                existing = entry;
                replaced = true;
            }
        }
        if (!replaced) {
            entries.push_back(entry);
        }
    }
    std::wstring result;
    for (const auto& entry : entries) {
        result += entry;
        result.push_back(L'\0');
    }
    result.push_back(L'\0');
    return result;
}

// Serialises spawning: while one child is created, the inheritable pipe end of another must
// not exist, or that child would keep the other's output open.
std::mutex g_spawnLock;

}  // namespace

bool spawn(const std::string& program, const std::vector<std::string>& args,
           const std::vector<std::pair<std::string, std::string>>& env, intptr_t& process,
           intptr_t& output) {
    std::wstring commandLine = quoteArgument(widen(program));
    for (const auto& arg : args) {
        commandLine += L" " + quoteArgument(widen(arg));
    }
    std::wstring environment = environmentBlock(env);

    std::lock_guard<std::mutex> hold(g_spawnLock);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        return false;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION info = {};
    const BOOL created =
        CreateProcessW(widen(program).c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr, &startup, &info);
    CloseHandle(writeEnd);
    if (input != INVALID_HANDLE_VALUE) {
        CloseHandle(input);
    }
    if (!created) {
        CloseHandle(readEnd);
        return false;
    }
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

bool tryWait(intptr_t process, int& exitCode) {
    if (WaitForSingleObject(reinterpret_cast<HANDLE>(process), 0) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(reinterpret_cast<HANDLE>(process), &code);
    exitCode = static_cast<int>(code);
    return true;
}

bool interrupt(intptr_t) {
    // Console control events reach whole consoles, not one process the test started.
    return false;
}

void kill(intptr_t process) {
    TerminateProcess(reinterpret_cast<HANDLE>(process), 137);
}

void closeProcess(intptr_t process) {
    CloseHandle(reinterpret_cast<HANDLE>(process));
}

void closeOutput(intptr_t output) {
    CloseHandle(reinterpret_cast<HANDLE>(output));
}

std::string executablePath() {
    wchar_t buffer[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4);
    return narrow(std::wstring(buffer, length));
}

bool setEnv(const std::string& name, const std::string& value) {
    // _putenv updates the C runtime's copy (getenv) and the process environment alike.
    const std::string entry = name + "=" + value;
    return _putenv(entry.c_str()) == 0;
}

}  // namespace zel::test::platform
