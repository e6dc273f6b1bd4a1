// The report writer over arbitrary Result contents, texts of any bytes and
// any length and weights of any value, whether or not a detector could make
// them: the report must be strict, compact, pure-ASCII JSON that gives back
// every text and number that went in, in order. vmd-detect's fleet formats
// of the same result must be what node_exporter and Kubernetes accept.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "cli.h"
#include "detection/report.h"
#include "fleet_formats.h"
#include "strict_json.h"

namespace {

// Mostly the words the assessment looks for, so that its every branch runs.
std::string word(FuzzedDataProvider& in, const std::vector<const char*>& words) {
    const auto pick = in.ConsumeIntegralInRange<std::size_t>(0, words.size());
    if (pick < words.size()) return words[pick];
    return in.ConsumeRandomLengthString(300);
}

const std::vector<const char*> sources = {"cpu",        "timing", "firmware",  "device_tree",
                                          "hypervisor", "system", "container", "compatibility"};
const std::vector<const char*> categories = {"guest",         "host",  "container",
                                             "compatibility", "cloud", "diagnostic"};
const std::vector<const char*> vendors = {"kvm", "xen", "hyperv", "unknown", "docker"};
const std::vector<const char*> statuses = {"ok", "unavailable", "error"};

void add_strings(std::vector<std::string>& out, const std::vector<std::string>& list) {
    for (const std::string& s : list) out.push_back("s" + s);
}

// The strings and numbers of the report, in the order to_json writes them.
std::vector<std::string> expected_tokens(const vmd::Result& result, std::int64_t duration) {
    const vmd::Assessment a = vmd::assess(result);
    std::vector<std::string> t = {"sschema_version", "n1",
                                  "smodule_version", "s1.0.0",
                                  "svm_score",       "n" + std::to_string(a.vm_score),
                                  "svm_likelihood",  "s" + a.vm_likelihood};
    t.push_back("shypervisors");
    add_strings(t, a.hypervisors);
    t.push_back("scontainers");
    add_strings(t, a.containers);
    t.push_back("scompatibility_layers");
    add_strings(t, a.compatibility_layers);
    t.push_back("shost_hypervisors");
    add_strings(t, a.host_hypervisors);
    t.push_back("scloud_providers");
    add_strings(t, a.cloud_providers);
    t.push_back("sevidence");
    for (const vmd::Evidence& e : result.evidence) {
        for (const std::string& s : std::initializer_list<std::string>{
                 "ssource", "s" + e.source, "scategory", "s" + e.category, "svendor",
                 "s" + e.vendor, "sweight", "n" + std::to_string(e.weight), "sdetail",
                 "s" + e.detail}) {
            t.push_back(s);
        }
    }
    t.push_back("sprobes");
    for (const vmd::Probe& p : result.probes) {
        for (const std::string& s : std::initializer_list<std::string>{"ssource", "s" + p.source,
                                                                       "sstatus", "s" + p.status}) {
            t.push_back(s);
        }
    }
    t.push_back("sduration_us");
    t.push_back("n" + std::to_string(duration));
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto duration = in.ConsumeIntegral<std::int64_t>();
    vmd::Result result;
    while (in.remaining_bytes() > 0 && result.evidence.size() + result.probes.size() < 200) {
        switch (in.ConsumeIntegralInRange(0, 2)) {
            case 0: {  // through add: cut and de-duplicated
                const std::string source = word(in, sources);
                const std::string category = word(in, categories);
                const std::string vendor = word(in, vendors);
                const auto weight = in.ConsumeIntegral<std::int32_t>();
                result.add(source, category, vendor, weight, in.ConsumeRandomLengthString(400));
                break;
            }
            case 1: {  // straight into the list: anything a Result can hold
                vmd::Evidence e;
                e.source = word(in, sources);
                e.category = word(in, categories);
                e.vendor = word(in, vendors);
                e.weight = in.ConsumeIntegral<std::int32_t>();
                e.detail = in.ConsumeRandomLengthString(400);
                result.evidence.push_back(e);
                break;
            }
            default:
                result.probe(word(in, sources), word(in, statuses));
                break;
        }
    }

    const std::string report = vmd::to_json(result, duration);
    fuzz::StrictJson json;
    FUZZ_CHECK(json.parse(report));
    FUZZ_CHECK(json.tokens == expected_tokens(result, duration));

    const vmd::Assessment a = vmd::assess(result);
    FUZZ_CHECK(a.vm_score >= 0);

    FUZZ_CHECK(fuzz::valid_exposition(vmd::cli::prometheus(vmd::Run{result, duration}, a)));
    FUZZ_CHECK(fuzz::valid_labels(vmd::cli::nfd(a), "vm-detection.feature.node.kubernetes.io/"));
    return 0;
}
