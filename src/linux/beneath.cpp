#include "linux/beneath.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
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

}  // namespace

int open_seen(int seen, const struct stat& st, int flags, int dir, const char* name,
              const char* descriptors) {
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return failed(ENXIO);
    // The descriptor's name in /proc is a link to the file itself, whatever
    // has happened to its name since: it must be followed.
    char self[PATH_MAX];
    const std::size_t length = std::strlen(descriptors);
    if (length + 16 > sizeof self) return failed(ENAMETOOLONG);
    std::memcpy(self, descriptors, length);
    *std::to_chars(self + length, self + sizeof self - 1, seen).ptr = '\0';
    const int fd = ::open(self, flags & ~O_NOFOLLOW);
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

int open_beneath(std::string_view top, const char* path, int flags) {
    const std::string top_name = top.empty() ? std::string("/") : std::string(top);
    const Descriptor root(::open(top_name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (root.get() < 0) return -1;
    // The directories walked down from `top`, each held open: ".." is one
    // step back up this list, never a lookup that could leave it.
    std::vector<Descriptor> walked;
    const auto here = [&] { return walked.empty() ? root.get() : walked.back().get(); };
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
        next_text.at = end;
        drop_spent();
        if (name == ".") continue;
        if (name == "..") {
            if (!walked.empty()) walked.pop_back();
            continue;
        }
        const bool last = rest.empty();
        // The last name is opened as asked if that is O_PATH; otherwise it is
        // looked at first, so that a device or FIFO is never opened.
        const int look = last && (flags & O_PATH) != 0 ? flags : O_PATH | O_CLOEXEC;
        Descriptor next(::openat(here(), name.c_str(), look | O_NOFOLLOW));
        struct stat st {};
        if (next.get() < 0 || ::fstat(next.get(), &st) != 0) return -1;
        if (!S_ISLNK(st.st_mode)) {
            if (last) {
                if ((flags & O_PATH) != 0) return next.release();
                return open_seen(next.get(), st, flags, here(), name.c_str());
            }
            if (!S_ISDIR(st.st_mode)) return failed(ENOTDIR);
            walked.push_back(std::move(next));
            continue;
        }
        // A link: its text is resolved before what is left.
        if (++links > max_links) return failed(ELOOP);
        char target[PATH_MAX];
        const ssize_t size = ::readlinkat(here(), name.c_str(), target, sizeof target);
        if (size < 0) return -1;
        if (size == 0) return failed(ENOENT);
        if (static_cast<std::size_t>(size) == sizeof target) return failed(ENAMETOOLONG);
        if (target[0] == '/') walked.clear();
        rest.push_back({std::string(target, static_cast<std::size_t>(size)), 0});
    }
}

}  // namespace vmd
