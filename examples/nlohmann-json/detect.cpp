// Prints the verdict, the vendor lists and the evidence of this machine's
// report, read with nlohmann/json; given a file, it reads the report that
// vmd-detect wrote there instead of running a detection.
#include <cstddef>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include <vm_detection.h>
#include <nlohmann/json.hpp>

namespace {

// The report writes each byte outside printable ASCII as \u00XX, which
// nlohmann/json reads as the character U+00XX and stores in UTF-8 (two
// bytes from 0x80 on). This gives back the one byte each character stands
// for: "\u00c3\u00a9" is the two bytes of "é" in UTF-8, not four.
std::string bytes_of(const std::string& utf8) {
    std::string bytes;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            bytes += static_cast<char>(lead);
        } else if ((lead == 0xc2 || lead == 0xc3) && i + 1 < utf8.size()) {
            const auto next = static_cast<unsigned char>(utf8[++i]);
            bytes += static_cast<char>(((lead & 0x03U) << 6U) | (next & 0x3fU));
        } else {
            throw std::runtime_error("a character above U+00FF in a report string");
        }
    }
    return bytes;
}

std::string report_text(int argc, char** argv) {
    if (argc > 1) {
        std::ifstream file(argv[1], std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        if (!file) throw std::runtime_error(std::string("cannot read ") + argv[1]);
        return text.str();
    }
    char* raw = nullptr;
    const int status = vmd_detect_json(&raw);
    if (status != VMD_OK) {
        throw std::runtime_error("vmd_detect_json failed with status " + std::to_string(status));
    }
    const std::unique_ptr<char, decltype(&vmd_free)> report(raw, &vmd_free);
    return report.get();
}

}  // namespace

int main(int argc, char** argv) try {
    const auto report = nlohmann::json::parse(report_text(argc, argv));
    if (report.at("schema_version") != 1) throw std::runtime_error("not a version 1 report");
    std::cout << "vm_likelihood: " << report.at("vm_likelihood").get<std::string>() << '\n'
              << "vm_score: " << report.at("vm_score").get<int>() << '\n';
    for (const char* list : {"hypervisors", "containers", "compatibility_layers",
                             "host_hypervisors", "cloud_providers"}) {
        std::cout << list << ':';
        for (const auto& vendor : report.at(list)) std::cout << ' ' << vendor.get<std::string>();
        std::cout << '\n';
    }
    for (const auto& e : report.at("evidence")) {
        std::cout << "evidence: " << e.at("source").get<std::string>() << ' '
                  << e.at("category").get<std::string>() << ' ' << e.at("vendor").get<std::string>()
                  << ' ' << e.at("weight").get<int>() << ' '
                  << bytes_of(e.at("detail").get<std::string>()) << '\n';
    }
    return 0;
} catch (const std::exception& e) {
    std::cerr << "detect: " << e.what() << '\n';
    return 1;
}
