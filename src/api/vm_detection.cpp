// The library's only exported functions. No exception may cross this
// boundary: every failure becomes a status code and a null report.
#include "vm_detection.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "api/detect.h"
#include "detection/report.h"

#define VMD_EXPORT __attribute__((visibility("default")))

extern "C" VMD_EXPORT int vmd_detect_json(char** out) {
    if (out == nullptr) return VMD_INVALID_ARGUMENT;
    *out = nullptr;
    try {
        const std::string report = [] {
            const vmd::Run run = vmd::detect(vmd::Machine{});
            return vmd::to_json(run.result, run.duration_us);
        }();
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
