// The cloud matcher over arbitrary text: only "cloud" findings of weight 0,
// each for a marker contained in the lower-cased text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "firmware/markers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view value(reinterpret_cast<const char*>(data), size);
    const std::string folded = vmd::lower(value);
    vmd::Result result;
    vmd::firmware_cloud_marker(result, "firmware", value);

    FUZZ_CHECK(result.probes.empty());
    FUZZ_CHECK(result.evidence.size() <= 5);
    for (const vmd::Evidence& e : result.evidence) {
        FUZZ_CHECK(e.source == "firmware" && e.category == "cloud" && e.weight == 0);
        FUZZ_CHECK(vmd::contains(folded, e.detail));
    }
    return 0;
}
