// The product matcher over arbitrary text: every finding names a marker that
// is in the lower-cased text, and a second call adds nothing.
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
    vmd::firmware_marker(result, "device_tree", value);
    const std::size_t found = result.evidence.size();

    FUZZ_CHECK(result.probes.empty());
    for (const vmd::Evidence& e : result.evidence) {
        FUZZ_CHECK(e.source == "device_tree");
        if (e.category == "guest" && e.weight == 80) {
            FUZZ_CHECK(e.vendor == "unknown" && folded == "virtual machine");
        } else {
            FUZZ_CHECK((e.category == "guest" && e.weight == 85) ||
                       (e.category == "cloud" && e.weight == 0));
            FUZZ_CHECK(!e.vendor.empty() && e.vendor != "unknown");
            FUZZ_CHECK(vmd::contains(folded, e.detail));
        }
    }
    vmd::firmware_marker(result, "device_tree", value);
    FUZZ_CHECK(result.evidence.size() == found);
    return 0;
}
