// The whole platform run over a tree of probe files decoded from the input:
// regular files of any bytes, files at or one byte over their limit,
// directories, FIFOs, links (loops among them), devices, unreadable files,
// and files where a directory should be. The run must return with the eight
// platform probes, leave no descriptor open and give an ASCII report.
//
// The same tree is then read as a live system's root, with links confined
// beneath it: among the links are some that a node has (absolute, relative)
// and some that try to leave the tree for a bait tree beside it, which holds
// every probe file. The confined run must say the same whether the bait is
// there or not, and the walk that stands in where the kernel cannot resolve
// beneath a root must open what the kernel opens, path by path.
#include <dirent.h>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "detection/report.h"
#include "linux/beneath.h"
#include "linux/linux.h"
#include "linux/probe_files.h"
#include "strict_json.h"

namespace {

namespace fs = std::filesystem;

struct Place {
    std::string path;
    std::uint64_t limit;  // 0: not read, only tested or a folder
};

// Every probe file in table order, then every folder on their way in order
// of first appearance; fuzz/seeds.py lists them the same way.
std::vector<Place> places() {
    std::vector<Place> out;
    std::vector<std::string> folders;
    for (const vmd::ProbeFile* f : vmd::probe_files) {
        out.push_back({f->path, f->limit});
        const std::string path = f->path;
        for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            const std::string folder = path.substr(0, slash);
            if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
                folders.push_back(folder);
            }
        }
    }
    for (const std::string& folder : folders) out.push_back({folder, 0});
    return out;
}

// One temporary folder per process, emptied before each input, and the bait
// beside it. Held in plain arrays, which outlive every exit handler.
char root_dir[4096];
char bait_dir[4096 + 8];
char gone_dir[4096 + 8];

std::string root() {
    if (root_dir[0] == '\0') {
        const std::string pattern = (fs::temp_directory_path() / "vmd-fuzz-XXXXXX").string();
        FUZZ_CHECK(pattern.size() < sizeof root_dir);
        pattern.copy(root_dir, pattern.size());
        FUZZ_CHECK(::mkdtemp(root_dir) != nullptr);
        std::snprintf(bait_dir, sizeof bait_dir, "%s-bait", root_dir);
        std::snprintf(gone_dir, sizeof gone_dir, "%s-gone", root_dir);
        std::atexit([] {
            std::error_code ignored;
            for (const char* dir : {root_dir, bait_dir, gone_dir}) fs::remove_all(dir, ignored);
        });
    }
    return root_dir;
}

void empty_root() {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(root(), ignored)) {
        fs::remove_all(entry.path(), ignored);
    }
}

// Parent folders of root + path; failures (a file in the way) are left to
// the probes to meet.
void parents(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        ::mkdir((root() + path.substr(0, slash)).c_str(), 0755);
    }
}

