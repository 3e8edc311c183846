// The flat C interface of zelvem, for hosts that cannot use the exported classes.
#pragma once

#include "suite/delegate.h"
#include "suite/export.h"
#include "suite/filesystem.h"

namespace zel::vem {
class CVemInterface;
}

extern "C" {

typedef void (*zelvemFilesChangedCallback)(void* userData);

// Each call obtains the singleton first, so any of them constructs it. Strings are UTF-8 and
// NUL-terminated; a null string counts as empty. Nothing here catches exceptions: a failed
// construction or allocation passes to the caller.

ZELVEM_API zel::vem::CVemInterface* zelvem_Load();
ZELVEM_API bool zelvem_drivePresent();
// The caller owns the result and releases it with delete.
ZELVEM_API zel::CDirectoryListing* zelvem_GetDirectoryListing(const char* path, const char* filter);
// The caller owns the result and releases it with delete.
ZELVEM_API zel::CDirectoryEntry* zelvem_GetInfo(const char* path);
ZELVEM_API bool zelvem_RemoveFile(const char* path);
// Registers callback(userData) as a files-changed handler. The returned handle holds one reference
// to the registration; pass it to zelvem_RemoveFilesChangedHandler exactly once.
ZELVEM_API zelDelegate zelvem_AddFilesChangedHandler(zelvemFilesChangedCallback callback,
                                                     void* userData);
// Unregisters the handler the handle stands for and consumes the handle.
ZELVEM_API void zelvem_RemoveFilesChangedHandler(zelDelegate handle);
}
