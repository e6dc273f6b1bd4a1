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
    // A bound Unix socket, left there after its descriptor is closed.
    void socket(std::string_view path) const;
    // A character device node with the numbers of /dev/null; false where
    // this process may not make one (not root).
    bool device(std::string_view path) const;
    // Makes `path` a chain of forty links (as many as a lookup may follow),
    // each text the next link and then "a/.." steps up to nearly PATH_MAX,
    // the last leading to the directory `target` (made, with its "a"): built
    // to make every lookup through it as slow as links allow.
    void slow_link(std::string_view path, std::string_view target) const;
    // Makes the file unreadable (has no effect when the tests run as root).
    void forbid(std::string_view path) const;

private:
    std::string root_;
};

}  // namespace vmd::test
