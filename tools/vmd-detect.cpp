// vmd-detect: prints this machine's detection report, or analyses a tree of
// probe files captured on another machine, or captures one.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "cli.h"
#include "detection/report.h"
#include "linux/linux.h"
#include "vm_detection.h"

namespace {

using namespace vmd::cli;

const char usage[] =
    "usage: vmd-detect [--root DIR] [--pretty | --summary | --check KIND | --capture DIR]\n"
    "\n"
    "Tells whether this process runs in a virtual machine (and under which\n"
    "hypervisor), in a container, under WSL or on a cloud instance, with the\n"
    "evidence. Without options it prints the report as one line of JSON.\n"
    "\n"
    "  --root DIR     run only the platform probes, reading every probe file\n"
    "                 beneath DIR instead of / (for instance a capture)\n"
    "  --pretty       print the report indented for reading\n"
    "  --summary      print a short account: the verdict, what was found, the\n"
    "                 evidence and the probes\n"
    "  --check KIND   print nothing; exit 0 when KIND was found, 1 when not.\n"
    "                 KIND is vm (likely or very likely a virtual machine),\n"
    "                 container, compat (a compatibility layer such as WSL),\n"
    "                 cloud or host (this is a hypervisor's host side)\n"
    "  --capture DIR  copy every file the platform probes read (of / or of the\n"
    "                 --root tree) into DIR, which must be new or empty, so\n"
    "                 that --root DIR reproduces them elsewhere. A capture can\n"
    "                 hold machine identifiers (board names, asset tags,\n"
    "                 container ids): look at it before you share it\n"
    "  --help         show this help\n"
    "\n"
    "exit status: 0 done (for --check: found), 1 --check: not found,\n"
    "2 usage error (unknown option, bad argument, DIR not usable),\n"
    "3 the detection or the capture failed\n";

int fail_usage(const char* message, const char* argument = nullptr) {
    std::fprintf(stderr, "vmd-detect: %s%s%s (try --help)\n", message, argument ? ": " : "",
                 argument ? argument : "");
    return exit_usage;
}

struct Options {
    const char* root = nullptr;
    const char* check = nullptr;
    const char* capture = nullptr;
    bool pretty = false;
    bool summary = false;
    bool help = false;
};

// Fills `options` or returns the exit status of a usage error.
int parse(int argc, char** argv, Options& options) {
    int modes = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const char** value = arg == "--root"      ? &options.root
                             : arg == "--check"   ? &options.check
                             : arg == "--capture" ? &options.capture
                                                  : nullptr;
        if (value != nullptr) {
            if (*value != nullptr) return fail_usage("option given twice", argv[i]);
            if (i + 1 >= argc) return fail_usage("option needs an argument", argv[i]);
            *value = argv[++i];
            if (arg != "--root") ++modes;
        } else if (arg == "--pretty" || arg == "--summary") {
            bool& flag = arg == "--pretty" ? options.pretty : options.summary;
            if (flag) return fail_usage("option given twice", argv[i]);
            flag = true;
            ++modes;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else {
            return fail_usage(arg.starts_with("-") ? "unknown option" : "unexpected argument",
                              argv[i]);
        }
    }
    if (modes > 1) {
        return fail_usage("--pretty, --summary, --check and --capture exclude each other");
    }
    if (options.check != nullptr && !check_kind_known(options.check)) {
        return fail_usage("--check takes vm, container, compat, cloud or host", options.check);
    }
    return exit_ok;
}

// The root prefix for the probes: DIR without trailing slashes, since every
// probe path begins with one.
bool root_prefix(const char* dir, std::string& root) {
    struct stat st {};
    root = dir;
    if (root.empty() || ::stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    while (!root.empty() && root.back() == '/') root.pop_back();
    return true;
}

int live_report(std::string& text) {
    char* report = nullptr;
    const int status = vmd_detect_json(&report);
    if (status != VMD_OK) {
        const char* what = status == VMD_OUT_OF_MEMORY      ? "out of memory"
                           : status == VMD_INVALID_ARGUMENT ? "invalid argument"
                                                            : "internal failure";
        std::fprintf(stderr, "vmd-detect: detection failed with status %d (%s)\n", status, what);
        return exit_failed;
    }
    text = report;
    vmd_free(report);
    return exit_ok;
}

// The report of the platform probes alone over a tree, timed like a live run.
std::string root_report(const std::string& root) {
    using clock = std::chrono::steady_clock;
    const clock::time_point start = clock::now();
    vmd::Result result;
    vmd::detect_linux(result, root);
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - start);
    return vmd::to_json(result, static_cast<std::int64_t>(elapsed.count() / 1000));
}

int run(const Options& options) {
    std::string root;
    if (options.root != nullptr && !root_prefix(options.root, root)) {
        return fail_usage("not a directory", options.root);
    }
    if (options.capture != nullptr) return capture(root, options.capture);

    std::string text;
    if (options.root != nullptr) {
        text = root_report(root);
    } else if (const int status = live_report(text); status != exit_ok) {
        return status;
    }

    if (options.pretty) {
        std::printf("%s\n", pretty(text).c_str());
        return exit_ok;
    }
    if (!options.summary && options.check == nullptr) {
        std::printf("%s\n", text.c_str());
        return exit_ok;
    }
    const std::optional<Json> report = parse_report(text);
    if (!report || report->kind != Json::Kind::object) {
        std::fprintf(stderr, "vmd-detect: the report cannot be read back\n");
        return exit_failed;
    }
    if (options.check != nullptr) return found(*report, options.check) ? exit_ok : exit_not_found;
    std::fputs(summary(*report).c_str(), stdout);
    return exit_ok;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int status = parse(argc, argv, options); status != exit_ok) return status;
    if (options.help) {
        std::fputs(usage, stdout);
        return exit_ok;
    }
    try {
        const int status = run(options);
        if (std::fflush(stdout) != 0) {
            std::fprintf(stderr, "vmd-detect: cannot write the output\n");
            return exit_failed;
        }
        return status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vmd-detect: %s\n", e.what());
        return exit_failed;
    }
}
