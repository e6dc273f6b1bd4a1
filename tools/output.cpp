// --output FILE: replaces FILE in one step, so that a collector reading it
// at any moment sees the old contents or the new, never a part.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "cli.h"

namespace vmd::cli {
namespace {

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool write_file(const std::string& path, std::string_view text, std::string& error) {
    // The temporary file lies beside FILE, since rename does not cross file
    // systems, and starts with a dot so that collectors that pick files by
    // suffix (node_exporter's *.prom) pass it by.
    const std::size_t cut = path.rfind('/') + 1;  // 0 without a slash
    const std::string dir = path.substr(0, cut);
    const std::string name = path.substr(cut);
    if (name.empty()) {
        error = "not a file name";
        return false;
    }
    std::string temporary = dir + "." + name + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    // Collectors run as other users: 0644 whatever the umask.
    bool ok = write_all(fd, text) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    int saved = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        error = std::strerror(saved);
        return false;
    }
    // The rename itself lasts only once the directory is on disk; a failure
    // here loses nothing that was there before, so it is not reported.
    const int dir_fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
    return true;
}

}  // namespace vmd::cli
