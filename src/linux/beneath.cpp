#include "linux/beneath.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

private:
    int fd_;
};

int failed(int error) {
    errno = error;
    return -1;
}

}  // namespace

int open_beneath(std::string_view top, const char* path, int flags) {
    const std::string top_name = top.empty() ? std::string("/") : std::string(top);
    const Descriptor root(::open(top_name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (root.get() < 0) return -1;
    // The directories walked down from `top`, each held open: ".." is one
    // step back up this list, never a lookup that could leave it.
    std::vector<Descriptor> walked;
    const auto here = [&] { return walked.empty() ? root.get() : walked.back().get(); };
    std::string rest = path;  // what is left to resolve
    int links = 0;
    for (;;) {
        const std::size_t start = rest.find_first_not_of('/');
        if (start == std::string::npos) {
            // The path ended in a directory: "/", "." or "..".
            return ::openat(here(), ".", flags);
        }
        const std::size_t end = rest.find('/', start);
        const std::string name = rest.substr(start, end - start);
        rest.erase(0, end == std::string::npos ? rest.size() : end);
        if (name == ".") continue;
        if (name == "..") {
            if (!walked.empty()) walked.pop_back();
            continue;
        }
        if (rest.find_first_not_of('/') == std::string::npos) {
            // The last name: opened as asked, unless it is a link.
            const int fd = ::openat(here(), name.c_str(), flags | O_NOFOLLOW);
            if (fd < 0 && errno != ELOOP) return -1;
            if (fd >= 0) {
                struct stat st {};
                // O_PATH with O_NOFOLLOW opens a link itself.
                if ((flags & O_PATH) == 0 || (::fstat(fd, &st) == 0 && !S_ISLNK(st.st_mode))) {
                    return fd;
                }
                ::close(fd);
            }
        } else {
            Descriptor next(::openat(here(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            struct stat st {};
            if (next.get() < 0 || ::fstat(next.get(), &st) != 0) return -1;
            if (S_ISDIR(st.st_mode)) {
                walked.push_back(std::move(next));
                continue;
            }
            if (!S_ISLNK(st.st_mode)) return failed(ENOTDIR);
        }
        // A link: its text takes its place in what is left to resolve.
        if (++links > max_links) return failed(ELOOP);
        char target[PATH_MAX];
        const ssize_t size = ::readlinkat(here(), name.c_str(), target, sizeof target);
        if (size < 0) return -1;
        if (size == 0) return failed(ENOENT);
        if (static_cast<std::size_t>(size) == sizeof target) return failed(ENAMETOOLONG);
        if (target[0] == '/') walked.clear();
        rest.insert(0, target, static_cast<std::size_t>(size));
    }
}

}  // namespace vmd
