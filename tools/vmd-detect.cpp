// vmd-detect: prints this machine's detection report, or replays a machine
// captured elsewhere, or captures one; or keeps a file up to date.
#include <getopt.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "cli.h"
#include "vm_detection.h"

namespace {

using namespace vmd::cli;

const char usage[] =
    "usage: vmd-detect [--root DIR | --host-root DIR] [--format FORMAT | --pretty | --summary]\n"
    "                  [--output FILE [--interval SECONDS]]\n"
    "       vmd-detect [--root DIR | --host-root DIR] --check KIND | --capture DIR\n"
    "       vmd-detect --help | --version\n"
    "\n"
    "Tells whether this process runs in a virtual machine (and under which\n"
    "hypervisor), in a container, under WSL or on a cloud instance, with the\n"
    "evidence. Without options it prints the report as one line of JSON.\n"
    "\n"
    "  --root DIR       replay a machine captured into DIR: every probe reads\n"
    "                   its files beneath DIR instead of /, and the processor\n"
    "                   probes use the facts in DIR/processor. Without that\n"
    "                   file only the platform probes run\n"
    "  --host-root DIR  read the platform files of a live system whose root is\n"
    "                   mounted at DIR (a node's / in a pod): every probe reads\n"
    "                   beneath DIR, links resolve there as if DIR were /, none\n"
    "                   leads out, and the processor probes ask this processor\n"
    "  --format FORMAT  json (the report, the default), prometheus (metrics for\n"
    "                   node_exporter's textfile collector), nfd (Kubernetes node\n"
    "                   labels for Node Feature Discovery's features.d), pretty\n"
    "                   or summary (as the two options below)\n"
    "  --pretty         print the report indented for reading\n"
    "  --summary        print a short account: the verdict, what was found, the\n"
    "                   evidence and the probes\n"
    "  --output FILE    write to FILE instead of standard output: to a new file\n"
    "                   beside it, then renamed over it, so that readers see the\n"
    "                   old contents or the new, never a part; mode 0644. A link\n"
    "                   is followed to the file it names, which is replaced in\n"
    "                   its own directory; a directory, FIFO, socket or device is\n"
    "                   refused. On a failure FILE is left as it was\n"
    "  --interval SECONDS\n"
    "                   with --output: write FILE, then again every SECONDS (a\n"
    "                   whole number, at least 1) until SIGTERM, SIGINT or\n"
    "                   SIGHUP, then exit 0. A failed round is reported and the\n"
    "                   next one tries again; a failed first round, or three in\n"
    "                   a row, exit 3. With --format nfd each file starts with\n"
    "                   Node Feature Discovery's expiry, three intervals on, so\n"
    "                   that the labels vanish when the writer stops; in any\n"
    "                   other format the stop removes the file last written,\n"
    "                   if it is still there\n"
    "  --check KIND     print nothing; exit 0 when KIND was found, 1 when not.\n"
    "                   KIND is vm (likely or very likely a virtual machine),\n"
    "                   container, compat (a compatibility layer such as WSL),\n"
    "                   cloud or host (this is a hypervisor's host side)\n"
    "  --capture DIR    record this machine (or the --root tree) into DIR, which\n"
    "                   must be new, empty or hold only an earlier capture (then\n"
    "                   replaced): every file the probes read, the processor\n"
    "                   facts (DIR/processor) and the report of that moment\n"
    "                   (DIR/report.json), so that --root DIR replays it\n"
    "                   elsewhere. A capture can hold machine identifiers (board\n"
    "                   names, asset tags, container ids): look at it before you\n"
    "                   share it\n"
    "  --help           show this help\n"
    "  -V, --version    print \"vmd-detect\" and the version, one line\n"
    "\n"
    "Options take their value as --root DIR or --root=DIR; -- ends the options.\n"
    "\n"
    "exit status: 0 done (for --check: found), 1 --check: not found,\n"
    "2 usage error (unknown option, bad argument, DIR not usable, a malformed\n"
    "DIR/processor), 3 the detection, the capture or writing FILE failed (with\n"
    "--interval: the first round, or three in a row)\n";

int fail_usage(std::string_view message, const char* argument = nullptr) {
    std::fprintf(stderr, "vmd-detect: %.*s%s%s (try --help)\n", static_cast<int>(message.size()),
                 message.data(), argument ? ": " : "", argument ? argument : "");
    return exit_usage;
}

enum class Format { json, pretty, summary, prometheus, nfd };

constexpr std::pair<std::string_view, Format> formats[] = {
    {"json", Format::json},     {"prometheus", Format::prometheus}, {"nfd", Format::nfd},
    {"pretty", Format::pretty}, {"summary", Format::summary},
};

struct Options {
    const char* root = nullptr;
    const char* host_root = nullptr;
    const char* interval_text = nullptr;
    long interval = 0;  // seconds; 0: one run
    const char* check = nullptr;
    const char* capture = nullptr;
    const char* format = nullptr;
    const char* output = nullptr;
    Format chosen = Format::json;
    bool help = false;
    bool version = false;
};

// A whole number of seconds, 1 to 2^31 - 1: digits only.
bool seconds(std::string_view text, long& value) {
    if (text.empty() || text.size() > 10) return false;
    long long n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    if (n < 1 || n > 2147483647) return false;
    value = static_cast<long>(n);
    return true;
}

// Fills `options` or returns the exit status of a usage error.
int parse(int argc, char** argv, Options& options) {
    enum : int { root = 1, host_root, pretty, summary, check, capture, format, output, interval };
    static const option long_options[] = {
        {"root", required_argument, nullptr, root},
        {"host-root", required_argument, nullptr, host_root},
        {"interval", required_argument, nullptr, interval},
        {"format", required_argument, nullptr, format},
        {"pretty", no_argument, nullptr, pretty},
        {"summary", no_argument, nullptr, summary},
        {"output", required_argument, nullptr, output},
        {"check", required_argument, nullptr, check},
        {"capture", required_argument, nullptr, capture},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;  // the messages below say more
    int modes = 0;
    bool pretty_given = false;
    bool summary_given = false;
    for (;;) {
        const int previous = optind;
        const int c = getopt_long(argc, argv, ":hV", long_options, nullptr);
        if (c == -1) break;
        // The word as given, for messages: "--root" or "--root=DIR".
        const char* given = argv[previous < argc ? previous : argc - 1];
        const char** value = c == root        ? &options.root
                             : c == host_root ? &options.host_root
                             : c == check     ? &options.check
                             : c == capture   ? &options.capture
                             : c == format    ? &options.format
                             : c == output    ? &options.output
                             : c == interval  ? &options.interval_text
                                              : nullptr;
        if (value != nullptr) {
            if (*value != nullptr) return fail_usage("option given twice", given);
            *value = optarg;
            if (c != root && c != host_root && c != output && c != interval) ++modes;
        } else if (c == pretty || c == summary) {
            bool& flag = c == pretty ? pretty_given : summary_given;
            if (flag) return fail_usage("option given twice", given);
            flag = true;
            options.chosen = c == pretty ? Format::pretty : Format::summary;
            ++modes;
        } else if (c == 'h') {
            options.help = true;
        } else if (c == 'V') {
            options.version = true;
        } else if (c == ':') {
            return fail_usage("option needs an argument", given);
        } else {
            return fail_usage("unknown option", given);
        }
    }
    if (optind < argc) return fail_usage("unexpected argument", argv[optind]);
    if (modes > 1) {
        return fail_usage(
            "--format, --pretty, --summary, --check and --capture exclude each other");
    }
    if (options.output != nullptr && (options.check != nullptr || options.capture != nullptr)) {
        return fail_usage("--output does not go with --check or --capture");
    }
    if (options.output != nullptr && *options.output == '\0') {
        return fail_usage("--output needs a file name");
    }
    if (options.root != nullptr && options.host_root != nullptr) {
        return fail_usage("--root and --host-root exclude each other");
    }
    if (options.interval_text != nullptr) {
        if (options.output == nullptr) return fail_usage("--interval needs --output");
        if (!seconds(options.interval_text, options.interval)) {
            return fail_usage("--interval takes a whole number of seconds from 1 to 2147483647",
                              options.interval_text);
        }
    }
    if (options.check != nullptr && !check_kind_known(options.check)) {
        return fail_usage("--check takes vm, container, compat, cloud or host", options.check);
    }
    if (options.format != nullptr) {
        const auto known = std::find_if(std::begin(formats), std::end(formats),
                                        [&](const auto& f) { return f.first == options.format; });
        if (known == std::end(formats)) {
            std::string takes = "--format takes one of";
            for (const auto& f : formats) takes.append(&f == formats ? " " : ", ").append(f.first);
            return fail_usage(takes, options.format);
        }
        options.chosen = known->second;
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

// The output of every format, ending in a newline. `expiry`: the time after
// which NFD is to drop the labels, or 0.
std::string render(Format format, const vmd::Run& run, bool platform_only, std::time_t expiry = 0) {
    switch (format) {
        case Format::summary:
            return summary(run, vmd::assess(run.result), platform_only);
        case Format::prometheus:
            return prometheus(run, vmd::assess(run.result));
        case Format::nfd:
            return nfd(vmd::assess(run.result), expiry != 0 ? nfd_expiry(expiry) : std::string());
        case Format::pretty:
            return pretty(vmd::to_json(run.result, run.duration_us)) + "\n";
        case Format::json:
            break;
    }
    return vmd::to_json(run.result, run.duration_us) + "\n";
}

// An nfd file expires this many intervals after it was written, and repeat
// mode gives up after as many failed rounds in a row: the labels of the last
// good round then expire as the writer ends, and a restarted writer gets
// them back. Three lets one or two rounds fail, a directory briefly
// missing, without the labels going.
constexpr int rounds_to_expiry = 3;

// One round of --interval: true when the file was written; a failure is
// told, unless a stop signal cut the round short.
bool write_round(const Options& options, const vmd::Machine& machine, WrittenFile& written) {
    try {
        const vmd::Run run = vmd::detect(machine);
        const std::time_t expiry =
            std::time(nullptr) + rounds_to_expiry * static_cast<std::time_t>(options.interval);
        const std::string text = render(options.chosen, run, machine.platform_only, expiry);
        std::string error;
        if (write_file(options.output, text, error, &written)) return true;
        if (stop_signal == 0) {
            std::fprintf(stderr, "vmd-detect: cannot write %s: %s\n", options.output,
                         error.c_str());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vmd-detect: %s\n", e.what());
    }
    return false;
}

// Repeat mode ends by a stop signal: a file without an expiry of its own
// goes with its writer, so that nothing goes on reporting for a writer that
// is gone; an nfd file stays, its labels living through a restart until
// they expire. Only this writer's last file goes, and only if it is still
// in place: a newer writer's file stays.
int stopped(const Options& options, const WrittenFile& written) {
    std::string error;
    if (options.chosen != Format::nfd && !written.path.empty() && !remove_written(written, error)) {
        std::fprintf(stderr, "vmd-detect: cannot remove %s: %s\n", written.path.c_str(),
                     error.c_str());
    }
    return exit_ok;
}

timespec monotonic_now() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// --interval: a round every `interval` seconds, on a steady beat, until a
// stop signal (exit 0) or until rounds fail (exit 3): the first round, since
// nothing was ever written and a wrong path had better show at once, or
// rounds_to_expiry rounds in a row, so that a supervisor shows the writer
// failing and restarts it.
int repeat(const Options& options, const vmd::Machine& machine) {
    sigset_t stops;
    sigset_t unblocked;
    sigemptyset(&stops);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stops, signal);
    WrittenFile written;  // the last file this process put in place
    int failed = 0;       // rounds in a row
    timespec next = monotonic_now();
    for (;;) {
        const bool ok = write_round(options, machine, written);
        if (stop_signal != 0) return stopped(options, written);
        failed = ok ? 0 : failed + 1;
        if (failed != 0 && written.path.empty()) {
            std::fprintf(stderr, "vmd-detect: giving up: the first round failed\n");
            return exit_failed;
        }
        if (failed == rounds_to_expiry) {
            std::fprintf(stderr, "vmd-detect: giving up: %d rounds in a row failed\n",
                         rounds_to_expiry);
            return exit_failed;
        }
        next.tv_sec += options.interval;
        // Blocked between the test of stop_signal and the wait, a stop
        // cannot arrive in between and be slept through: ppoll lets it in
        // only while it waits, and returns at once for it.
        ::sigprocmask(SIG_BLOCK, &stops, &unblocked);
        for (;;) {
            if (stop_signal != 0) return stopped(options, written);
            const timespec now = monotonic_now();
            if (now.tv_sec > next.tv_sec ||
                (now.tv_sec == next.tv_sec && now.tv_nsec >= next.tv_nsec)) {
                break;
            }
            timespec left{next.tv_sec - now.tv_sec, next.tv_nsec - now.tv_nsec};
            if (left.tv_nsec < 0) {
                left.tv_nsec += 1000000000;
                --left.tv_sec;
            }
            ::ppoll(nullptr, 0, &left, &unblocked);
        }
        ::sigprocmask(SIG_SETMASK, &unblocked, nullptr);
        // A round that overran its interval: the next beat starts from now.
        const timespec now = monotonic_now();
        if (now.tv_sec > next.tv_sec) next = now;
    }
}

int run(const Options& options) {
    vmd::Machine machine;  // this machine, live
    if (options.root != nullptr) {
        std::string root;
        if (!root_prefix(options.root, root)) return fail_usage("not a directory", options.root);
        std::string message;
        if (!machine_of_tree(root, machine, message)) {
            std::fprintf(stderr, "vmd-detect: %s\n", message.c_str());
            return exit_usage;
        }
    }
    if (options.host_root != nullptr) {
        // The platform files of a live system, its links confined beneath
        // DIR; the processor is this one.
        if (!root_prefix(options.host_root, machine.root)) {
            return fail_usage("not a directory", options.host_root);
        }
        machine.confined = true;
    }
    if (options.capture != nullptr) return capture(machine, options.capture);
    if (options.interval != 0) return repeat(options, machine);

    const vmd::Run run = vmd::detect(machine);
    if (options.check != nullptr) {
        return found(vmd::assess(run.result), options.check) ? exit_ok : exit_not_found;
    }
    const std::string text = render(options.chosen, run, machine.platform_only);
    if (options.output == nullptr) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return exit_ok;
    }
    std::string error;
    if (!write_file(options.output, text, error)) {
        std::fprintf(stderr, "vmd-detect: cannot write %s: %s\n", options.output, error.c_str());
        return exit_failed;
    }
    return exit_ok;
}

}  // namespace

// What went to standard output must have got there: a full disk or a closed
// pipe is a failure, not a silent success.
int flushed(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "vmd-detect: cannot write the output\n");
        return exit_failed;
    }
    return status;
}

int main(int argc, char** argv) {
    Options options;
    if (const int status = parse(argc, argv, options); status != exit_ok) return status;
    if (options.help) {
        std::fputs(usage, stdout);
        return flushed(exit_ok);
    }
    if (options.version) {
        std::printf("vmd-detect %s\n", vmd_version());
        return flushed(exit_ok);
    }
    // A stop signal while FILE is written removes the temporary file; the
    // process then ends by that signal, as it would have.
    if (options.output != nullptr) catch_stop_signals();
    try {
        const int status = flushed(run(options));
        // Repeat mode ends by a stop signal as it is meant to: exit 0.
        if (stop_signal != 0 && options.interval == 0) {
            std::signal(stop_signal, SIG_DFL);
            std::raise(stop_signal);
        }
        return status;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "vmd-detect: out of memory\n");
        return exit_failed;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vmd-detect: %s\n", e.what());
        return exit_failed;
    }
}
