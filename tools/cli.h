// The pieces of vmd-detect: the processor file of a capture, capturing a
// machine, and the report for people and for --check.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "api/detect.h"
#include "detection/report.h"

namespace vmd::cli {

inline constexpr int exit_ok = 0;
inline constexpr int exit_not_found = 1;
inline constexpr int exit_usage = 2;
inline constexpr int exit_failed = 3;

// The processor file at the top of a capture: plain text that people can
// read and write.
//
//   vmd-processor 1
//   # comment lines and blank lines are ignored
//   cpuid LEAF SUBLEAF EAX EBX ECX EDX        (hexadecimal, 0x and 1 to 8 digits)
//   timing AVAILABLE MEASURED CYCLES          (0 or 1, 0 or 1, decimal)
inline constexpr const char* processor_file = "/processor";
inline constexpr std::uint64_t processor_file_limit = 65536;

// The report's five vendor lists and what each is called in vmd-detect's
// outputs, in the report's order. An empty name: the output leaves the list
// out (the hypervisors have the verdict line and --check vm instead;
// containers make no node labels, since in a pod they describe the pod).
struct VendorList {
    std::vector<std::string> Assessment::*list;
    std::string_view check;       // --check KIND
    std::string_view title;       // --summary line
    std::string_view kind;        // Prometheus label kind=
    std::string_view label_head;  // NFD label name before the vendor
};
// clang-format off
inline constexpr VendorList vendor_lists[] = {
    {&Assessment::hypervisors,          "",          "",                     "hypervisor",          "hypervisor."},
    {&Assessment::containers,           "container", "containers",           "container",           ""},
    {&Assessment::compatibility_layers, "compat",    "compatibility layers", "compatibility_layer", "compatibility-layer."},
    {&Assessment::host_hypervisors,     "host",      "host hypervisors",     "host_hypervisor",     "host-hypervisor."},
    {&Assessment::cloud_providers,      "cloud",     "cloud providers",      "cloud_provider",      "cloud."},
};
// clang-format on

struct ParseError {
    std::size_t line = 0;  // 1 for the first line
    std::string message;
};

// Reads the whole text or nothing: false, with `error` saying where and
// why, for anything but a well-formed file.
bool parse_processor(std::string_view text, Processor& out, ParseError& error);

std::string write_processor(const Processor& processor);

// The machine that `--root DIR` (root: DIR without trailing slashes, or
// empty for the real file system) stands for: with the recorded processor
// when DIR holds a processor file, else the platform probes only. False,
// with a message for the user, when that file cannot be read or parsed.
bool machine_of_tree(const std::string& root, Machine& machine, std::string& message);

// Records `source` into the directory `dir`, new, empty or holding an
// earlier capture (which is replaced; anything else there is refused):
// every probe file, the processor facts (unless the source is platform
// only) and the report of the same moment. Returns an exit status; explains
// any failure on stderr.
int capture(const Machine& source, const char* dir);

// A text from the report for a terminal or a label: control bytes, DEL,
// bytes above 0x7f and the backslash are shown as escapes (\xNN, \\), so
// nothing raw gets through and the result is ASCII.
std::string shown(std::string_view text);

// The report as a short account for people, ending in a newline.
std::string summary(const Run& run, const Assessment& assessment, bool platform_only);

// The compact report indented by two spaces per level, member order
// unchanged; no trailing newline.
std::string pretty(std::string_view report);

// The run in the Prometheus text format, for node_exporter's textfile
// collector: the verdict, the score, one series per vendor found, the
// probes by status and the duration. Always ASCII.
std::string prometheus(const Run& run, const Assessment& assessment);

// A Node Feature Discovery feature file: one valid Kubernetes label per
// line, under the prefix vm-detection.feature.node.kubernetes.io/, the whole
// under 64 KiB. Containers are left out: they describe the pod, not the node.
// `head`, if any, goes before the first label and counts towards the size.
std::string nfd(const Assessment& assessment, std::string_view head = {});

// Node Feature Discovery's expiry directive for a feature file, as its first
// line: "# +expiry-time=" and the time `at` in RFC 3339, UTC. NFD drops the
// file's labels after that time, so they vanish when no writer refreshes
// the file. Empty for a time whose year has not four digits. Reads neither
// $TZ nor /etc/localtime.
std::string nfd_expiry(std::time_t at);

// A file that write_file put in place: the path it was renamed to (the end
// of the links) and which file it is.
struct WrittenFile {
    std::string path;  // empty: none
    dev_t device = 0;
    ino_t inode = 0;
};

// Replaces the file at `path` with `text` in one rename, mode 0644; on
// failure the file is as it was, no temporary file is left, and `error`
// says why. A link is followed to the regular file it finally names, which
// is replaced in its own directory; anything else that is not a regular
// file (a directory, FIFO, socket or device) is refused and left as it is.
// On success `written`, if given, tells the file now in place.
bool write_file(const std::string& path, std::string_view text, std::string& error,
                WrittenFile* written = nullptr);

// Removes the file that write_file put in place if it is still that file
// at that path; leaves anything else, such as a newer writer's file. False,
// with `error`, when it was there and could not be removed, or could not
// be looked at (it may be that file).
bool remove_written(const WrittenFile& written, std::string& error);

// The number of the first SIGTERM, SIGINT or SIGHUP that arrived after
// catch_stop_signals(), or 0.
extern volatile std::sig_atomic_t stop_signal;

// Lets those three signals set stop_signal instead of ending the process,
// and interrupt a blocking call, so that write_file abandons a file being
// written and removes its temporary file; the caller then ends.
void catch_stop_signals();

// Whether the assessment found the kind named by --check ("vm", "container",
// "compat", "cloud", "host"); false for any other word.
bool check_kind_known(std::string_view kind);
bool found(const Assessment& assessment, std::string_view kind);

}  // namespace vmd::cli
