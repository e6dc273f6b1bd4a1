// --capture: copies the probe files into a directory that `--root` can
// analyse on another machine. Everything is written relative to one
// descriptor of the target directory, with O_NOFOLLOW and O_EXCL, so that a
// symbolic link planted in the target can redirect nothing outside it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "cli.h"
#include "linux/probe_paths.h"

namespace vmd::cli {
namespace {

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

void complain(const char* what, const std::string& path, int error) {
    std::fprintf(stderr, "vmd-detect: %s %s: %s\n", what, path.c_str(), std::strerror(error));
}

// The bytes a probe would see, cut one byte past the limit so that a file
// too large to read "ok" stays too large in the capture. Opened the way the
// probes open it, so a FIFO or device neither blocks nor gets copied.
std::optional<std::string> read_probe_file(const std::string& path, std::uint64_t limit) {
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    std::string bytes(limit + 1, '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

bool empty_directory(int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return false;
    DIR* listing = ::fdopendir(copy);
    if (listing == nullptr) {
        ::close(copy);
        return false;
    }
    bool empty = true;
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    ::closedir(listing);
    return empty;
}

// Writes `bytes` to `relative` (no leading "/") beneath the directory `top`,
// making the folders on the way. Returns 0 or the errno of the failure.
int write_beneath(int top, std::string_view relative, std::string_view bytes) {
    Descriptor here;
    int at = top;
    std::size_t slash;
    while ((slash = relative.find('/')) != std::string_view::npos) {
        const std::string name(relative.substr(0, slash));
        relative.remove_prefix(slash + 1);
        if (::mkdirat(at, name.c_str(), 0777) != 0 && errno != EEXIST) return errno;
        Descriptor next(::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.get() < 0) return errno;
        here = std::move(next);
        at = here.get();
    }
    const std::string name(relative);
    Descriptor out(::openat(at, name.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (out.get() < 0) return errno;
    while (!bytes.empty()) {
        const ssize_t n = ::write(out.get(), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    // Write-back errors of some file systems show only at close.
    return ::close(out.release()) == 0 ? 0 : errno;
}

// Opens the capture directory, creating it when missing; refuses a symbolic
// link and a directory that already holds anything.
std::optional<Descriptor> open_target(const char* dir) {
    const std::string name = dir;
    if (::mkdir(dir, 0777) != 0 && errno != EEXIST) {
        complain("cannot create", name, errno);
        return std::nullopt;
    }
    Descriptor fd(::open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        const int error = errno;
        if (error == ELOOP || error == ENOTDIR) {
            std::fprintf(stderr, "vmd-detect: %s is not a directory\n", dir);
        } else {
            complain("cannot open", name, error);
        }
        return std::nullopt;
    }
    if (!empty_directory(fd.get())) {
        std::fprintf(stderr, "vmd-detect: %s exists and is not empty\n", dir);
        return std::nullopt;
    }
    return fd;
}

}  // namespace

int capture(const std::string& root, const char* dir) {
    const std::optional<Descriptor> target = open_target(dir);
    if (!target) return exit_usage;

    for (const ProbeRead& read : probe_reads) {
        const std::optional<std::string> bytes = read_probe_file(root + read.path, read.limit);
        if (!bytes) continue;  // left out: it reads "unavailable" from the capture
        if (const int error = write_beneath(target->get(), read.path + 1, *bytes)) {
            complain("cannot write", std::string(dir) + read.path, error);
            return exit_failed;
        }
    }
    for (const char* marker : probe_markers) {
        struct stat st {};
        if (::stat((root + marker).c_str(), &st) != 0) continue;
        if (const int error = write_beneath(target->get(), marker + 1, {})) {
            complain("cannot write", std::string(dir) + marker, error);
            return exit_failed;
        }
    }
    return exit_ok;
}

}  // namespace vmd::cli
