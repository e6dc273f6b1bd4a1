// The processor file of a capture, which may come from anyone: any bytes are
// either refused with a line inside the text or read whole; what is read is
// written back to the same facts, and replaying them gives a sound report.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "check.h"
#include "cli.h"
#include "cpuid/cpu.h"
#include "detection/report.h"
#include "strict_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vmd::Processor processor;
    vmd::cli::ParseError error;
    if (!vmd::cli::parse_processor(text, processor, error)) {
        const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
        FUZZ_CHECK(error.line >= 1 && error.line <= lines + 1);
        FUZZ_CHECK(!error.message.empty());
        return 0;
    }
    vmd::Processor again;
    FUZZ_CHECK(vmd::cli::parse_processor(vmd::cli::write_processor(processor), again, error));
    FUZZ_CHECK(again.leaves == processor.leaves);
    FUZZ_CHECK(again.timing.available == processor.timing.available);
    FUZZ_CHECK(again.timing.measured == processor.timing.measured);
    FUZZ_CHECK(again.timing.cycles_over_baseline == processor.timing.cycles_over_baseline);

    vmd::Result result;
    vmd::detect_cpu(result, vmd::decode_cpu(vmd::table_leaves(processor.leaves)));
    vmd::detect_timing(result, processor.timing);
    FUZZ_CHECK(result.probes.size() == 2);
    fuzz::StrictJson json;
    FUZZ_CHECK(json.parse(vmd::to_json(result, 0)));
    return 0;
}
