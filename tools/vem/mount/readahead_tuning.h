// The kernel's read-ahead window for the mount, found and widened through sysfs.
#pragma once

#include <string>

namespace vemcli::mount {

// The device number of the file system mounted last on `mountpoint`, from the mount table: a
// stat would go through the mount, which may answer nothing yet (or ever, if it hangs).
bool mountedDevice(const std::string& mountpoint, unsigned& major, unsigned& minor);

// The read-ahead control file of the file system mounted last on `mountpoint`, or "".
std::string readAheadControl(const std::string& mountpoint);

// Raises the window behind `path` to 1 MiB when it is smaller and this process may (root).
void widenReadAhead(const std::string& path);

}  // namespace vemcli::mount
