// Hypervisor identification through the processor's identification
// instruction.
#pragma once

#include <string>

#include "detection/result.h"

namespace vmd {

// What the identification interface reports. Signatures are held without
// the NUL bytes that pad a short one to twelve.
struct Cpu {
    bool available = false;
    bool hypervisor = false;
    bool root_partition = false;
    std::string signature;
    std::string kvm_signature;
};

// Whether this thread may execute the identification instruction: false on
// processors without it and where the process has made it fault.
bool cpuid_usable();

// Queries the processor; the empty record where the instruction cannot be
// executed.
Cpu read_cpu();

// Records the "cpu" probe and what the record says about a hypervisor.
void detect_cpu(Result& result, const Cpu& cpu);

}  // namespace vmd
