// The emulator's local store: movies as ".dat", ".info" and ".meta" files in one folder.
#pragma once

#include "suite/file.h"
#include "suite/filesystem.h"
#include "suite/shared_ptr.h"
#include "suite/strings.h"

namespace zel::vem {

// Every function takes the emulator folder; an empty folder (the platform could not name one) is
// an empty store: no entries, nothing opens, nothing is removed. Names with control characters
// or that the system takes for devices (vem/local_names.h) name nothing, and only regular files
// are read, opened or removed.

// The entry of movie `name` ("<number>-<name>"): size, time and attributes of its ".dat" file,
// properties from its ".meta" file (created from the ".dat" file on first use). attributes is
// 0x80000000 when neither a readable ".dat" nor a loadable ".meta" file exists.
CDirectoryEntry emulatorGetInfo(const CStringW& folder, const CStringW& name);
// Replaces `listing` with the folder's movies; unreadable ones are left out. The filter is not
// applied in this mode.
void emulatorListing(const CStringW& folder, CDirectoryListing& listing);
// Removes the ".dat" file (false when that fails), then the ".info" and ".meta" files if present.
bool emulatorRemove(const CStringW& folder, const CStringW& name);
// Opens `fileName` (".dat" or ".info" file) of the folder with the host's mode.
TSharedPtr<IFile> emulatorOpen(const CStringW& folder, const CStringW& fileName, unsigned mode);

}  // namespace zel::vem
