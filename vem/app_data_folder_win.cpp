// localAppDataFolder() for Windows: the shell's CSIDL_LOCAL_APPDATA.
#include <shlobj.h>
#include <windows.h>

#include "vem/app_data_folder.h"

namespace zel::vem {

namespace {

using GetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);

// shell32 is loaded when the folder is first asked for, not with the library: importing it
// would bring user32, gdi32 and the desktop connection into every process that loads
// zelvem.dll, although only the emulator ever asks. The module stays loaded for the process.
GetFolderPath shellGetFolderPath() {
    HMODULE shell = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (shell == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<GetFolderPath>(
        reinterpret_cast<void*>(GetProcAddress(shell, "SHGetFolderPathW")));
}

}  // namespace

CStringW localAppDataFolder() {
    static const GetFolderPath getFolderPath = shellGetFolderPath();
    wchar_t buffer[MAX_PATH] = {};
    // On failure the buffer holds nothing usable: no folder, so the emulator store is empty
    // instead of some path relative to wherever the process happens to run.
    if (getFolderPath == nullptr ||
        FAILED(getFolderPath(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0,
                             buffer))) {
        return CStringW();
    }
    return CStringW(reinterpret_cast<const char16_t*>(buffer), -1);
}

CStringW emulatorRelativeFolder() {
    return CStringW(u"Quen Systems\\VEM");
}

}  // namespace zel::vem
