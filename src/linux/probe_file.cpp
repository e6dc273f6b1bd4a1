#include "linux/probe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>

#include "linux/beneath.h"

namespace vmd {
namespace {

// Holds every probe file whose limit is 64 KiB at one read; stays below the
// allocator's threshold for mapping blocks of their own.
constexpr std::size_t first_capacity = 64 * 1024 + 1;

std::string full_path(std::string_view root, const char* path) {
    std::string full;
    full.reserve(root.size() + std::char_traits<char>::length(path));
    full += root;
    full += path;
    return full;
}

bool absent(int error) {
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == EPERM;
}

// Closes the descriptor on every way out, an allocation failure included.
struct Descriptor {
    int fd;
    ~Descriptor() { ::close(fd); }
};

}  // namespace

int open_probe(Root root, const char* path, int flags) {
    if (root.confined) return open_beneath(root.prefix, path, flags);
    const std::string full = full_path(root.prefix, path);
    // "/" is the host's own system, read as it always was. A tree beneath a
    // prefix may come from anyone: its file is looked at before it is opened,
    // so that a device or FIFO there is never opened. Where /proc is not
    // mounted, the whole name is opened again with O_NOFOLLOW, so a link as
    // its last component then reads as "error".
    if (root.prefix.empty() || (flags & O_PATH) != 0) return ::open(full.c_str(), flags);
    const int seen =
        ::open(full.c_str(), O_PATH | O_CLOEXEC | (flags & (O_NOFOLLOW | O_DIRECTORY)));
    if (seen < 0) return -1;
    const Descriptor guard{seen};
    struct stat st {};
    if (::fstat(seen, &st) != 0) return -1;
    return open_seen(seen, st, flags, AT_FDCWD, full.c_str());
}

File read_file(Root root, const char* path, std::uint64_t limit) {
    File file;
    // O_NONBLOCK: a FIFO or terminal at a probe path must not hang the host;
    // O_CLOEXEC: a host that forks meanwhile must not inherit the descriptor.
    const int fd = open_probe(root, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (!absent(errno)) file.status = status_error;
        return file;
    }
    const Descriptor guard{fd};

    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        file.status = status_error;
        return file;
    }

    // Files under /proc and /sys report sizes of 0 or 4096 whatever they
    // hold, so the size is never trusted: read up to one byte past the limit,
    // which tells a full file from an oversized one. The buffer is left
    // uninitialised, since zero-filling it would cost more than reading. It
    // starts small enough to come from the heap rather than a fresh mapping
    // (a megabyte for /proc/cpuinfo would be mapped and unmapped on every
    // run) and doubles only when a file fills it.
    const std::size_t want = read_size(limit);
    std::size_t capacity = std::min(want, first_capacity);
    std::unique_ptr<char[]> buffer(new char[capacity]);
    std::size_t got = 0;
    while (got < want) {
        if (got == capacity) {
            capacity = capacity > want / 2 ? want : capacity * 2;
            std::unique_ptr<char[]> larger(new char[capacity]);
            std::memcpy(larger.get(), buffer.get(), got);
            buffer = std::move(larger);
        }
        const ssize_t n = ::read(fd, buffer.get() + got, capacity - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            file.status = status_error;
            return file;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got == want) {
        file.status = status_error;
        return file;
    }
    file.contents.assign(buffer.get(), got);
    file.status = status_ok;
    return file;
}

bool exists(Root root, const char* path) {
    if (root.confined) {
        const int fd = open_beneath(root.prefix, path, O_PATH | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
        return fd >= 0;
    }
    struct stat st {};
    return ::stat(full_path(root.prefix, path).c_str(), &st) == 0;
}

void observe(Result& result, const char* name, const File& file) {
    result.probe(name, file.status);
}

}  // namespace vmd
