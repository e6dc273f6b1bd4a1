// A temporary tree of probe files for running the platform probes over,
// made fresh by each test and removed after it.
#pragma once

#include <string>
#include <string_view>

namespace vmd::test {

class Tree {
public:
    Tree();
    ~Tree();
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;

    // The root prefix to hand to the probes (no trailing slash).
    const std::string& root() const { return root_; }
    // root() + path, for a path beginning with "/".
    std::string at(std::string_view path) const;

    // Writes the bytes to root + path, making parent folders.
    void file(std::string_view path, std::string_view bytes) const;
    void folder(std::string_view path) const;
    void fifo(std::string_view path) const;
    void link(std::string_view path, std::string_view target) const;
    // Makes the file unreadable (has no effect when the tests run as root).
    void forbid(std::string_view path) const;

private:
    std::string root_;
};

}  // namespace vmd::test
