// The one place where the platform probes touch the file system. Every path
// is an absolute literal put behind the run's root prefix, which is empty in
// production and names a captured tree in tests and `vmd-detect --root`, or a
// live system's root in `vmd-detect --host-root`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "detection/result.h"
#include "linux/probe_files.h"

namespace vmd {

// Arrays, not pointers to literals: an inline array is one object with one
// address in every unit, so a status can be compared by pointer.
inline constexpr char status_ok[] = "ok";
inline constexpr char status_unavailable[] = "unavailable";
inline constexpr char status_error[] = "error";

// Where a run reads its probe files.
struct Root {
    // Put before every probe path (plain concatenation); empty for the real
    // file system.
    std::string_view prefix;
    // The prefix holds another system's root (a node's "/" mounted into a
    // pod, whose links name places on that node, or a capture from
    // elsewhere): every link beneath it resolves as if the prefix were "/",
    // and none leads out. Otherwise links resolve as the kernel has them, as
    // "/" itself needs.
    bool confined = false;

    Root(std::string_view path, bool live) : prefix(path), confined(live) {}
    Root(const std::string& path) : prefix(path) {}
    Root(std::string_view path) : prefix(path) {}
    Root(const char* path) : prefix(path) {}
};

// The outcome of reading one probe file. `contents` is empty unless the
// status is "ok".
struct File {
    std::string contents;
    const char* status = status_unavailable;
};

// Opens root + path as open(2) would, links resolved as `root` says. Beneath
// a prefix (and wherever links are confined), an open without O_PATH opens
// only a regular file or a directory, the very one that was looked at: a
// device, FIFO or socket fails with ENXIO unopened, since opening one can act
// (arm a watchdog, wake a FIFO's writer). The empty root opens as open(2).
int open_probe(Root root, const char* path, int flags);

// The bytes a read of a file limited to `limit` takes in: the limit and one
// byte past it, which tells a full file from an oversized one. Limits are
// 64-bit on every architecture; one that this address space could not hold
// is cut to what it can, so that no width is lost on the way to a size.
inline constexpr std::size_t read_size(std::uint64_t limit) {
    constexpr std::size_t most = std::numeric_limits<std::size_t>::max() - 1;
    return (limit < most ? static_cast<std::size_t>(limit) : most) + 1;
}

// Reads root + path whole if it is a regular file of at most `limit` bytes.
// Never blocks: FIFOs, devices and directories read as "error" (and beneath
// a prefix, FIFOs and devices are not even opened).
File read_file(Root root, const char* path, std::uint64_t limit);

// True when root + path can be stat'ed (links followed, any file type).
bool exists(Root root, const char* path);

// The same for a row of the probe file table.
inline File read_file(Root root, const ProbeFile& file) {
    return read_file(root, file.path, file.limit);
}
inline bool exists(Root root, const ProbeFile& file) { return exists(root, file.path); }

// Records the file's status as a probe named `name`.
void observe(Result& result, const char* name, const File& file);

}  // namespace vmd
