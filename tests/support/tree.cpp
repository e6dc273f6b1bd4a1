#include "support/tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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

void Tree::forbid(std::string_view path) const { ::chmod(at(path).c_str(), 0); }

}  // namespace vmd::test
