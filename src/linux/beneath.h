// Opening a path beneath a directory that holds another system's root, as a
// process whose root directory it were would open it: a node's "/" mounted
// into a pod, whose links name places on the node, not in the pod.
#pragma once

#include <sys/stat.h>

#include <string_view>

namespace vmd {

// The most path components (".", ".." and every name in a link's text
// included) that one resolution steps through before it fails with ELOOP. A
// real probe path takes a dozen or two; without a cap, forty links each
// padded to PATH_MAX with "a/.." would take tens of thousands of lookups.
inline constexpr int max_resolution_steps = 128;

// Opens `path` (absolute) beneath the directory `top` with `flags`, as a
// process whose root directory `top` were would open it: an absolute link
// starts again at `top`, ".." never climbs above it, so no link leads out.
// The kernel resolves where it can (openat2 with RESOLVE_IN_ROOT, since
// Linux 5.6), refusing /proc's magic links, which would lead out; elsewhere
// (an older kernel, a seccomp filter that refuses the call) walk_beneath
// does. Unless `flags` holds O_PATH, only a regular file or a directory is
// opened (see open_seen). Returns a descriptor, or -1 with errno as open(2)
// would set it (ENXIO for a device, FIFO or socket). An empty `top` is "/".
int open_beneath(std::string_view top, const char* path, int flags);

// The same resolution done here, one component at a time, with the kernel's
// rules: links are read, never followed by the kernel (which keeps /proc's
// links to other processes' roots inside); every name, "." and ".."
// included, is looked up in its folder and so needs its search permission;
// a trailing "/" asks for a directory; a last link in a sticky
// world-writable folder is refused as fs.protected_symlinks has it. Fails
// with ELOOP after 40 links or max_resolution_steps components.
int walk_beneath(std::string_view top, const char* path, int flags);

// Opens with `flags` the very file that the O_PATH descriptor `seen` (whose
// fstat is `st`) stands for, provided it is a regular file or a directory,
// which open without side effects; anything else (a device, whose open may
// act, or a FIFO, whose open wakes a writer) fails with ENXIO, unopened.
// The file is reopened through `descriptors` (/proc/self/fd/), so no name is
// looked up again. Where that is not mounted, `name` is opened relative to
// `dir` with O_NOFOLLOW and kept only if it is still the file that was
// checked: a name swapped in between is opened then, though never read.
int open_seen(int seen, const struct stat& st, int flags, int dir, const char* name,
              const char* descriptors = "/proc/self/fd/");

}  // namespace vmd
