// A library that fails its own loading a set number of times, standing in for Wine's occasional
// loader failures in the test of ChildProcess's restart.
#include <windows.h>

#include <cstdlib>

extern "C" __declspec(dllexport) int loaderFailureProbeValue() {
    return 7;
}

namespace {

// The file named by ZEL_TEST_LOADER_FAILURES holds how many more loads are to fail, as one digit.
// Win32 calls only: the C runtime is not to be relied on inside DllMain.
bool failThisLoad() {
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("ZEL_TEST_LOADER_FAILURES", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char digit = '0';
    DWORD done = 0;
    bool fail =
        ReadFile(file, &digit, 1, &done, nullptr) && done == 1 && digit > '0' && digit <= '9';
    if (fail) {
        --digit;
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        fail = WriteFile(file, &digit, 1, &done, nullptr) && done == 1;
    }
    CloseHandle(file);
    return fail;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    return reason != DLL_PROCESS_ATTACH || !failThisLoad();
}
