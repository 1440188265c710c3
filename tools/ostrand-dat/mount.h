// ostrand-dat mount: an archive as a read-only folder with one file per
// entry, XXXXXXXX.bin, served through FUSE.
#ifndef OSTRAND_DAT_TOOL_MOUNT_H_
#define OSTRAND_DAT_TOOL_MOUNT_H_

#include "args.h"

namespace ostrand_dat::tool {

// Whether this build of the tool can mount (it was built with libfuse3).
bool mount_supported();

// Mounts the archive and serves it: in the foreground until it is
// unmounted (SIGINT and SIGTERM unmount), otherwise in a child that goes on
// once the mount is ready, while this returns. 0, or 1 after a failure,
// which is reported on standard error.
int mount(const MountCommand& command);

}  // namespace ostrand_dat::tool

#endif  // OSTRAND_DAT_TOOL_MOUNT_H_
