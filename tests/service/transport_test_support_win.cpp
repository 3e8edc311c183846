// Test support for the transport tests, Windows: unique pipe names, child processes.
#include <windows.h>

#include <atomic>

#include "tests/service/transport_test_support.h"

namespace zel::vem::test {

PipeTestScope::PipeTestScope() = default;
PipeTestScope::~PipeTestScope() = default;

std::string PipeTestScope::uniqueName(const char* stem) {
    static std::atomic<int> counter{0};
    return std::string(stem) + std::to_string(currentProcessId()) + "_" + std::to_string(counter++);
}

unsigned long currentProcessId() {
    return GetCurrentProcessId();
}

bool runningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

struct ChildProcess::State {
    HANDLE process = nullptr;
    HANDLE input = nullptr;   // our end of its stdin
    HANDLE output = nullptr;  // our end of its stdout
    std::string pending;
};

namespace {
std::wstring ownFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    const size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : folder.substr(0, slash);
}

std::wstring widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());  // the tests pass ASCII only
}
}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
    : state(new State) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE childInput = nullptr;
    HANDLE childOutput = nullptr;
    if (!CreatePipe(&childInput, &state->input, &inheritable, 0)) {
        return;
    }
    if (!CreatePipe(&state->output, &childOutput, &inheritable, 0)) {
        CloseHandle(childInput);
        CloseHandle(state->input);
        state->input = nullptr;
        return;
    }
    // Only the child's ends go to the child.
    SetHandleInformation(state->input, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(state->output, HANDLE_FLAG_INHERIT, 0);

    const std::wstring path = ownFolder() + L"\\" + widen(program) + L".exe";
    std::wstring commandLine = L"\"" + path + L"\"";
    for (const std::string& arg : args) {
        commandLine += L" \"" + widen(arg) + L"\"";
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &info)) {
        CloseHandle(info.hThread);
        state->process = info.hProcess;
    }
    CloseHandle(childInput);
    CloseHandle(childOutput);
}

ChildProcess::~ChildProcess() {
    finish();
    if (state->output != nullptr) {
        CloseHandle(state->output);
    }
    delete state;
}

bool ChildProcess::started() const {
    return state->process != nullptr;
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
        DWORD got = 0;
        if (state->output == nullptr ||
            !ReadFile(state->output, buffer, sizeof(buffer), &got, nullptr) || got == 0) {
            std::string rest;
            rest.swap(state->pending);
            return rest;
        }
        state->pending.append(buffer, got);
    }
}

bool ChildProcess::writeLine(const std::string& line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    return state->input != nullptr &&
           WriteFile(state->input, text.data(), static_cast<DWORD>(text.size()), &written,
                     nullptr) &&
           written == text.size();
}

int ChildProcess::finish(unsigned timeoutMs) {
    if (state->input != nullptr) {
        CloseHandle(state->input);
        state->input = nullptr;
    }
    if (state->process == nullptr) {
        return -1;
    }
    int result = -1;
    if (WaitForSingleObject(state->process, timeoutMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(state->process, &code)) {
            result = static_cast<int>(code);
        }
    } else {
        TerminateProcess(state->process, 1);
        WaitForSingleObject(state->process, INFINITE);
    }
    CloseHandle(state->process);
    state->process = nullptr;
    return result;
}

}  // namespace zel::vem::test
