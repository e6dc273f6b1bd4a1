// vmd-detect --host-root against the kernel's own resolution: random trees
// at the probe paths (files, folders, FIFOs, sockets, devices, links of every
// kind, folders others cannot search, sticky folders holding strangers'
// links), each captured by vmd-detect and read by a child chroot'ed into the
// tree, which must agree path by path: as root and as another user, with
// openat2 and with it refused (the resolver that stands in for it). A third
// of the trees run with fs.protected_symlinks set. Needs root; exits 77
// without it.
//
//   kernel_resolution_test VMD_DETECT [SEED...]   no seeds: the fixed ones and a fresh one
#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "linux/probe_files.h"

namespace {

using std::string;
using Rng = std::mt19937_64;

constexpr uid_t user = 65300;      // the unprivileged reader
constexpr uid_t stranger = 65301;  // owns links that others may not follow in sticky folders
constexpr unsigned long fixed_seeds[] = {1, 2, 3};
constexpr unsigned long trees_per_seed = 45;
constexpr int shown_at_most = 6;  // trees listed in full; the rest are counted

#if defined(__x86_64__)
#define VMD_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__i386__)
#define VMD_AUDIT_ARCH AUDIT_ARCH_I386
#elif defined(__aarch64__)
#define VMD_AUDIT_ARCH AUDIT_ARCH_AARCH64
#endif
#if defined(SYS_openat2) && defined(VMD_AUDIT_ARCH)
constexpr bool can_refuse_openat2 = true;
#else
constexpr bool can_refuse_openat2 = false;
#endif

[[noreturn]] void die(const string& what) {
    std::fprintf(stderr, "kernel_resolution_test: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

void made(bool failed, const string& path) {
    if (failed) die("cannot make " + path);
}

std::size_t weighted(Rng& rng, std::initializer_list<double> weights) {
    return std::discrete_distribution<std::size_t>(weights)(rng);
}

// What one probe path reads: o(k) with its bytes, u(navailable), e(rror);
// for an existence test y(es) or n(o).
struct Answer {
    char status;
    string bytes;
    bool operator==(const Answer&) const = default;
};

string shown(const Answer& a) {
    string text;
    for (const char c : a.bytes) text += c == '\n' ? string("\\n") : string(1, c);
    const char* words[] = {"unavailable", "error", "exists", "absent"};
    return a.status == 'o' ? "ok \"" + text + "\"" : words[string("ueyn").find(a.status)];
}

char absent_or_error(int error) {
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == EPERM ? 'u' : 'e';
}

// Every probe path and the folders on the way (relative, parents first),
// and a few places for links to lead to.
std::vector<string> tree_paths() {
    std::set<string> paths{"etc/hostname", "data/a", "data/b"};
    for (const char* name : {"x", "model", "compatible", "type", "cgroup", "raw"}) {
        paths.insert({string("data/c/") + name, string("data/d/") + name});
    }
    for (const vmd::ProbeFile* file : vmd::probe_files) paths.insert(file->path + 1);
    for (string path : std::set<string>(paths)) {
        while (path.find('/') != string::npos) paths.insert(path = path.substr(0, path.rfind('/')));
    }
    return {paths.begin(), paths.end()};  // "a/b" sorts before "a/b/c"
}

bool holds(const std::vector<string>& paths, const string& folder) {
    return std::any_of(paths.begin(), paths.end(),
                       [&](const string& p) { return p.starts_with(folder + "/"); });
}

string folder_of(const string& path) {
    return path.find('/') == string::npos ? "" : path.substr(0, path.rfind('/'));
}

std::vector<string> components(const string& path) {
    std::vector<string> names;
    for (std::size_t at = 0; at < path.size();) {
        const std::size_t end = std::min(path.find('/', at), path.size());
        names.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return names;
}

string ups(std::size_t n) {
    string text;
    while (n-- > 0) text += "../";
    return text;
}

// `target` seen from the folder `from`, by the shortest way.
string relative(const string& from, const string& target) {
    const std::vector<string> a = components(from), b = components(target);
    std::size_t common = 0;
    while (common < a.size() && common < b.size() && a[common] == b[common]) ++common;
    string down;
    for (std::size_t i = common; i < b.size(); ++i) down += (down.empty() ? "" : "/") + b[i];
    const string text = ups(a.size() - common) + down;
    return text.empty() ? "." : text;
}

// The text of a link at `link`: absolute, relative, climbing out (the tree
// has an etc/hostname of its own), ending in "/", through "." and ".." of a
// folder that may be none or may not be searched, to itself.
string link_text(Rng& rng, const string& link, const std::vector<string>& paths) {
    const string target = rng() % 8 == 0 ? "etc/hostname" : paths[rng() % paths.size()];
    string by;  // a folder of the tree's plan, if it turns out one
    do by = paths[rng() % paths.size()];
    while (!holds(paths, by));
    const string from = folder_of(link);
    const string climb = ups(components(from).size() + 1 + rng() % 2);
    const string detour =
        "/" + by + (rng() % 2 ? "/../" : "/./../") + ups(components(by).size() - 1);
    const string self = link.substr(from.empty() ? 0 : from.size() + 1);
    const std::array<string, 11> texts = {
        "/" + target,
        relative(from, target),
        "/../../" + target,
        climb + target,
        "/" + target + "/",
        relative(from, target) + "/",
        detour + target,
        self,
        "/" + by + (rng() % 2 ? "/.." : "/."),
        ".",
        "../../../..",
    };
    return texts[weighted(rng, {4, 4, 2, 2, 2, 2, 6, 1, 4, 0.5, 0.5})];
}

void make_node(Rng& rng, const string& full, std::size_t kind, const string& text) {
    const auto one_of = [&](auto values, std::initializer_list<double> weights) {
        return values[weighted(rng, weights)];
    };
    const std::array<uid_t, 3> owners = {0, user, stranger};
    if (kind == 0) {  // a folder: plain, unsearchable by others, or sticky and open to all
        const mode_t mode = one_of(std::array<mode_t, 3>{0755, 0700, 01777}, {50, 20, 30});
        const uid_t owner = one_of(owners, {80, 10, 10});
        made(::mkdir(full.c_str(), 0755) || ::chown(full.c_str(), owner, owner) ||
                 ::chmod(full.c_str(), mode),
             full);
    } else if (kind == 1) {
        const uid_t owner = one_of(owners, {1, 1, 1});
        made(::symlink(text.c_str(), full.c_str()) || ::lchown(full.c_str(), owner, owner), full);
    } else if (kind == 2) {
        const string bytes =
            full.substr(full.rfind("/tree/") + 6) + " " + std::to_string(rng() % 1000) + "\n";
        const int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            die(full);
        made(::close(fd) || ::chmod(full.c_str(), rng() % 6 ? 0644 : 0600), full);
    } else if (kind == 4) {
        made(::mkfifo(full.c_str(), 0666), full);
    } else if (kind == 5) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (full.size() >= sizeof address.sun_path) die("too long for a socket: " + full);
        std::memcpy(address.sun_path, full.c_str(), full.size() + 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        made(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), full);
        ::close(fd);
    } else if (kind == 6 && ::mknod(full.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0) {
        made(::mkfifo(full.c_str(), 0666), full);  // where device nodes may not be made
    }                                              // 3: missing
}

// Lays out the tree of `seed` beneath `top`.
void make_tree(const string& top, unsigned long seed) {
    Rng rng(seed);
    const std::vector<string> paths = tree_paths();
    // Only within folders made here: a name beneath a link would be made
    // wherever the link leads, outside the tree too.
    std::set<string> folders{""};
    for (const string& path : paths) {
        if (folders.count(folder_of(path)) == 0) continue;
        // folder, link, file, missing, FIFO, socket, device
        const std::size_t kind = holds(paths, path) ? weighted(rng, {80, 14, 3, 3})
                                                    : weighted(rng, {6, 36, 32, 12, 5, 5, 4});
        make_node(rng, top + "/" + path, kind, kind == 1 ? link_text(rng, path, paths) : "");
        if (kind == 0) folders.insert(path);
    }
}

// The tree as `ls -lR` has it, a line a node: mode, owner, path, link text.
void list_tree(const string& top, const string& at, string& out) {
    std::vector<string> names;
    for (const auto& entry : std::filesystem::directory_iterator(top + "/" + at))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    for (const string& name : names) {
        const string path = at.empty() ? name : at + "/" + name, full = top + "/" + path;
        struct stat st {};
        if (::lstat(full.c_str(), &st) != 0) die(path);
        const mode_t m = st.st_mode;
        string line(1, "?pc?d?b?-?l?s???"[(m & S_IFMT) >> 12]);
        for (int bit = 8; bit >= 0; --bit) line += (m >> bit) & 1 ? "rwx"[2 - bit % 3] : '-';
        if (m & S_ISVTX) line.back() = 't';
        line += " " + std::to_string(st.st_uid) + " " + path;
        char text[4096];
        const ssize_t n = S_ISLNK(m) ? ::readlink(full.c_str(), text, sizeof text) : -1;
        if (n >= 0) line += " -> " + string(text, static_cast<std::size_t>(n));
        out += "    " + line + "\n";
        if (S_ISDIR(m)) list_tree(top, path, out);
    }
}

void become_user() {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(user, user, user) != 0 ||
        ::setresuid(user, user, user) != 0) {
        _exit(126);
    }
}

// From here on openat2 fails with ENOSYS, as on a kernel before 5.6.
void refuse_openat2() {
#if defined(SYS_openat2) && defined(VMD_AUDIT_ARCH)
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, VMD_AUDIT_ARCH, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        _exit(124);
    }
    const std::uint64_t how[3] = {O_PATH, 0, 0};  // struct open_how
    if (::syscall(SYS_openat2, AT_FDCWD, "/", how, sizeof how) >= 0 || errno != ENOSYS) _exit(124);
#endif
}

// One probe path as the library reads it: looked at first, then only a
// regular file or a folder opened, for reading, as fopen would (a folder
// that may not be read is "unavailable", one that may "error").
Answer kernel_answer(const vmd::ProbeFile& file) {
    struct stat st {};
    if (file.use == vmd::ProbeFile::Use::exists)
        return {::stat(file.path, &st) == 0 ? 'y' : 'n', {}};
    const int seen = ::open(file.path, O_PATH | O_CLOEXEC);
    if (seen < 0) return {absent_or_error(errno), {}};
    const bool opens = ::fstat(seen, &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode));
    ::close(seen);
    if (!opens) return {'e', {}};
    const int fd = ::open(file.path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {absent_or_error(errno), {}};
    char bytes[4097];  // every limit is at least 4096; the trees' files are short
    const ssize_t n = S_ISREG(st.st_mode) ? ::read(fd, bytes, sizeof bytes) : -1;
    ::close(fd);
    if (n < 0 || n > 4096) return {'e', {}};
    return {'o', string(bytes, static_cast<std::size_t>(n))};
}

string read_all(int fd) {
    string all;
    char chunk[4096];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;)
        all.append(chunk, static_cast<std::size_t>(n));
    return all;
}

// Every probe path as a child whose root is `tree` reads it.
std::vector<Answer> kernel_answers(const string& tree, bool as_user) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) die("pipe");
    const pid_t child = ::fork();
    if (child == 0) {
        if (::chroot(tree.c_str()) != 0 || ::chdir("/") != 0) _exit(125);
        if (as_user) become_user();
        string all;
        for (const vmd::ProbeFile* file : vmd::probe_files) {
            const Answer a = kernel_answer(*file);
            all += a.status + std::to_string(a.bytes.size()) + ":" + a.bytes;
        }
        _exit(::write(out[1], all.data(), all.size()) == static_cast<ssize_t>(all.size()) ? 0 : 1);
    }
    ::close(out[1]);
    const string all = read_all(out[0]);
    ::close(out[0]);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || status != 0)
        die("the chroot'ed reader failed");
    std::vector<Answer> answers;
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t colon = all.find(':', at),
                          size = std::stoul(all.substr(at + 1, colon - at - 1));
        answers.push_back({all[at], all.substr(colon + 1, size)});
        at = colon + 1 + size;
    }
    return answers;
}

