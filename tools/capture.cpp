// --capture: records a machine into a directory that `--root` replays on
// another one: every probe file, the processor facts and the report of the
// same moment. Everything is written relative to one descriptor of the
// target directory, with O_NOFOLLOW and O_EXCL, so that a symbolic link
// planted in the target can redirect nothing outside it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli.h"
#include "cpuid/cpu.h"
#include "linux/probe_file.h"

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

// `relative` beneath the directory `dir`, for messages.
std::string within(std::string dir, const std::string& relative) {
    if (relative.empty()) return dir;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir.back() == '/' ? dir + relative : dir + "/" + relative;
}

void complain(const char* what, const std::string& path, int error) {
    std::fprintf(stderr, "vmd-detect: %s %s: %s\n", what, path.c_str(), std::strerror(error));
}

// The first limit + 1 bytes of a regular file, so that a file too large to
// read "ok" stays too large in the capture; nothing for anything else.
// Opened the way the probes open it, so a FIFO or device neither blocks nor
// gets copied.
std::optional<std::string> read_cut(Root root, const char* path, std::uint64_t limit) {
    const Descriptor fd(open_probe(root, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    std::string bytes(read_size(limit), '\0');
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

// Whether a capture writes a regular file at `relative` (no leading "/").
bool capture_file(std::string_view relative) {
    return relative == processor_file + 1 || relative == "report.json" ||
           std::any_of(std::begin(probe_files), std::end(probe_files),
                       [&](const ProbeFile* file) { return relative == file->path + 1; });
}

// Whether a capture makes a folder at `relative`: on the way to a probe
// file, or in place of one that reads "error".
bool capture_folder(std::string_view relative) {
    return std::any_of(std::begin(probe_files), std::end(probe_files), [&](const ProbeFile* file) {
        const std::string_view path = file->path + 1;
        return path.size() > relative.size()
                   ? path.starts_with(relative) && path[relative.size()] == '/'
                   : path == relative && file->use == ProbeFile::Use::read;
    });
}

// Bounds of the walk over an earlier capture, far above what one holds.
constexpr int capture_depth = 16;
constexpr std::size_t capture_entries = 512;

struct Walk {
    dev_t device;  // of the capture directory: a mount inside it is foreign
    bool remove;   // false: only look
    std::size_t entries = 0;
    int error = 0;     // the errno that stopped the walk, or 0 for something foreign
    std::string at{};  // where it stopped (relative; empty for the top)
};

// Whether the tree beneath `dir_fd` (at `relative`, empty for the top)
// holds nothing but regular files and folders where a capture writes them;
// with walk.remove, removes each as it is found so. Stops at the first
// entry that is anything else. Names are read before anything is removed,
// as a listing changed under it may skip names.
bool capture_beneath(int dir_fd, const std::string& relative, int depth, Walk& walk) {
    if (depth > capture_depth) return false;
    std::vector<std::string> names;
    const int copy = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
    DIR* listing = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (listing == nullptr) {
        walk.error = errno;
        walk.at = relative;
        if (copy >= 0) ::close(copy);
        return false;
    }
    ::rewinddir(listing);  // the copy shares the offset of an earlier walk
    errno = 0;
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (++walk.entries > capture_entries) break;
        names.emplace_back(entry->d_name);
    }
    walk.error = errno;
    walk.at = relative;
    ::closedir(listing);
    if (walk.error != 0 || walk.entries > capture_entries) return false;

    for (const std::string& name : names) {
        const std::string path = relative.empty() ? name : relative + "/" + name;
        walk.at = path;
        struct stat st {};
        if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            walk.error = errno;
            return false;
        }
        if (st.st_dev != walk.device) return false;
        if (S_ISREG(st.st_mode) && capture_file(path)) {
            if (walk.remove && ::unlinkat(dir_fd, name.c_str(), 0) != 0) {
                walk.error = errno;
                return false;
            }
        } else if (S_ISDIR(st.st_mode) && capture_folder(path)) {
            const Descriptor folder(
                ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (folder.get() < 0) {
                walk.error = errno;
                return false;
            }
            if (!capture_beneath(folder.get(), path, depth + 1, walk)) return false;
            if (walk.remove && ::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) != 0) {
                walk.error = errno;
                walk.at = path;
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

// Makes the folders of `relative` (no leading "/") beneath `top`, except its
// last component, and opens the innermost. Returns 0 or the errno.
int parent_of(int top, std::string_view& relative, Descriptor& parent) {
    std::size_t slash;
    int at = top;
    while ((slash = relative.find('/')) != std::string_view::npos) {
        const std::string name(relative.substr(0, slash));
        relative.remove_prefix(slash + 1);
        if (::mkdirat(at, name.c_str(), 0777) != 0 && errno != EEXIST) return errno;
        Descriptor next(
            ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.get() < 0) return errno;
        parent = std::move(next);
        at = parent.get();
    }
    if (at == top) parent = Descriptor(::fcntl(top, F_DUPFD_CLOEXEC, 0));
    return parent.get() < 0 ? errno : 0;
}

// Writes `bytes` to `relative` beneath the directory `top`, making the
// folders on the way. Returns 0 or the errno of the failure.
int write_beneath(int top, std::string_view relative, std::string_view bytes) {
    Descriptor parent;
    if (const int error = parent_of(top, relative, parent)) return error;
    const std::string name(relative);
    Descriptor out(::openat(parent.get(), name.c_str(),
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

// An empty folder at `relative`: it reads "error" again, as a file that is
// there but cannot be read does.
int folder_beneath(int top, std::string_view relative) {
    Descriptor parent;
    if (const int error = parent_of(top, relative, parent)) return error;
    return ::mkdirat(parent.get(), std::string(relative).c_str(), 0777) == 0 ? 0 : errno;
}

// Asks `inner` and notes every leaf asked, once.
struct Recorder {
    LeafSource inner;
    std::vector<Leaf>* asked;
};

Registers recorded(const void* context, std::uint32_t leaf, std::uint32_t subleaf) {
    const Recorder& r = *static_cast<const Recorder*>(context);
    const Registers answer = r.inner.query(r.inner.context, leaf, subleaf);
    if (std::none_of(r.asked->begin(), r.asked->end(),
                     [&](const Leaf& l) { return l.leaf == leaf && l.subleaf == subleaf; })) {
        r.asked->push_back(Leaf{leaf, subleaf, answer});
    }
    return answer;
}

// The processor facts of `source` as a run would use them now: the leaves
// the decoding asks for, and the timing figure.
Processor record_processor(const Machine& source) {
    Processor out;
    const LeafSource leaves =
        source.processor ? table_leaves(source.processor->leaves) : instruction_leaves();
    if (leaves.query != nullptr) {
        const Recorder recorder{leaves, &out.leaves};
        decode_cpu(LeafSource{recorded, &recorder});
    }
    std::sort(out.leaves.begin(), out.leaves.end(), [](const Leaf& a, const Leaf& b) {
        return std::pair{a.leaf, a.subleaf} < std::pair{b.leaf, b.subleaf};
    });
    out.timing = source.processor ? source.processor->timing : measure_timing();
    return out;
}

// Whether the tree at `root` (empty: /) is the directory `dir` or lies
// beneath it, climbing by "..": emptying `dir` would empty the tree being
// captured.
bool holds_tree(const struct stat& dir, const std::string& root) {
    Descriptor at(::open(root.empty() ? "/" : root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (at.get() < 0 || ::fstat(at.get(), &st) != 0) return false;
    for (int up = 0; up < 4096; ++up) {  // PATH_MAX allows no more levels
        if (st.st_dev == dir.st_dev && st.st_ino == dir.st_ino) return true;
        Descriptor parent(::openat(at.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat above {};
        if (parent.get() < 0 || ::fstat(parent.get(), &above) != 0) return false;
        if (above.st_dev == st.st_dev && above.st_ino == st.st_ino) return false;  // at the top
        at = std::move(parent);
        st = above;
    }
    return false;
}

// Opens the capture directory, creating it when missing, and empties it
// when it holds an earlier capture, so that a step that captures can run
// again (an init container does when its pod's sandbox is made anew).
// Refuses a symbolic link and a directory that holds anything else, with
// nothing removed. Returns an exit status.
int open_target(const char* dir, const std::string& source_root, Descriptor& target) {
    const std::string name = dir;
    if (::mkdir(dir, 0777) != 0 && errno != EEXIST) {
        complain("cannot create", name, errno);
        return exit_usage;
    }
    Descriptor fd(::open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        const int error = errno;
        if (error == ELOOP || error == ENOTDIR) {
            std::fprintf(stderr, "vmd-detect: %s is not a directory\n", dir);
        } else {
            complain("cannot open", name, error);
        }
        return exit_usage;
    }
    if (holds_tree(st, source_root)) {
        std::fprintf(stderr, "vmd-detect: %s holds the tree being captured\n", dir);
        return exit_usage;
    }
    // Looked at whole before anything goes: a directory that is not a
    // capture, the wrong one given, stays as it is; so does one with a
    // folder that cannot be read, which may hold anything.
    Walk look{st.st_dev, false};
    if (!capture_beneath(fd.get(), "", 0, look)) {
        if (look.error != 0) {
            complain("cannot read", within(name, look.at), look.error);
        } else {
            std::fprintf(stderr,
                         "vmd-detect: %s exists and is not empty, nor an earlier capture: name a "
                         "new or empty directory, or remove this one\n",
                         dir);
        }
        return exit_usage;
    }
    Walk remove{st.st_dev, true};
    if (!capture_beneath(fd.get(), "", 0, remove)) {
        if (remove.error != 0) {
            complain("cannot remove the earlier capture in", name, remove.error);
        } else {
            std::fprintf(stderr, "vmd-detect: %s changed while its earlier capture was removed\n",
                         dir);
        }
        return exit_failed;
    }
    target = std::move(fd);
    return exit_ok;
}

}  // namespace

int capture(const Machine& source, const char* dir) {
    Descriptor target;
    if (const int status = open_target(dir, source.root, target); status != exit_ok) return status;
    const auto failed = [dir, &target](std::string_view relative, int error) {
        complain("cannot write", within(dir, std::string(relative)), error);
        // A capture cut short (a full disk) would replay as some other
        // machine: what it wrote goes, and DIR is left empty.
        struct stat st {};
        Walk undo{0, true};
        if (::fstat(target.get(), &st) == 0) undo.device = st.st_dev;
        if (!capture_beneath(target.get(), "", 0, undo)) {
            std::fprintf(stderr, "vmd-detect: %s holds a partial capture: remove it\n", dir);
        }
        return exit_failed;
    };

    // The report first, from the facts that the capture keeps.
    Machine machine = source;
    if (!source.platform_only) machine.processor = record_processor(source);
    const Run run = detect(machine);

    const Root root(source.root, source.confined);
    for (const ProbeFile* file : probe_files) {
        const std::string_view relative = file->path + 1;
        int error = 0;
        if (file->use == ProbeFile::Use::exists) {
            if (!exists(root, *file)) continue;
            error = write_beneath(target.get(), relative, {});
        } else if (const File read = read_file(root, *file); read.status == status_ok) {
            error = write_beneath(target.get(), relative, read.contents);
        } else if (read.status == status_error) {
            // Too large: kept cut one byte past the limit. Not a regular file,
            // or unreadable: a folder, which reads "error" too.
            const std::optional<std::string> cut = read_cut(root, file->path, file->limit);
            error = cut && cut->size() > file->limit ? write_beneath(target.get(), relative, *cut)
                                                     : folder_beneath(target.get(), relative);
        }  // "unavailable": left out, so it reads "unavailable" again
        if (error != 0) return failed(relative, error);
    }
    if (machine.processor) {
        if (const int error = write_beneath(target.get(), processor_file + 1,
                                            write_processor(*machine.processor))) {
            return failed(processor_file + 1, error);
        }
    }
    if (const int error = write_beneath(target.get(), "report.json",
                                        to_json(run.result, run.duration_us) + "\n")) {
        return failed("report.json", error);
    }
    return exit_ok;
}

}  // namespace vmd::cli
