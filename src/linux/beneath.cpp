#include "linux/beneath.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace vmd {
namespace {

// What the kernel allows in one lookup.
constexpr int max_links = 40;

// Closes on every way out, an allocation failure included.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// A path or a link's text, resolved from `at` on.
struct Pending {
    std::string text;
    std::size_t at;
};

int failed(int error) {
    errno = error;
    return -1;
}

// Reopens the O_PATH descriptor `seen` with `flags` through its name in
// `descriptors` (/proc/self/fd/), a link to the file itself, whatever has
// happened to its name since: it must be followed. ENOENT: no /proc.
int reopen(int seen, int flags, const char* descriptors) {
    char self[PATH_MAX];
    const std::size_t length = std::strlen(descriptors);
    if (length + 16 > sizeof self) return failed(ENAMETOOLONG);
    std::memcpy(self, descriptors, length);
    *std::to_chars(self + length, self + sizeof self - 1, seen).ptr = '\0';
    return ::open(self, flags & ~O_NOFOLLOW);
}

// What the kernel takes in openat2's struct open_how, and the two
// resolution flags used (linux/openat2.h, which older headers lack).
struct OpenHow {
    std::uint64_t flags;
    std::uint64_t mode;
    std::uint64_t resolve;
};
constexpr std::uint64_t resolve_no_magiclinks = 0x02;
constexpr std::uint64_t resolve_in_root = 0x10;

// The call's number: a C library older than the call (glibc 2.31, which
// release builds compile against) has no SYS_openat2, though the kernel
// headers have it.
#if defined(SYS_openat2)
constexpr long openat2_number = SYS_openat2;
#elif defined(__NR_openat2)
constexpr long openat2_number = __NR_openat2;
#else
constexpr long openat2_number = -1;
#endif

// The kernel's own resolution of `path` beneath `root`; -1 with errno.
int open_in_root(int root, const char* path, int flags) {
    if (openat2_number < 0) return failed(ENOSYS);
    const OpenHow how{static_cast<std::uint32_t>(flags), 0,
                      resolve_in_root | resolve_no_magiclinks};
    // EAGAIN: a rename or mount somewhere raced with a "..", which the
    // kernel will not vouch for; it asks for a retry.
    for (int attempt = 0;; ++attempt) {
        const long fd = ::syscall(openat2_number, root, path, &how, sizeof how);
        if (fd >= 0 || errno != EAGAIN || attempt == 3) return static_cast<int>(fd);
    }
}

// Whether a failure of open_in_root means the call itself is refused: no
// openat2 (ENOSYS; a filter may say EPERM) or not these flags (EINVAL,
// E2BIG). EPERM and EINVAL can be the path's own too, so the call is tried
// once more on the root itself, which looks up no name.
bool kernel_refuses(int root, int error) {
    if (error == ENOSYS) return true;
    if (error != EPERM && error != EINVAL && error != E2BIG) return false;
    const int fd = open_in_root(root, "/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        errno = error;
        return false;
    }
    const int again = errno;
    errno = error;
    return again == ENOSYS || again == EPERM || again == EINVAL || again == E2BIG;
}

// Whether fs.protected_symlinks forbids following the link `link`, the last
// of a lookup, found in a folder `folder`: the kernel's may_follow_link. The
// setting is read only for a link that it could forbid; unreadable, it is
// taken as on, as Debian and most distributions ship it.
bool protected_link(const struct stat& link, const struct stat& folder) {
    if ((folder.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH)) return false;
    if (folder.st_uid == link.st_uid) return false;
    // setfsuid with an invalid id changes nothing and returns the current.
    if (static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) == link.st_uid) return false;
    const Descriptor setting(
        ::open("/proc/sys/fs/protected_symlinks", O_RDONLY | O_CLOEXEC | O_NOCTTY));
    char value = '1';
    if (setting.get() >= 0 && ::read(setting.get(), &value, 1) != 1) value = '1';
    return value != '0';
}

}  // namespace

int open_seen(int seen, const struct stat& st, int flags, int dir, const char* name,
              const char* descriptors) {
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return failed(ENXIO);
    const int fd = reopen(seen, flags, descriptors);
    if (fd >= 0 || errno != ENOENT) return fd;

    // No /proc: the name again, which could have been swapped meanwhile for a
    // FIFO or a device node (not a link to one); such a file is closed again
    // unread.
    Descriptor again(::openat(dir, name, flags | O_NOFOLLOW));
    struct stat now {};
    if (again.get() < 0 || ::fstat(again.get(), &now) != 0) return -1;
    if (now.st_dev != st.st_dev || now.st_ino != st.st_ino) return failed(ENXIO);
    return again.release();
}

