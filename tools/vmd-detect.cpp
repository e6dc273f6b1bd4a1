// vmd-detect: prints this machine's detection report, or analyses a tree of
// probe files captured on another machine.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "detection/report.h"
#include "linux/linux.h"
#include "vm_detection.h"

namespace {

constexpr int exit_usage = 2;

const char usage[] =
    "usage: vmd-detect [--root DIR]\n"
    "\n"
    "Prints one line of JSON: whether this process runs in a virtual machine,\n"
    "a container, under WSL or on a cloud instance, with the evidence.\n"
    "\n"
    "  --root DIR  run only the platform probes, reading every probe file\n"
    "              beneath DIR instead of /\n"
    "  --help      show this help\n"
    "\n"
    "exit status: 0 report printed, 2 usage error, 3 detection failed\n";

int fail_usage(const char* message, const char* argument) {
    std::fprintf(stderr, "vmd-detect: %s%s%s (try --help)\n", message, argument ? ": " : "",
                 argument ? argument : "");
    return exit_usage;
}

int print_live() {
    char* report = nullptr;
    const int status = vmd_detect_json(&report);
    if (status != VMD_OK) {
        const char* what = status == VMD_OUT_OF_MEMORY ? "out of memory"
                           : status == VMD_INVALID_ARGUMENT ? "invalid argument"
                                                            : "internal failure";
        std::fprintf(stderr, "vmd-detect: detection failed with status %d (%s)\n", status, what);
        return 3;
    }
    std::printf("%s\n", report);
    vmd_free(report);
    return 0;
}

int print_root(std::string root) {
    struct stat st {};
    if (root.empty() || ::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return fail_usage("not a directory", root.c_str());
    }
    // Probe paths begin with "/", so the root must not end with one.
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (root == "/") root.clear();

    using clock = std::chrono::steady_clock;
    const clock::time_point start = clock::now();
    vmd::Result result;
    vmd::detect_linux(result, root);
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - start);
    std::printf("%s\n", vmd::to_json(result, static_cast<std::int64_t>(elapsed.count() / 1000)).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) return print_live();
    const std::string_view option = argv[1];
    if (option == "--help" || option == "-h") {
        std::fputs(usage, stdout);
        return 0;
    }
    if (option == "--root") {
        if (argc < 3) return fail_usage("--root needs a directory", nullptr);
        if (argc > 3) return fail_usage("unexpected argument", argv[3]);
        return print_root(argv[2]);
    }
    return fail_usage("unknown option", argv[1]);
}
