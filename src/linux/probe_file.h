// The one place where the platform probes touch the file system. Every path
// is an absolute literal put behind the run's root prefix, which is empty in
// production and names a captured tree in tests and `vmd-detect --root`.
#pragma once

#include <cstdint>
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

// The outcome of reading one probe file. `contents` is empty unless the
// status is "ok".
struct File {
    std::string contents;
    const char* status = status_unavailable;
};

// Reads root + path whole if it is a regular file of at most `limit` bytes.
// Never blocks: FIFOs, devices and directories read as "error".
File read_file(std::string_view root, const char* path, std::uint64_t limit);

// True when root + path can be stat'ed (links followed, any file type).
bool exists(std::string_view root, const char* path);

// The same for a row of the probe file table.
inline File read_file(std::string_view root, const ProbeFile& file) {
    return read_file(root, file.path, file.limit);
}
inline bool exists(std::string_view root, const ProbeFile& file) { return exists(root, file.path); }

// Records the file's status as a probe named `name`.
void observe(Result& result, const char* name, const File& file);

}  // namespace vmd