// Every probe path as `vmd-detect --host-root tree --capture` recorded it.
std::vector<Answer> captured(const char* detect, const string& tree, const string& capture,
                             bool as_user, bool fallback) {
    made(::mkdir(capture.c_str(), 0755) ||
             ::chown(capture.c_str(), as_user ? user : 0, as_user ? user : 0),
         capture);
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        if (null < 0 || ::dup2(null, 1) < 0) _exit(127);
        if (as_user) become_user();
        if (fallback) refuse_openat2();
        ::execl(detect, detect, "--host-root", tree.c_str(), "--capture", capture.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) die("waitpid");
    if (status != 0) {
        std::fprintf(stderr,
                     "kernel_resolution_test: %s --host-root %s --capture %s%s%s: status %d\n",
                     detect, tree.c_str(), capture.c_str(), as_user ? " (as 65300)" : "",
                     fallback ? " (openat2 refused)" : "", status);
        std::exit(1);
    }
    std::vector<Answer> answers;
    for (const vmd::ProbeFile* file : vmd::probe_files) {
        const string path = capture + file->path;
        struct stat st {};
        const bool there = ::lstat(path.c_str(), &st) == 0;
        if (file->use == vmd::ProbeFile::Use::exists || !there || !S_ISREG(st.st_mode)) {
            answers.push_back({file->use == vmd::ProbeFile::Use::exists ? (there ? 'y' : 'n')
                               : there                                  ? 'e'
                                                                        : 'u',
                               {}});
            continue;
        }
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) die(path);
        answers.push_back({'o', read_all(fd)});
        ::close(fd);
    }
    std::filesystem::remove_all(capture);
    return answers;
}

