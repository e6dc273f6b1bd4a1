// Opening a path beneath a directory that holds another system's root, as a
// process whose root directory it were would open it: a node's "/" mounted
// into a pod, whose links name places on the node, not in the pod.
#pragma once

#include <string_view>

namespace vmd {

// Opens `path` (absolute) beneath the directory `top` with `flags`, following
// symbolic links as the kernel does, except that an absolute link starts
// again at `top` and ".." never climbs above it, so no link leads out. Links
// are read, never followed by the kernel, which also keeps /proc's links to
// other processes' roots inside. Returns a descriptor, or -1 with errno as
// open(2) would set it (ELOOP after 40 links). An empty `top` is "/".
int open_beneath(std::string_view top, const char* path, int flags);

}  // namespace vmd
