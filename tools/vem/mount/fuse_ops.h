// The FUSE low-level handlers of the mount, each a thin call into MountFs.
#pragma once

#include "mount/mount_fs.h"

namespace vemcli::mount {

// The handlers; the session's user data is the MountFs.
const fuse_lowlevel_ops* fuseOperations();

}  // namespace vemcli::mount
