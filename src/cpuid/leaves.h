// The processor identification instruction as a source of leaves: leaf and
// subleaf in, four registers out. A live run asks the instruction itself; a
// replay, and the tests, ask a table of leaves recorded on some machine.
#pragma once

#include <cstdint>
#include <vector>

namespace vmd {

struct Registers {
    std::uint32_t eax = 0;
    std::uint32_t ebx = 0;
    std::uint32_t ecx = 0;
    std::uint32_t edx = 0;

    bool operator==(const Registers&) const = default;
};

// One recorded answer of the instruction.
struct Leaf {
    std::uint32_t leaf = 0;
    std::uint32_t subleaf = 0;
    Registers registers;

    bool operator==(const Leaf&) const = default;
};

// Where leaves come from. A null `query` stands for a processor without a
// usable identification instruction; `context` is the source's own.
struct LeafSource {
    Registers (*query)(const void* context, std::uint32_t leaf, std::uint32_t subleaf) = nullptr;
    const void* context = nullptr;
};

// Whether this thread may execute the identification instruction: false on
// processors without it and where the process has made it fault.
bool cpuid_usable();

// This processor's own instruction; no query where it cannot be executed.
LeafSource instruction_leaves();

// A recorded table, which must outlive the source. A leaf it lacks reads as
// four zero registers; an empty table is a processor without the
// instruction.
LeafSource table_leaves(const std::vector<Leaf>& table);

}  // namespace vmd
