// localAppDataFolder() for POSIX: $XDG_DATA_HOME when absolute, else $HOME/.local/share.
#include <cstdlib>

#include "vem/app_data_folder.h"

namespace zel::vem {

CStringW localAppDataFolder() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return CStringW(xdg, -1);
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        return CStringW();
    }
    return CStringW(home, -1) + u"/.local/share";
}

// Two folders here: a backslash is an ordinary file-name character on POSIX.
CStringW emulatorRelativeFolder() {
    return CStringW(u"Quen Systems/VEM");
}

}  // namespace zel::vem
