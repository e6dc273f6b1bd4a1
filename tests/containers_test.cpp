#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "detection/report.h"
#include "linux/groups.h"
#include "linux/linux.h"
#include "support/alloc_hook.h"
#include "support/tree.h"

namespace vmd {
namespace {

using test::Tree;
using Row = std::tuple<std::string, std::string, std::string>;  // vendor, detail, category
using Rows = std::vector<Row>;
using List = std::vector<std::string>;

const std::string id = "d0f61dcb105ca580ad5d61c5a0e4e6a98e7c6b9e31eadef3e99ed3f19d4968a3";
const std::string other_id = "e59f8f2de0ca950ac983c7022bf34bf1cf22f16bb83661d50352af6ed2de1143";
const std::string pod_uid = "435cddd8-ccc5-4fa8-bb0e-aba0538881e0";
const std::string pod_slice = "435cddd8_ccc5_4fa8_bb0e_aba0538881e0";

const char* const cgroup_detail = "current process cgroup";
const char* const systemd_detail = "systemd container identifier";

// Container evidence as (vendor, detail, category); every one must have
// source "container" and weight 0.
Rows rows(const Result& result) {
    Rows out;
    for (const Evidence& e : result.evidence) {
        EXPECT_EQ(e.source, "container");
        EXPECT_EQ(e.weight, 0);
        out.emplace_back(e.vendor, e.detail, e.category);
    }
    return out;
}

Row cgroup(const char* vendor) { return {vendor, cgroup_detail, "container"}; }

Rows scan(std::string_view text) {
    Result r;
    cgroup_markers(r, text);
    return rows(r);
}

Result run(const Tree& tree) {
    Result r;
    detect_containers(r, tree.root());
    return r;
}

TEST(ContainerId, ExactlySixtyFourLowerCaseHexDigits) {
    ASSERT_EQ(id.size(), 64u);
    EXPECT_TRUE(container_id(id));
    EXPECT_FALSE(container_id(id.substr(1)));
    EXPECT_FALSE(container_id(id + "a"));
    std::string upper = id;
    upper[10] = 'C';
    EXPECT_FALSE(container_id(upper));
    upper[10] = 'g';
    EXPECT_FALSE(container_id(upper));
    EXPECT_FALSE(container_id(""));

    EXPECT_TRUE(scope_id("docker-" + id + ".scope", "docker-"));
    EXPECT_FALSE(scope_id("docker-" + id + ".scopes", "docker-"));
    EXPECT_FALSE(scope_id("docker-" + id.substr(1) + ".scope", "docker-"));
    EXPECT_FALSE(scope_id("docker-" + id + "0.scope", "docker-"));
    EXPECT_FALSE(scope_id("libpod-" + id + ".scope", "docker-"));
    EXPECT_FALSE(scope_id("docker-" + upper + ".scope", "docker-"));
    EXPECT_FALSE(scope_id("docker-", "docker-"));
}

TEST(CgroupMarkers, LineAndPathSyntax) {
    const std::string docker_path = "/docker/" + id;
    EXPECT_EQ(scan("0::" + docker_path), Rows{cgroup("docker")});
    EXPECT_EQ(scan("0::" + docker_path + "\n"), Rows{cgroup("docker")});
    // Root cgroup, missing colons, a path without its leading "/", nothing
    // after the second colon: skipped, and the scan goes on.
    EXPECT_TRUE(scan("0::/\n").empty());
    EXPECT_TRUE(scan("0::docker/" + id + "\n1:cpu:\n1:cpu\nnothing\n\n").empty());
    // A line ending at its second colon is never looked past, even when the
    // bytes beyond the view would make a path.
    const std::string beyond = "1:cpu:/docker/" + id;
    EXPECT_TRUE(scan(std::string_view(beyond).substr(0, 6)).empty());
    EXPECT_EQ(scan("1:cpu:\n\n0::docker/x\n2:memory:" + docker_path + "\n"),
              Rows{cgroup("docker")});
    // The controller list may itself be empty or hold "name=" entries.
    EXPECT_EQ(scan("1:name=systemd:" + docker_path), Rows{cgroup("docker")});
    // Components match whole and exactly.
    EXPECT_TRUE(scan("0::/docker//" + id).empty());
    EXPECT_TRUE(scan("0::/Docker/" + id).empty());
    EXPECT_TRUE(scan("0::/mydocker/" + id).empty());
    EXPECT_TRUE(scan("0::/docker/" + id + "\r\n").empty());
    EXPECT_TRUE(scan("0::/docker/" + id.substr(1)).empty());
    EXPECT_EQ(scan("0::/a//docker/" + id + "/"), Rows{cgroup("docker")});
}

TEST(CgroupMarkers, EachRuntimeNamingScheme) {
    EXPECT_EQ(scan("0::/system.slice/docker-" + id + ".scope\n"), Rows{cgroup("docker")});
    EXPECT_EQ(scan("0::/machine.slice/libpod-" + id + ".scope\n"), Rows{cgroup("podman")});
    EXPECT_EQ(scan("0::/libpod/" + id + "\n"), Rows{cgroup("podman")});
    EXPECT_TRUE(scan("0::/libpod/" + id.substr(2) + "\n").empty());
    // LXC names its containers freely.
    EXPECT_EQ(scan("4:memory:/lxc/web01\n"), Rows{cgroup("lxc")});
    EXPECT_EQ(scan("0::/lxc.payload.web01\n"), Rows{cgroup("lxc")});
    EXPECT_EQ(scan("0::/lxc.payload.x/init.scope\n"), Rows{cgroup("lxc")});
    EXPECT_TRUE(scan("0::/lxc.payload.\n").empty());
    EXPECT_TRUE(scan("0::/lxc.monitor.web01\n").empty());
    EXPECT_TRUE(scan("0::/lxc/\n0::/lxc//web01\n").empty());
    // Several vendors in one text come in the order first found.
    EXPECT_EQ(scan("0::/lxc/a\n1:cpu:/docker/" + id + "\n2:cpu:/lxc/b\n"),
              (Rows{cgroup("lxc"), cgroup("docker")}));
}

TEST(CgroupMarkers, KubernetesNeedsAPodTreeEarlierOnTheSameLine) {
    const std::string v1 = "/kubepods/besteffort/pod" + pod_uid + "/" + id;
    EXPECT_EQ(scan("0::" + v1), Rows{cgroup("kubepods")});
    EXPECT_TRUE(scan("0::/besteffort/pod" + pod_uid + "/" + id).empty());
    EXPECT_TRUE(scan("0::/" + id + "/kubepods").empty());
    // The flag belongs to one line only.
    EXPECT_TRUE(scan("1:cpu:/kubepods/besteffort/pod" + pod_uid + "\n2:memory:/pod/" + id).empty());
    const std::string slices =
        "/kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod" + pod_slice + ".slice/";
    EXPECT_EQ(scan("0::" + slices + "cri-containerd-" + id + ".scope"), Rows{cgroup("kubepods")});
    EXPECT_EQ(scan("0::" + slices + "crio-" + id + ".scope"), Rows{cgroup("kubepods")});
    EXPECT_TRUE(scan("0::" + slices + "crio-conmon-" + id + ".scope").empty());
    // A Docker runtime under the kubelet names both.
    EXPECT_EQ(scan("0::" + slices + "docker-" + id + ".scope"),
              (Rows{cgroup("docker"), cgroup("kubepods")}));
    // Outside a pod tree, a containerd scope names nobody.
    EXPECT_TRUE(scan("0::/system.slice/cri-containerd-" + id + ".scope").empty());
}

TEST(CgroupMarkers, ScansViewsWithoutCopying) {
    std::string host;
    for (int i = 12; i >= 1; --i) {
        host += std::to_string(i) + ":cpu,cpuacct:/user.slice/user-1000.slice/session-2.scope\n";
    }
    Result r;
    r.evidence.reserve(4);
    r.add("container", "container", "docker", 0, cgroup_detail);
    const std::string docker = "3:memory:/docker/" + id + "\n" + host;
    test::allow_allocations();
    cgroup_markers(r, host);
    // A repeat of a recorded finding is dropped before anything is built.
    cgroup_markers(r, docker);
    EXPECT_EQ(test::allocations(), 0);
    EXPECT_EQ(r.evidence.size(), 1u);
}

TEST(Containers, MarkerFilesAndSystemdIdentifier) {
    Tree tree;
    tree.file("/.dockerenv", "");
    EXPECT_EQ(rows(run(tree)), (Rows{{"docker", "/.dockerenv", "container"}}));
    // Podman's marker wins; Docker's is then not looked at.
    tree.file("/run/.containerenv", "engine=\"podman-4.9.3\"\n");
    EXPECT_EQ(rows(run(tree)), (Rows{{"podman", "/run/.containerenv", "container"}}));
    tree.file("/run/systemd/container", "podman\n");
    EXPECT_EQ(rows(run(tree)), (Rows{{"podman", "/run/.containerenv", "container"},
                                     {"podman", systemd_detail, "container"}}));

    const auto identifier = [](std::string_view text) {
        Tree t;
        t.file("/run/systemd/container", text);
        return rows(run(t));
    };
    EXPECT_EQ(identifier("systemd-nspawn\n"),
              (Rows{{"systemd-nspawn", systemd_detail, "container"}}));
    EXPECT_EQ(identifier("docker"), (Rows{{"docker", systemd_detail, "container"}}));
    EXPECT_EQ(identifier("lxc\n"), (Rows{{"lxc", systemd_detail, "container"}}));
    for (const char* text : {"docker\r\n", "docker\n\n", " docker\n", "Docker\n", "oci\n",
                             "lxc-libvirt\n", "\n", ""}) {
        EXPECT_TRUE(identifier(text).empty()) << text;
    }
    // A directory at a marker path still marks.
    Tree folder;
    folder.folder("/.dockerenv");
    EXPECT_EQ(rows(run(folder)).size(), 1u);
}

TEST(Containers, ProbeCarriesTheCgroupFileStatus) {
    Tree tree;
    const auto probe = [&tree] {
        const Result r = run(tree);
        EXPECT_EQ(r.probes.size(), 1u);
        return std::make_pair(r.probes.at(0).source + "=" + r.probes.at(0).status, rows(r));
    };
    EXPECT_EQ(probe(), std::make_pair(std::string("container=unavailable"), Rows{}));
    tree.file("/proc/self/cgroup", "0::/\n");
    EXPECT_EQ(probe(), std::make_pair(std::string("container=ok"), Rows{}));

    // A file of exactly the limit is scanned; one byte more and it is not.
    std::string text = "0::/docker/" + id + "\n";
    text.resize(65536, '\n');
    tree.file("/proc/self/cgroup", text);
    EXPECT_EQ(probe(), std::make_pair(std::string("container=ok"), Rows{cgroup("docker")}));
    text += '\n';
    tree.file("/proc/self/cgroup", text);
    EXPECT_EQ(probe(), std::make_pair(std::string("container=error"), Rows{}));

    Tree folder;
    folder.folder("/proc/self/cgroup");
    EXPECT_EQ(run(folder).probes.at(0).status, "error");
}

// Whole platform runs over the files real environments show.
struct Environment {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;
    List containers;
    Rows evidence;
};

std::vector<Environment> environments() {
    std::string docker_v1;
    for (const char* controllers :
         {"12:freezer", "11:pids", "10:perf_event", "9:cpuset", "8:net_cls,net_prio", "7:hugetlb",
          "6:memory", "5:devices", "4:blkio", "3:rdma", "2:cpu,cpuacct", "1:name=systemd"}) {
        docker_v1 += std::string(controllers) + ":/docker/" + id + "\n";
    }
    std::string kube_v1;
    for (const char* controllers : {"11:memory", "10:pids", "9:cpu,cpuacct", "1:name=systemd"}) {
        kube_v1 += std::string(controllers) + ":/kubepods/besteffort/pod" + pod_uid + "/" +
                   other_id + "\n";
    }
    const std::string slices =
        "0::/kubepods.slice/kubepods-besteffort.slice/kubepods-besteffort-pod" + pod_slice +
        ".slice/";
    const Row dockerenv{"docker", "/.dockerenv", "container"};
    const Row containerenv{"podman", "/run/.containerenv", "container"};
    return {
        {"plain host",
         {{"/proc/self/cgroup",
           "0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
           "app-org.gnome.Terminal.slice/vte-spawn-" +
               pod_uid + ".scope\n"}},
         {},
         {}},
        {"host running dockerd",
         {{"/proc/self/cgroup", "0::/system.slice/docker.service\n"}},
         {},
         {}},
        {"host with cgroup v1",
         {{"/proc/self/cgroup",
           "12:pids:/user.slice/user-1000.slice/session-2.scope\n11:rdma:/\n"
           "1:name=systemd:/user.slice/user-1000.slice/session-2.scope\n"
           "0::/user.slice/user-1000.slice/session-2.scope\n"}},
         {},
         {}},
        {"docker, cgroup v1",
         {{"/.dockerenv", ""}, {"/proc/self/cgroup", docker_v1}},
         {"docker"},
         {dockerenv, cgroup("docker")}},
        {"docker, cgroup v2 with the host's cgroup namespace",
         {{"/.dockerenv", ""}, {"/proc/self/cgroup", "0::/system.slice/docker-" + id + ".scope\n"}},
         {"docker"},
         {dockerenv, cgroup("docker")}},
        {"docker, cgroup v2 with a private cgroup namespace",
         {{"/.dockerenv", ""}, {"/proc/self/cgroup", "0::/\n"}},
         {"docker"},
         {dockerenv}},
        {"rootless podman",
         {{"/run/.containerenv", "engine=\"podman-4.9.3\"\nrootless=1\n"},
          {"/proc/self/cgroup",
           "0::/user.slice/user-1000.slice/user@1000.service/user.slice/"
           "libpod-" +
               id + ".scope/container\n"}},
         {"podman"},
         {containerenv, cgroup("podman")}},
        {"lxc",
         {{"/run/systemd/container", "lxc\n"}, {"/proc/self/cgroup", "0::/lxc.payload.web01\n"}},
         {"lxc"},
         {{"lxc", systemd_detail, "container"}, cgroup("lxc")}},
        {"systemd-nspawn",
         {{"/run/systemd/container", "systemd-nspawn\n"}, {"/proc/self/cgroup", "0::/\n"}},
         {"systemd-nspawn"},
         {{"systemd-nspawn", systemd_detail, "container"}}},
        {"kubernetes with containerd",
         {{"/proc/self/cgroup", slices + "cri-containerd-" + id + ".scope\n"}},
         {"kubepods"},
         {cgroup("kubepods")}},
        {"kubernetes with cri-o",
         {{"/run/.containerenv", ""}, {"/proc/self/cgroup", slices + "crio-" + id + ".scope\n"}},
         {"podman", "kubepods"},
         {containerenv, cgroup("kubepods")}},
        {"kubernetes with cgroup v1 and docker",
         {{"/.dockerenv", ""}, {"/proc/self/cgroup", kube_v1}},
         {"docker", "kubepods"},
         {dockerenv, cgroup("kubepods")}},
    };
}

TEST(Containers, RealisticEnvironments) {
    for (const Environment& env : environments()) {
        SCOPED_TRACE(env.name);
        Tree tree;
        for (const auto& [path, bytes] : env.files) tree.file(path, bytes);
        Result r;
        detect_linux(r, tree.root());
        EXPECT_EQ(rows(r), env.evidence);
        const Assessment a = assess(r);
        EXPECT_EQ(a.containers, env.containers);
        EXPECT_TRUE(a.hypervisors.empty());
        EXPECT_EQ(a.vm_score, 0);
        ASSERT_FALSE(r.probes.empty());
        EXPECT_EQ(r.probes.back().source, "container");
        EXPECT_EQ(r.probes.back().status, "ok");
    }
}

std::string run_tool(const std::string& root) {
    const std::string command = std::string(VMD_DETECT_PATH) + " --root '" + root + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    std::string out;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
    EXPECT_EQ(::pclose(pipe), 0) << command;
    return out;
}

// The JSON array after "key": as written, brackets included.
std::string member(const std::string& json, const std::string& key) {
    const std::string head = "\"" + key + "\":";
    const std::size_t start = json.find(head);
    if (start == std::string::npos) return "missing";
    const std::size_t from = start + head.size();
    const std::size_t end = json.find(']', from);
    return end == std::string::npos ? "unterminated" : json.substr(from, end + 1 - from);
}

TEST(VmdDetectRoot, ReportsContainersLayersAndHostsOfACapturedTree) {
    // Docker Desktop on WSL2, with Kubernetes enabled.
    Tree wsl;
    wsl.file("/proc/sys/kernel/osrelease", "5.15.153.1-microsoft-standard-WSL2\n");
    wsl.file("/.dockerenv", "");
    wsl.file("/proc/self/cgroup",
             "0::/kubepods.slice/kubepods-besteffort.slice/"
             "kubepods-besteffort-pod" +
                 pod_slice + ".slice/docker-" + id + ".scope\n");
    const std::string report = run_tool(wsl.root() + "/");
    EXPECT_EQ(member(report, "containers"), "[\"docker\",\"kubepods\"]") << report;
    EXPECT_EQ(member(report, "compatibility_layers"), "[\"wsl2\"]");
    EXPECT_EQ(member(report, "hypervisors"), "[\"hyperv\"]");
    EXPECT_EQ(member(report, "host_hypervisors"), "[]");
    EXPECT_NE(report.find("{\"source\":\"hypervisor\",\"status\":\"unavailable\"},"
                          "{\"source\":\"system\",\"status\":\"unavailable\"},"
                          "{\"source\":\"system\",\"status\":\"unavailable\"},"
                          "{\"source\":\"system\",\"status\":\"ok\"},"
                          "{\"source\":\"container\",\"status\":\"ok\"}]"),
              std::string::npos)
        << report;

    Tree dom0;
    dom0.file("/sys/hypervisor/type", "xen\n");
    dom0.file("/proc/xen/capabilities", "control_d\n");
    const std::string host = run_tool(dom0.root());
    EXPECT_EQ(member(host, "host_hypervisors"), "[\"xen\"]") << host;
    EXPECT_EQ(member(host, "hypervisors"), "[]");
    EXPECT_EQ(member(host, "containers"), "[]");
    EXPECT_NE(host.find("\"vm_likelihood\":\"not_detected\""), std::string::npos);
}

}  // namespace
}  // namespace vmd
