// Inputs for the stage benchmarks, shaped like what a real machine shows.
#pragma once

#include <string>

#include "detection/result.h"
#include "support/tree.h"

namespace vmd::bench {

// Writes the probe files of a Kubernetes worker on a cloud instance into
// the tree, beneath `under` (a path in it, or empty for its top).
void fill_kubernetes_node(const test::Tree& tree, const std::string& under = "");

// The same node beneath /real, with /sys, /proc and /run each a chain of
// forty links padded to PATH_MAX that leads there: a tree built to make a
// confined run as slow as links allow.
void fill_slow_link_node(const test::Tree& tree);

// The trees the stage benchmarks read, built by main before they run.
extern const test::Tree* probe_tree;
extern const test::Tree* slow_link_tree;

// A whole SMBIOS structure table as firmware lays it out: BIOS, system,
// baseboard, enclosure, processors, caches, slots, memory and end of table.
std::string smbios_table();

// The BIOS Information structure alone, as the kernel exposes it.
std::string smbios_bios_structure();

// /proc/self/cgroup text of about 64 KiB: many version-1 hierarchies whose
// paths are those of pods, containers and system services.
std::string large_cgroup_text();

// A filled-in result: 40 pieces of evidence from every source and a probe
// list as long as a real run's.
Result result_with_evidence();

}  // namespace vmd::bench
