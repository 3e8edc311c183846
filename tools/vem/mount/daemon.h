// Starting the mount: the folder's checks, the background process and its ready signal.
#pragma once

#include <string>

#include "mount.h"

namespace vemcli::mount {

// Why `mountpoint` cannot take a mount (already a mount point, not empty, not a folder), as a
// message for the user; "" when it can.
std::string mountpointProblem(const std::string& mountpoint);

// Whether this process is the background one a starter waits on.
bool startedInBackground();

// Starts this program again with the foreground arguments, in a new session, and waits until it
// reports the mount ready (exit 0) or ends (its exit code; it printed why on the shared stderr).
int runInBackground(const MountOptions& options);

// In the background process: tell the waiting starter that the mount is up, then let go of its
// terminal and of the folder it was started in.
void reportReady();

// Prints "vem: MESSAGE" and returns 1.
int fail(const std::string& message);

}  // namespace vemcli::mount
