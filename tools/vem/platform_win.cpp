// Windows side of platform.h.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform.h"
#include "suite/utf.h"
#include "wide_path.h"

// The C runtime's own split of the wide command line: the same rules as the narrow argv it gave
// main, without importing shell32 (CommandLineToArgvW), which would bring user32 and a desktop
// connection into every run of vem.
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expandWildcards,
                              int* startInfo);

namespace vemcli {

std::vector<std::string> utf8Arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = nullptr;
    wchar_t** environment = nullptr;
    int startInfo = 0;
    if (__wgetmainargs(&count, &wide, &environment, 0, &startInfo) < 0 || wide == nullptr) {
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) {
        arguments.push_back(zel::Utf16ToUtf8(reinterpret_cast<const char16_t*>(wide[i])));
    }
    return arguments;
}

bool setEnvironment(const char* name, const char* value) {
    return ::_putenv_s(name, value) == 0;
}

bool isTerminal(std::FILE* stream) {
    return ::_isatty(::_fileno(stream)) != 0;
}

void setBinaryOutput(std::FILE* stream) {
    ::_setmode(::_fileno(stream), _O_BINARY);
}

bool replaceFile(const std::string& source, const std::string& target) {
    // rename() refuses an existing target on Windows.
    return ::MoveFileExW(widePath(source).c_str(), widePath(target).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

const bool kNtfsFileNames = true;

unsigned long processId() {
    return ::GetCurrentProcessId();
}

bool openInBrowser(const std::string& url) {
    // shell32 is loaded only here: importing it would bring user32 and a desktop connection into
    // every run of vem.
    using ShellExecuteFunction = HINSTANCE(WINAPI*)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);
    HMODULE shell = ::LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (shell == nullptr) {
        return false;
    }
    auto execute = reinterpret_cast<ShellExecuteFunction>(
        reinterpret_cast<void*>(::GetProcAddress(shell, "ShellExecuteW")));
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, url.c_str(), -1, nullptr, 0);
    if (execute == nullptr || length <= 0) {
        return false;
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, url.c_str(), -1, wide.data(), length);
    // Above 32 is success.
    return reinterpret_cast<INT_PTR>(
               execute(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL)) > 32;
}

}  // namespace vemcli