namespace {

int open_top(std::string_view top) {
    const std::string name = top.empty() ? std::string("/") : std::string(top);
    return ::open(name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int walk(int root, const char* path, int flags) {
    // The directories walked down from the root, each held open: ".." is one
    // step back up this list, never a lookup that could leave it.
    std::vector<Descriptor> walked;
    const auto here = [&] { return walked.empty() ? root : walked.back().get(); };
    // What is left to resolve: the path, and above it the text of each link
    // met on the way, the top one resolved first. Each is consumed in place,
    // so that a link costs one copy of its text, not one of all that follows
    // it (a chain of padded links would otherwise cost the square of its
    // length).
    std::vector<Pending> rest;
    rest.push_back({path, 0});
    const auto drop_spent = [&] {
        while (!rest.empty() &&
               rest.back().text.find_first_not_of('/', rest.back().at) == std::string::npos) {
            rest.pop_back();
        }
    };
    int links = 0;
    int steps = 0;
    // A last name followed by "/" (in the path or in a link's text that
    // stands last) must turn out a directory, as must all that follows it.
    bool want_directory = false;
    for (;;) {
        drop_spent();
        if (rest.empty()) {
            // The path ended in a directory: "/", "." or "..".
            return ::openat(here(), ".", flags);
        }
        // The budget bounds what a tree built to be slow can cost.
        if (++steps > max_resolution_steps) return failed(ELOOP);
        Pending& next_text = rest.back();
        const std::size_t start = next_text.text.find_first_not_of('/', next_text.at);
        const std::size_t end = std::min(next_text.text.find('/', start), next_text.text.size());
        const std::string name = next_text.text.substr(start, end - start);
        const bool slash = end < next_text.text.size();
        next_text.at = end;
        drop_spent();
        const bool last = rest.empty();
        if (name == "." || name == "..") {
            // Looked up in the folder, as the kernel does, which takes its
            // search permission; ".." then climbs the held list instead.
            const Descriptor self(::openat(here(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (self.get() < 0) return -1;
            if (name == ".." && !walked.empty()) walked.pop_back();
            continue;
        }
        want_directory = want_directory || (last && slash);
        const int look = last && (flags & O_PATH) != 0 ? flags : O_PATH | O_CLOEXEC;
        Descriptor next(::openat(here(), name.c_str(), look | O_NOFOLLOW));
        struct stat st {};
        if (next.get() < 0 || ::fstat(next.get(), &st) != 0) return -1;
        if (!S_ISLNK(st.st_mode)) {
            if (last) {
                if (want_directory && !S_ISDIR(st.st_mode)) return failed(ENOTDIR);
                if ((flags & O_PATH) != 0) return next.release();
                return open_seen(next.get(), st, flags, here(), name.c_str());
            }
            if (!S_ISDIR(st.st_mode)) return failed(ENOTDIR);
            walked.push_back(std::move(next));
            continue;
        }
        // A link: its text is resolved before what is left.
        if (++links > max_links) return failed(ELOOP);
        if (last) {
            struct stat folder {};
            if (::fstat(here(), &folder) != 0) return -1;
            if (protected_link(st, folder)) return failed(EACCES);
        }
        char target[PATH_MAX];
        const ssize_t size = ::readlinkat(here(), name.c_str(), target, sizeof target);
        if (size < 0) return -1;
        if (size == 0) return failed(ENOENT);
        if (static_cast<std::size_t>(size) == sizeof target) return failed(ENAMETOOLONG);
        if (target[0] == '/') walked.clear();
        rest.push_back({std::string(target, static_cast<std::size_t>(size)), 0});
    }
}

}  // namespace

int open_beneath(std::string_view top, const char* path, int flags) {
    const Descriptor root(open_top(top));
    if (root.get() < 0) return -1;
    // The last name is opened as asked if that is O_PATH; otherwise it is
    // looked at first, so that a device or FIFO is never opened.
    const bool look_only = (flags & O_PATH) != 0;
    Descriptor seen(open_in_root(root.get(), path, look_only ? flags : O_PATH | O_CLOEXEC));
    if (seen.get() < 0) {
        if (kernel_refuses(root.get(), errno)) return walk(root.get(), path, flags);
        return -1;
    }
    if (look_only) return seen.release();
    struct stat st {};
    if (::fstat(seen.get(), &st) != 0) return -1;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return failed(ENXIO);
    const int fd = reopen(seen.get(), flags, "/proc/self/fd/");
    // Without /proc the walk opens the last name itself, checked as it is.
    if (fd < 0 && errno == ENOENT) return walk(root.get(), path, flags);
    return fd;
}

int walk_beneath(std::string_view top, const char* path, int flags) {
    const Descriptor root(open_top(top));
    if (root.get() < 0) return -1;
    return walk(root.get(), path, flags);
}

}  // namespace vmd
