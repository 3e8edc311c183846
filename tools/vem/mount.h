// runMount: the drive's movies as a read-only FUSE file system (Linux only).
#pragma once

#include <string>
#include <vector>

namespace vemcli {

struct MountOptions {
    std::string mountpoint;
    // Stay attached to the terminal; otherwise the mount runs in a background process and this
    // one returns once the mount is ready (or has failed, with its message on stderr).
    bool foreground = false;
    // Let unlink remove movies from the drive; without it rm fails with EACCES.
    bool allowDelete = false;
    // Serve the emulator folder (sets ZELVEM_ENABLE_EMULATOR before the library loads).
    bool emulator = false;
    // Show NAME.ome.tif and NAME.zarr/ beside every movie NAME.
    bool views = true;
    // The arguments (after the program name) that run this same mount in the foreground; the
    // background process is this program started again with them.
    std::vector<std::string> foregroundArgs;
};

// Mounts, serves until unmounted or SIGINT/SIGTERM/SIGHUP, unmounts. Returns the process exit
// code (0 after a clean unmount, 1 on failure); messages go to stderr as "vem: ...".
int runMount(const MountOptions& options);

}  // namespace vemcli
