// localAppDataFolder() for Windows: the shell's CSIDL_LOCAL_APPDATA.
#include <shlobj.h>
#include <windows.h>

#include "vem/app_data_folder.h"

namespace zel::vem {

CStringW localAppDataFolder() {
    wchar_t buffer[MAX_PATH] = {};
    // On failure the buffer holds nothing usable: no folder, so the emulator store is empty
    // instead of some path relative to wherever the process happens to run.
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0,
                                buffer))) {
        return CStringW();
    }
    return CStringW(reinterpret_cast<const char16_t*>(buffer), -1);
}

CStringW emulatorRelativeFolder() {
    return CStringW(u"Quen Systems\\VEM");
}

}  // namespace zel::vem
