// Hypervisor identification through the processor's identification
// instruction.
#pragma once

#include <string>

#include "cpuid/leaves.h"
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

// What the leaves say about a hypervisor; the empty record where the source
// has no instruction. Asks each leaf it needs once.
Cpu decode_cpu(const LeafSource& leaves);

// This processor's own record; the empty one where the instruction cannot be
// executed.
Cpu read_cpu();

// Records the "cpu" probe and what the record says about a hypervisor.
void detect_cpu(Result& result, const Cpu& cpu);

}  // namespace vmd
