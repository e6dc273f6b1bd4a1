// --output FILE: replaces FILE in one step, so that a collector reading it
// at any moment sees the old contents or the new, never a part.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "cli.h"

namespace vmd::cli {

volatile std::sig_atomic_t stop_signal = 0;

namespace {

extern "C" void note_stop(int signal) {
    if (stop_signal == 0) stop_signal = signal;
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR && stop_signal == 0) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string directory_of(const std::string& path) {
    return path.substr(0, path.rfind('/') + 1);  // "" without a slash, else with the slash
}

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

// The regular file that `path` finally names, its links followed: the
// rename must replace that file in its own directory, not the link. A
// missing file is fine (it is created); anything else that is not a
// regular file is refused, and left as it is.
bool final_target(const std::string& path, std::string& target, std::string& error) {
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        error = std::string(kind_of(st.st_mode)) + ", not a regular file";
        return false;
    }
    target = path;
    for (int hops = 0; hops <= 40; ++hops) {  // the kernel's own limit
        if (::lstat(target.c_str(), &st) != 0) {
            if (errno != ENOENT) {
                error = std::strerror(errno);
                return false;
            }
            // stat found a file that the links do not lead to by name (a
            // link in /proc/PID/fd to a deleted file, say): nothing to replace.
            if (exists) {
                error = "a link that cannot be followed by name";
                return false;
            }
            return true;
        }
        if (S_ISREG(st.st_mode)) return true;
        if (!S_ISLNK(st.st_mode)) {
            error = std::string(kind_of(st.st_mode)) + ", not a regular file";
            return false;
        }
        std::string link(PATH_MAX, '\0');
        const ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
        if (n < 0 || static_cast<std::size_t>(n) >= link.size()) {
            error = n < 0 ? std::strerror(errno) : std::strerror(ENAMETOOLONG);
            return false;
        }
        link.resize(static_cast<std::size_t>(n));
        target = link.front() == '/' ? link : directory_of(target) + link;
    }
    error = std::strerror(ELOOP);
    return false;
}

}  // namespace

void catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = note_stop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked call returns EINTR
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

bool write_file(const std::string& path, std::string_view text, std::string& error,
                WrittenFile* written) {
    std::string target;
    if (!final_target(path, target, error)) return false;
    // The temporary file lies beside the target, since rename does not
    // cross file systems, and starts with a dot so that collectors that
    // pick files by suffix (node_exporter's *.prom) pass it by. Its name is
    // cut short where FILE's own name is already near the limit.
    const std::string dir = directory_of(target);
    std::string name = target.substr(dir.size());
    if (name.empty()) {
        error = "not a file name";
        return false;
    }
    const long name_max = ::pathconf(dir.empty() ? "." : dir.c_str(), _PC_NAME_MAX);
    const std::size_t room = name_max > 0 ? static_cast<std::size_t>(name_max) : NAME_MAX;
    constexpr std::size_t added = sizeof ".." - 1 + sizeof "XXXXXX" - 1;
    if (name.size() + added > room) name.resize(room > added ? room - added : 1);
    std::string temporary = dir + "." + name + ".XXXXXX";

    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        // Through a link, the message names where the link led.
        error = (target == path ? "" : target + ": ") + std::strerror(errno);
        return false;
    }
    // A stop signal abandons the file at the next step: the temporary file
    // goes, FILE stays as it was.
    const auto going_on = [] {
        if (stop_signal != 0) errno = EINTR;
        return stop_signal == 0;
    };
    // Collectors run as other users: 0644 whatever the umask.
    struct stat st {};
    bool ok = going_on() && write_all(fd, text) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0 &&
              ::fstat(fd, &st) == 0 && going_on();
    int saved = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && ::rename(temporary.c_str(), target.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        error = stop_signal != 0 ? "stopped by a signal" : std::strerror(saved);
        return false;
    }
    // The rename itself lasts only once the directory is on disk; a failure
    // here loses nothing that was there before, so it is not reported.
    const int dir_fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
    if (written != nullptr) *written = WrittenFile{target, st.st_dev, st.st_ino};
    return true;
}

bool remove_written(const WrittenFile& written, std::string& error) {
    const std::string dir = directory_of(written.path);
    const std::string name = written.path.substr(dir.size());
    if (name.empty()) return true;
    // Tested and removed by name in one opened directory, so that the file
    // tested is the file removed unless someone renames over it in between;
    // a writer does that once an interval, not in these microseconds.
    const int dir_fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) {
        const int failure = errno;
        error = std::strerror(failure);
        return failure == ENOENT;  // the directory went, and the file with it
    }
    // Gone means not there (ENOENT); a file that cannot even be looked at
    // (a directory without search permission) may well be ours, and stays.
    struct stat st {};
    const bool there = ::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    const bool ours =
        there && S_ISREG(st.st_mode) && st.st_dev == written.device && st.st_ino == written.inode;
    const bool ok = there ? !ours || ::unlinkat(dir_fd, name.c_str(), 0) == 0 || errno == ENOENT
                          : errno == ENOENT;
    if (!ok) error = std::strerror(errno);
    ::close(dir_fd);
    return ok;
}

}  // namespace vmd::cli