const char symlinks_knob[] = "/proc/sys/fs/protected_symlinks";

bool set_knob(const string& value) {
    const int fd = ::open(symlinks_knob, O_WRONLY | O_CLOEXEC);
    const bool done =
        fd >= 0 && ::write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
    if (fd >= 0) ::close(fd);
    return done;
}

// Cleans up when this process ends, however it ends (a crash, a kill by
// ctest's timeout): a child of its own waits for the end of a pipe that only
// this process holds, then removes `top` and sets protected_symlinks back to
// `knob` unless that is empty. Returns the pipe's end.
int keeper(const string& top, const string& knob) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) die("pipe");
    const pid_t child = ::fork();
    if (child == 0) {
        ::setsid();  // not in the process group that a timeout kills
        ::close(ends[1]);
        char byte;
        while (::read(ends[0], &byte, 1) < 0 && errno == EINTR) {
        }
        std::error_code ignored;
        std::filesystem::remove_all(top, ignored);
        _exit(knob.empty() || set_knob(knob) ? 0 : 1);
    }
    if (child < 0) die("fork");
    ::close(ends[0]);
    return ends[1];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kernel_resolution_test VMD_DETECT [SEED...]\n");
        return 2;
    }
    const char* detect = argv[1];
    if (::geteuid() != 0) {
        std::printf("skipped: chroot and other users' files need root\n");
        return 77;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // nothing left in a buffer that a child copies
    ::umask(022);
    char top_name[] = "/tmp/vmd-kernel-resolution-XXXXXX";
    if (::mkdtemp(top_name) == nullptr || ::chmod(top_name, 0755) != 0) die("mkdtemp");
    const string top = top_name, tree = top + "/tree";
    // protected_symlinks is 1 (Debian's default) for every third tree, and
    // as it was for the others, where this process may set it. The setting
    // is the whole system's: runs of this test (from two build directories)
    // take turns, and the keeper holds the turn until it has set it back.
    const int turn =
        ::open("/tmp/vmd-kernel-resolution.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (turn < 0 || ::flock(turn, LOCK_EX) != 0) die("/tmp/vmd-kernel-resolution.lock");
    const int knob = ::open(symlinks_knob, O_RDONLY | O_CLOEXEC);
    const string old_knob = knob < 0 ? "" : read_all(knob);
    if (knob >= 0) ::close(knob);
    const bool settable = !old_knob.empty() && set_knob(old_knob);
    const int cleanup = keeper(top, settable ? old_knob : "");
    made(::mkdir(tree.c_str(), 0755), tree);
    // What a child may do here: chroot, become the other user (not in a
    // user namespace that lacks it), run vmd-detect as that user.
    const auto can = [](auto what) {
        const pid_t child = ::fork();
        if (child == 0) _exit(what() ? 0 : 1);
        int status = 0;
        return child > 0 && ::waitpid(child, &status, 0) == child && status == 0;
    };
    if (!can([&] { return ::chroot(tree.c_str()) == 0; })) {
        std::printf("skipped: chroot is refused here\n");
        return 77;
    }
    if (!can([] { return become_user(), true; })) {
        std::printf("skipped: uid %u is not to be had here\n", user);
        return 77;
    }
    const bool user_runs = can([&] { return become_user(), ::access(detect, X_OK) == 0; });
    if (!user_runs)
        std::printf("note: uid %u may not run %s; only root's half runs\n", user, detect);
    if (!settable) std::printf("note: %s cannot be set here; it stays as it is\n", symlinks_knob);
    if (!can_refuse_openat2)
        std::printf("note: openat2 cannot be refused here; one resolver runs\n");

    std::vector<unsigned long> seeds;
    for (int i = 2; i < argc; ++i) seeds.push_back(std::stoul(argv[i]));
    if (seeds.empty()) {
        std::vector<unsigned long> bases(std::begin(fixed_seeds), std::end(fixed_seeds));
        bases.push_back(std::random_device{}() % 1000000 + 1000);
        std::printf("fresh seed %lu: trees %lu to %lu\n", bases.back(), bases.back() * 1000,
                    bases.back() * 1000 + trees_per_seed - 1);
        for (const unsigned long base : bases) {
            for (unsigned long i = 0; i < trees_per_seed; ++i) seeds.push_back(base * 1000 + i);
        }
    }

    const auto start = std::chrono::steady_clock::now();
    int differing = 0;
    for (const unsigned long seed : seeds) {
        const bool protect = settable && seed % 3 == 0;
        if (settable && !set_knob(protect ? "1" : old_knob)) die(symlinks_knob);
        make_tree(tree, seed);
        string report;
        for (const bool as_user : {false, true}) {
            if (as_user && !user_runs) continue;
            const std::vector<Answer> kernel = kernel_answers(tree, as_user);
            for (const bool fallback : {false, true}) {
                if (fallback && !can_refuse_openat2) continue;
                const std::vector<Answer> ours =
                    captured(detect, tree, top + "/capture", as_user, fallback);
                for (std::size_t i = 0; i < kernel.size(); ++i) {
                    if (ours.at(i) == kernel[i]) continue;
                    report += "  " + string(vmd::probe_files[i]->path) +
                              (as_user ? " as 65300" : " as root") +
                              (fallback ? ", openat2 refused" : "") + ": vmd-detect " +
                              shown(ours[i]) + ", kernel " + shown(kernel[i]) + "\n";
                }
            }
        }
        if (!report.empty() && ++differing <= shown_at_most) {
            string listing;
            list_tree(tree, "", listing);
            std::printf("tree %lu (protected_symlinks %c) differs:\n%s  layout:\n%s", seed,
                        protect            ? '1'
                        : old_knob.empty() ? '?'
                                           : old_knob[0],
                        report.c_str(), listing.c_str());
        }
        std::filesystem::remove_all(tree);
        made(::mkdir(tree.c_str(), 0755), tree);
    }
    ::close(cleanup);  // the keeper removes the trees and sets the knob back
    while (::wait(nullptr) > 0) {
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%zu trees in %.1f s: %d differ from the kernel\n", seeds.size(), seconds,
                differing);
    return differing == 0 ? 0 : 1;
}
