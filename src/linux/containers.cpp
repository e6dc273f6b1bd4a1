#include <string_view>

#include "linux/groups.h"
#include "linux/probe_file.h"

namespace vmd {
namespace {

void record_cgroup(Result& result, std::string_view vendor) {
    result.add("container", "container", vendor, 0, "current process cgroup");
}

// Takes the text up to the next `separator` off the front of `rest`.
std::string_view take(std::string_view& rest, char separator) {
    const std::size_t end = rest.find(separator);
    const std::string_view head = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return head;
}

// The cgroup path of one line "ID:controllers:/path", without its leading
// "/"; empty when the line is malformed or names the root cgroup.
std::string_view cgroup_path(std::string_view line) {
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) return {};
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos || second + 1 >= line.size() || line[second + 1] != '/') {
        return {};
    }
    return line.substr(second + 2);
}

void scan_path(Result& result, std::string_view path) {
    std::string_view previous;
    bool kubernetes = false;
    while (!path.empty()) {
        const std::string_view component = take(path, '/');
        if (component == "kubepods" || component == "kubepods.slice") kubernetes = true;
        if ((previous == "docker" && container_id(component)) || scope_id(component, "docker-")) {
            record_cgroup(result, "docker");
        }
        if ((previous == "libpod" && container_id(component)) || scope_id(component, "libpod-")) {
            record_cgroup(result, "podman");
        }
        if ((previous == "lxc" && !component.empty()) ||
            (component.size() > 12 && component.substr(0, 12) == "lxc.payload.")) {
            record_cgroup(result, "lxc");
        }
        if (kubernetes && (container_id(component) || scope_id(component, "cri-containerd-") ||
                           scope_id(component, "crio-") || scope_id(component, "docker-"))) {
            record_cgroup(result, "kubepods");
        }
        previous = component;
    }
}

}  // namespace

bool container_id(std::string_view name) {
    if (name.size() != 64) return false;
    for (char c : name) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

bool scope_id(std::string_view name, std::string_view prefix) {
    constexpr std::string_view suffix = ".scope";
    return name.size() == prefix.size() + 64 + suffix.size() &&
           name.substr(0, prefix.size()) == prefix &&
           name.substr(name.size() - suffix.size()) == suffix &&
           container_id(name.substr(prefix.size(), 64));
}

void cgroup_markers(Result& result, std::string_view text) {
    while (!text.empty()) {
        const std::string_view path = cgroup_path(take(text, '\n'));
        if (!path.empty()) scan_path(result, path);
    }
}

void detect_containers(Result& result, Root root) {
    static constexpr std::string_view identifiers[] = {"docker", "podman", "lxc", "systemd-nspawn"};
    const File cgroup = read_file(root, files::cgroup);
    const File systemd = read_file(root, files::systemd_container);

    if (exists(root, files::containerenv)) {
        result.add("container", "container", "podman", 0, files::containerenv.path);
    } else if (exists(root, files::dockerenv)) {
        result.add("container", "container", "docker", 0, files::dockerenv.path);
    }

    std::string_view id = systemd.contents;
    if (!id.empty() && id.back() == '\n') id.remove_suffix(1);
    for (std::string_view known : identifiers) {
        if (id == known) {
            result.add("container", "container", known, 0, "systemd container identifier");
        }
    }

    cgroup_markers(result, cgroup.contents);
    observe(result, "container", cgroup);
}

}  // namespace vmd
