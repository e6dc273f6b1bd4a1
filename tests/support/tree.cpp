#include "support/tree.h"

#include <limits.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace vmd::test {

namespace fs = std::filesystem;

Tree::Tree() {
    std::string pattern = (fs::temp_directory_path() / "vmd-tree-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
}

Tree::~Tree() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::string Tree::at(std::string_view path) const { return root_ + std::string(path); }

void Tree::file(std::string_view path, std::string_view bytes) const {
    const fs::path full = at(path);
    fs::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + full.string());
}

void Tree::folder(std::string_view path) const { fs::create_directories(at(path)); }

void Tree::fifo(std::string_view path) const {
    const fs::path full = at(path);
    fs::create_directories(full.parent_path());
    if (::mkfifo(full.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
}

void Tree::link(std::string_view path, std::string_view target) const {
    const fs::path full = at(path);
    fs::create_directories(full.parent_path());
    fs::create_symlink(std::string(target), full);
}

void Tree::socket(std::string_view path) const {
    const fs::path full = at(path);
    fs::create_directories(full.parent_path());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (full.native().size() >= sizeof address.sun_path) throw std::runtime_error("path too long");
    std::memcpy(address.sun_path, full.c_str(), full.native().size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool bound =
        fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) ::close(fd);
    if (!bound) throw std::runtime_error("cannot bind " + full.string());
}

bool Tree::device(std::string_view path) const {
    const fs::path full = at(path);
    fs::create_directories(full.parent_path());
    return ::mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
}

void Tree::slow_link(std::string_view path, std::string_view target) const {
    constexpr int links = 40;
    // The links side by side, each text relative to their directory, so that
    // the chain leads to `target` with links confined or not.
    const fs::path first(path);
    const std::string name = first.filename().string();
    const std::string end = fs::path(target).lexically_relative(first.parent_path()).string();
    folder(std::string(target) + "/a");
    for (int i = 0; i < links; ++i) {
        std::string text = i + 1 < links ? name + "." + std::to_string(i + 1) : end;
        while (text.size() + 5 < PATH_MAX) text += "/a/..";
        link(i == 0 ? std::string(path) : std::string(path) + "." + std::to_string(i), text);
    }
}

void Tree::forbid(std::string_view path) const { ::chmod(at(path).c_str(), 0); }

}  // namespace vmd::test
