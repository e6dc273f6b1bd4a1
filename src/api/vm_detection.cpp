// The library's only exported functions. No exception may cross this
// boundary: every failure becomes a status code and a null report.
#include "vm_detection.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "api/platform.h"
#include "cpuid/cpu.h"
#include "detection/report.h"
#include "timing/timing.h"

#define VMD_EXPORT __attribute__((visibility("default")))

namespace {

std::string run() {
    using clock = std::chrono::steady_clock;
    const clock::time_point start = clock::now();
    vmd::Result result;
    vmd::detect_cpu(result, vmd::read_cpu());
    vmd::detect_platform(result);
    vmd::detect_timing(result, vmd::measure_timing());
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - start);
    return vmd::to_json(result, static_cast<std::int64_t>(elapsed.count() / 1000));
}

}  // namespace

extern "C" VMD_EXPORT int vmd_detect_json(char** out) {
    if (out == nullptr) return VMD_INVALID_ARGUMENT;
    *out = nullptr;
    try {
        const std::string report = run();
        char* block = static_cast<char*>(std::malloc(report.size() + 1));
        if (block == nullptr) return VMD_OUT_OF_MEMORY;
        std::memcpy(block, report.c_str(), report.size() + 1);
        *out = block;
        return VMD_OK;
    } catch (const std::bad_alloc&) {
        return VMD_OUT_OF_MEMORY;
    } catch (...) {
        return VMD_INTERNAL_ERROR;
    }
}

extern "C" VMD_EXPORT void vmd_free(char* report) { std::free(report); }

extern "C" VMD_EXPORT const char* vmd_version(void) { return vmd::module_version; }
