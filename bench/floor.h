// What a detection run cannot do without: the same system calls on the same
// paths, and the same identification instructions, with nothing else.
#pragma once

#include <cstdint>

namespace vmd::bench {

// Opens, fstats, reads to the end, closes and stats exactly what
// detect_platform does on this machine, in the same order and with the same
// read sizes, into one preallocated buffer; parses nothing, records nothing.
// Returns the number of bytes read.
std::uint64_t floor_system_calls();

// The identification instructions read_cpu and measure_timing execute on
// this processor, with the system calls that guard them and without the
// cycle-counter reads. Each returns how many instructions it ran.
int floor_cpu_probe();
int floor_timing_probe();
int floor_identification();

// A whole run's floor, in the run's order: processor identification, the
// probe files, then the timing probe's instructions.
void floor_whole_run();

}  // namespace vmd::bench
