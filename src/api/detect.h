// The detection run: every detector in its fixed order over one source of
// machine facts. The library's entry point, `vmd-detect` and the tests all
// run it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cpuid/leaves.h"
#include "detection/result.h"
#include "linux/probe_file.h"
#include "timing/timing.h"

namespace vmd {

// Processor facts recorded on some machine: every identification leaf the
// decoding asked for (none: no identification instruction) and the timing
// figure.
struct Processor {
    std::vector<Leaf> leaves;
    Timing timing;
};

// The facts a run reads. The default is this machine, live.
struct Machine {
    // Put before every probe path; empty for the real file system.
    std::string root;
    // Links beneath `root` resolve as if it were "/", and none leads out (see
    // Root): for a live system's root and for a capture alike.
    bool confined = false;
    // Recorded processor facts; this processor's own when empty.
    std::optional<Processor> processor;
    // For a tree without processor facts: only the platform probes run.
    bool platform_only = false;
};

struct Run {
    Result result;
    std::int64_t duration_us = 0;  // the probes' time, not the report's
};

// Runs every platform probe beneath `root`.
void detect_platform(Result& result, Root root);

Run detect(const Machine& machine);

}  // namespace vmd
