// The same from C++: the report is owned by a unique_ptr that frees it with
// vmd_free.
#include <iostream>
#include <memory>
#include <string_view>

#include <vm_detection.h>

int main() {
    char* raw = nullptr;
    if (vmd_detect_json(&raw) != VMD_OK) return 1;
    const std::unique_ptr<char, decltype(&vmd_free)> report(raw, &vmd_free);
    const std::string_view text = report.get();
    std::cout << text << '\n';
    return text.find("\"vm_likelihood\":") == std::string_view::npos ? 1 : 0;
}
