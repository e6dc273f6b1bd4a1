// The SMBIOS walk over arbitrary bytes: it records exactly one "firmware"
// probe after whatever evidence the structures gave.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "check.h"
#include "firmware/smbios.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    vmd::Result result;
    vmd::smbios(result, bytes);

    FUZZ_CHECK(result.probes.size() == 1);
    const vmd::Probe& probe = result.probes.front();
    FUZZ_CHECK(probe.source == "firmware");
    FUZZ_CHECK(probe.status == "ok" || probe.status == "error");
    if (size == 0) FUZZ_CHECK(probe.status == "error");
    for (const vmd::Evidence& e : result.evidence) {
        FUZZ_CHECK(e.source == "firmware");
        FUZZ_CHECK(e.category == "guest" || e.category == "cloud");
        FUZZ_CHECK(e.detail.size() <= vmd::max_detail);
    }
    return 0;
}