void write_file(const std::string& full, const std::string& bytes) {
    // O_NOFOLLOW: never write through a link the input made.
    const int fd = ::open(full.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

// Every probe file, readable, in the bait tree.
void lay_bait() {
    for (const vmd::ProbeFile* f : vmd::probe_files) {
        const std::string full = bait_dir + std::string(f->path);
        fs::create_directories(fs::path(full).parent_path());
        write_file(full, "bait\n");
    }
}

// "../" for each folder above `path`, and `more` besides.
std::string climb(const std::string& path, int more) {
    std::string up;
    for (auto n = std::count(path.begin(), path.end(), '/') - 1 + more; n > 0; --n) up += "../";
    return up;
}

int open_descriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    FUZZ_CHECK(dir != nullptr);
    int n = 0;
    while (::readdir(dir) != nullptr) ++n;
    ::closedir(dir);
    return n;
}

void build(FuzzedDataProvider& in, const std::vector<Place>& all) {
    for (int entries = 0; entries < 48 && in.remaining_bytes() > 0; ++entries) {
        const Place& place = all[in.ConsumeIntegralInRange<std::size_t>(0, all.size() - 1)];
        const std::string full = root() + place.path;
        parents(place.path);
        switch (in.ConsumeIntegralInRange(0, 9)) {
            case 0:
                write_file(full, in.ConsumeRandomLengthString(4200));
                break;
            case 1: {  // exactly at, or one byte over, the limit
                const std::string unit = in.ConsumeRandomLengthString(64) + "\n";
                const std::uint64_t size =
                    (place.limit == 0 ? 4096 : place.limit) + (in.ConsumeBool() ? 1 : 0);
                std::string bytes = unit;
                while (bytes.size() < size) bytes += bytes;
                bytes.resize(size);
                write_file(full, bytes);
                break;
            }
            case 2:
                ::mkdir(full.c_str(), 0755);
                break;
            case 3:
                ::mkfifo(full.c_str(), 0644);
                break;
            case 4: {  // a link to another probe path, loops included
                const Place& target =
                    all[in.ConsumeIntegralInRange<std::size_t>(0, all.size() - 1)];
                ::symlink((root() + target.path).c_str(), full.c_str());
                break;
            }
            case 5:
                ::symlink(in.ConsumeBool() ? "/dev/null" : "/dev/zero", full.c_str());
                break;
            case 6:  // a file that says its size is 0 but holds text
                ::symlink("/proc/self/status", full.c_str());
                break;
            case 8: {  // a link as a node has them, absolute or relative
                const Place& target =
                    all[in.ConsumeIntegralInRange<std::size_t>(0, all.size() - 1)];
                // What the kernel reads with care: a trailing "/" asks for
                // a directory; "." and ".." are names looked up.
                static const char* const tails[] = {"", "/", "/.", "/..", "//"};
                const std::string text =
                    (in.ConsumeBool() ? target.path
                                      : climb(place.path, 0) + target.path.substr(1)) +
                    tails[in.ConsumeIntegralInRange(0, 4)];
                ::symlink(text.c_str(), full.c_str());
                break;
            }
            case 9: {  // a link that tries to leave for the bait
                const Place& target =
                    all[in.ConsumeIntegralInRange<std::size_t>(0, all.size() - 1)];
                const std::string text = in.ConsumeBool()
                                             ? bait_dir + target.path
                                             : climb(place.path, 4) + (bait_dir + 1) + target.path;
                ::symlink(text.c_str(), full.c_str());
                break;
            }
            default: {  // unreadable, unless running as root
                struct stat st {};
                if (::lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                    ::chmod(full.c_str(), 0);
                }
                break;
            }
        }
    }
}

// The errno of opening `path` beneath `top` with `resolve`, or 0 and the
// identity of what opened.
struct Opened {
    int error = 0;
    dev_t dev = 0;
    ino_t ino = 0;
};

Opened open_with(int (*resolve)(std::string_view, const char*, int), const std::string& top,
                 const std::string& path, int flags) {
    Opened opened;
    const int fd = resolve(top, path.c_str(), flags);
    struct stat st {};
    if (fd < 0) {
        opened.error = errno;
    } else {
        FUZZ_CHECK(::fstat(fd, &st) == 0);
        opened.dev = st.st_dev;
        opened.ino = st.st_ino;
        ::close(fd);
    }
    return opened;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<Place> all = [] {
        root();
        lay_bait();
        return places();
    }();
    empty_root();
    FuzzedDataProvider in(data, size);
    build(in, all);

    const int descriptors = open_descriptors();
    vmd::Result result;
    vmd::detect_linux(result, root());
    FUZZ_CHECK(open_descriptors() == descriptors);

    const std::string top = root();
    vmd::Result baited;
    vmd::detect_linux(baited, vmd::Root(top, true));
    FUZZ_CHECK(::rename(bait_dir, gone_dir) == 0);
    vmd::Result alone;
    vmd::detect_linux(alone, vmd::Root(top, true));
    FUZZ_CHECK(::rename(gone_dir, bait_dir) == 0);
    FUZZ_CHECK(open_descriptors() == descriptors);
    FUZZ_CHECK(vmd::to_json(baited, 0) == vmd::to_json(alone, 0));

    // Every place, looked at and opened, as the kernel and as the walk. The
    // walk's budget of components may end a long tree early.
    for (const Place& place : all) {
        for (const int flags : {O_PATH | O_CLOEXEC, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY}) {
            const Opened kernel = open_with(&vmd::open_beneath, top, place.path, flags);
            const Opened walked = open_with(&vmd::walk_beneath, top, place.path, flags);
            if (walked.error == ELOOP && kernel.error != ELOOP) continue;
            FUZZ_CHECK(kernel.error == walked.error);
            FUZZ_CHECK(kernel.dev == walked.dev && kernel.ino == walked.ino);
        }
    }

    static const char* const names[] = {"firmware", "firmware", "device_tree", "hypervisor",
                                        "system",   "system",   "system",      "container"};
    FUZZ_CHECK(result.probes.size() == 8);
    for (std::size_t i = 0; i < 8; ++i) {
        const vmd::Probe& p = result.probes[i];
        FUZZ_CHECK(p.source == names[i]);
        FUZZ_CHECK(p.status == "ok" || p.status == "unavailable" || p.status == "error");
    }
    for (const vmd::Evidence& e : result.evidence) {
        FUZZ_CHECK(e.detail.size() <= vmd::max_detail);
        FUZZ_CHECK(e.weight == 0 || e.weight == 50 || e.weight == 80 || e.weight == 85 ||
                   e.weight == 90 || e.weight == 95);
    }
    fuzz::StrictJson json;
    FUZZ_CHECK(json.parse(vmd::to_json(result, 0)));
    return 0;
}
