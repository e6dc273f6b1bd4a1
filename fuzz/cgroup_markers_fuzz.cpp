// The cgroup scan over arbitrary text: only the four runtime words, each at
// most once, and only when the text names it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "check.h"
#include "linux/groups.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vmd::Result result;
    vmd::cgroup_markers(result, text);

    FUZZ_CHECK(result.probes.empty());
    FUZZ_CHECK(result.evidence.size() <= 4);
    for (const vmd::Evidence& e : result.evidence) {
        FUZZ_CHECK(e.source == "container" && e.category == "container" && e.weight == 0);
        FUZZ_CHECK(e.detail == "current process cgroup");
        std::string_view named = e.vendor;
        if (named == "podman") named = "libpod";
        FUZZ_CHECK(named == "docker" || named == "libpod" || named == "lxc" || named == "kubepods");
        FUZZ_CHECK(vmd::contains(text, named));
        // A finding needs a line with two colons and a path.
        FUZZ_CHECK(vmd::contains(text, ":/"));
    }
    return 0;
}
