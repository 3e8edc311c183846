// CVemInterface: path resolution, the working directory, the refused folder operations.
#include "suite/path.h"
#include "vem/app_data_folder.h"
#include "vem/vem_interface.h"
#include "vem/vem_interface_private.h"

namespace zel::vem {

CStringW CVemInterface::GetFullPath(const CStringW& path) {
    // Only the exact, lower-case prefix is a "vem:" URI to strip; "VEM://x" stays a (relative)
    // path whose last component still names the movie.
    static const CStringW prefix(u"vem://");
    CStringW rest = path.StartsWith(prefix) ? path.substr(prefix.length()) : path;
    return path::ExpandRelativePath(d->workingDirectory, rest, u'/');
}

bool CVemInterface::SetCurrentWorkingDirectory(const CStringW& path) {
    d->workingDirectory = path;
    return true;
}

CStringW CVemInterface::GetCurrentWorkingDirectory() {
    return d->workingDirectory;
}

bool CVemInterface::MakeDir(const CStringW&, bool) {
    return false;
}

bool CVemInterface::RemoveDir(const CStringW&, bool) {
    return false;
}

CStringW CVemInterface::GetEmulatorFolder() const {
    CStringW base = localAppDataFolder();
    if (base.empty()) {
        return CStringW();
    }
    return path::MakePath(base, emulatorRelativeFolder(), u'/');
}

}  // namespace zel::vem
