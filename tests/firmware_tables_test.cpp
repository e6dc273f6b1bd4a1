#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "detection/report.h"
#include "linux/groups.h"
#include "linux/linux.h"
#include "support/listing.h"
#include "support/tree.h"

namespace vmd {
namespace {

using test::Tree;
using List = std::vector<std::string>;

using test::findings;
List probes(const Result& result) { return test::probe_list(result); }

Result firmware_tables(const Tree& tree) {
    Result result;
    detect_firmware_tables(result, tree.root());
    return result;
}

// Runs the firmware group over a tree that holds FIFOs. Should a read block,
// the FIFOs get a writer so that the run wakes and the fault is reported.
Result firmware_tables_with_fifos(const Tree& tree, const List& fifos) {
    auto run = std::async(std::launch::async, [&] { return firmware_tables(tree); });
    if (run.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
        ADD_FAILURE() << "a probe blocked on a FIFO";
        for (int round = 0; round < 50 && run.wait_for(std::chrono::milliseconds(100)) !=
                                              std::future_status::ready;
             ++round) {
            for (const std::string& path : fifos) {
                const int writer = ::open(tree.at(path).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (writer >= 0) ::close(writer);
            }
        }
    }
    return run.get();
}

// A string literal with every byte it spells, embedded NULs included.
template <std::size_t N>
std::string bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

constexpr const char* dmi = "/sys/class/dmi/id/";
constexpr const char* raw_path = "/sys/firmware/dmi/entries/0-0/raw";

void dmi_fields(const Tree& tree, const std::map<std::string, std::string>& fields) {
    for (const auto& [name, value] : fields) tree.file(dmi + name, value);
}

// An SMBIOS BIOS Information structure of 24 bytes with the given vendor and
// Characteristics Extension Byte 2, as the kernel exposes it in 0-0/raw.
std::string bios_information(std::string_view vendor, std::string_view version, std::uint8_t ext2) {
    std::string out("\x00\x18\x00\x00\x01\x02\x00\xe8\x03\x00", 10);
    out += std::string(8, '\0');  // BIOS Characteristics
    out += '\x01';
    out += static_cast<char>(ext2);
    out += std::string(4, '\0');
    out += vendor;
    out += '\0';
    out += version;
    out += '\0';
    out += "04/01/2014";
    out += std::string(2, '\0');
    return out;
}

TEST(FirmwareTables, WithoutAnyTablesEveryProbeIsUnavailable) {
    Tree tree;
    const Result result = firmware_tables(tree);
    EXPECT_TRUE(result.evidence.empty());
    EXPECT_EQ(probes(result),
              (List{"firmware unavailable", "firmware unavailable", "device_tree unavailable"}));
}

TEST(FirmwareTables, DmiFieldsLoseOnlyTheirTrailingLineEnds) {
    const std::string generic = "firmware guest unknown 80 Virtual Machine product";
    for (const char* value :
         {"Virtual Machine\n", "Virtual Machine\r\n\r\n\n", "Virtual Machine"}) {
        Tree tree;
        dmi_fields(tree, {{"product_name", value}});
        EXPECT_EQ(findings(firmware_tables(tree)), List{generic}) << value;
    }
    for (const char* value : {"Virtual Machine \r\n", "\nVirtual Machine\n", "Virtual\nMachine\n",
                              "Virtual Machine\t\n", "\r\n"}) {
        Tree tree;
        dmi_fields(tree, {{"product_name", value}});
        EXPECT_TRUE(findings(firmware_tables(tree)).empty()) << value;
    }
}

TEST(FirmwareTables, EachFieldGoesToItsMatcher) {
    const std::string_view fields[] = {"sys_vendor",   "product_name", "product_version",
                                       "board_vendor", "board_name",   "bios_vendor"};
    for (std::string_view field : fields) {
        Tree tree;
        tree.file(dmi + std::string(field), "KVM\n");
        EXPECT_EQ(findings(firmware_tables(tree)), List{"firmware guest kvm 85 kvm"}) << field;
    }
    // The asset tag is only compared with the cloud table.
    Tree tree;
    dmi_fields(tree, {{"chassis_asset_tag", "QEMU 7783-7084-3265-9085-8269-3286-77\n"}});
    EXPECT_EQ(findings(firmware_tables(tree)),
              List{"firmware cloud azure 0 7783-7084-3265-9085-8269-3286-77"});
    // Fields the probe does not know are not read.
    Tree other;
    dmi_fields(other, {{"chassis_vendor", "QEMU\n"}, {"bios_version", "VirtualBox\n"}});
    EXPECT_TRUE(findings(firmware_tables(other)).empty());
}

TEST(FirmwareTables, OneFailedFieldMakesTheDmiProbeAnError) {
    Tree tree;
    dmi_fields(tree, {{"sys_vendor", "QEMU\n"},
                      {"product_name", "Standard PC (Q35 + ICH9, 2009)\n"},
                      {"product_version", "pc-q35-7.2\n"},
                      {"board_vendor", "\n"},
                      {"board_name", "\n"},
                      {"bios_vendor", "EFI Development Kit II / OVMF\n"}});
    EXPECT_EQ(probes(firmware_tables(tree))[0], "firmware ok");  // asset tag absent

    tree.file("/sys/class/dmi/id/board_name", std::string(4097, 'x'));
    Result result = firmware_tables(tree);
    EXPECT_EQ(probes(result)[0], "firmware error");
    EXPECT_EQ(findings(result), List{"firmware guest qemu 85 qemu"});

    tree.file("/sys/class/dmi/id/board_name", std::string(4096, 'x'));
    EXPECT_EQ(probes(firmware_tables(tree))[0], "firmware ok");
}

TEST(FirmwareTables, FifoAtADmiFieldIsAnErrorAndTheRunGoesOn) {
    Tree tree;
    tree.fifo("/sys/class/dmi/id/sys_vendor");
    dmi_fields(tree, {{"product_name", "VMware Virtual Platform\n"}});
    const Result result = firmware_tables_with_fifos(tree, {"/sys/class/dmi/id/sys_vendor"});
    EXPECT_EQ(probes(result),
              (List{"firmware error", "firmware unavailable", "device_tree unavailable"}));
    EXPECT_EQ(findings(result), List{"firmware guest vmware 85 vmware"});
}

TEST(FirmwareTables, RawSmbiosMakesTheSecondFirmwareProbe) {
    Tree tree;
    dmi_fields(tree, {{"sys_vendor", "QEMU\n"}});
    EXPECT_EQ(probes(firmware_tables(tree)),
              (List{"firmware ok", "firmware unavailable", "device_tree unavailable"}));

    // Recorded by the walk, after its evidence; the vendor repeats the DMI
    // field's finding and is kept once.
    tree.file(raw_path, bios_information("QEMU", "rel-1.16.2-0-gea1b7a073390", 0x14));
    Result result = firmware_tables(tree);
    EXPECT_EQ(findings(result),
              (List{"firmware guest qemu 85 qemu",
                    "firmware guest unknown 90 SMBIOS virtual-machine characteristic"}));
    EXPECT_EQ(probes(result), (List{"firmware ok", "firmware ok", "device_tree unavailable"}));

    tree.file(raw_path, "");
    EXPECT_EQ(probes(firmware_tables(tree))[1], "firmware error");
    tree.file(raw_path, bytes("\x00\x18\x00"));
    EXPECT_EQ(probes(firmware_tables(tree))[1], "firmware error");

    // Oversized: not walked at all, although it starts with a good structure.
    tree.file(raw_path,
              bios_information("innotek GmbH", "VirtualBox", 0x10) + std::string(65536, '\0'));
    result = firmware_tables(tree);
    EXPECT_EQ(probes(result)[1], "firmware error");
    EXPECT_EQ(findings(result), List{"firmware guest qemu 85 qemu"});

    // The raw read does not count towards the DMI group.
    Tree raw_only;
    raw_only.fifo(raw_path);
    result = firmware_tables_with_fifos(raw_only, {raw_path});
    EXPECT_EQ(probes(result),
              (List{"firmware unavailable", "firmware error", "device_tree unavailable"}));
}

TEST(DeviceTree, DummyVirtIsFoundCaseSensitivelyAndOnce) {
    Tree tree;
    tree.file("/proc/device-tree/compatible", bytes("linux,dummy-virt\0"));
    tree.file("/proc/device-tree/hypervisor/compatible", bytes("linux,dummy-virt\0"));
    Result result = firmware_tables(tree);
    EXPECT_EQ(findings(result),
              List{"device_tree guest unknown 85 generic virtual machine device tree"});
    EXPECT_EQ(probes(result)[2], "device_tree ok");

    Tree upper;
    upper.file("/proc/device-tree/model", bytes("LINUX,DUMMY-VIRT\0"));
    EXPECT_TRUE(findings(firmware_tables(upper)).empty());
}

TEST(DeviceTree, FilesGoToTheMatchersAsRead) {
    // QEMU's pseries machine: the property list holds NUL separators.
    Tree tree;
    tree.file("/proc/device-tree/compatible", bytes("qemu,pseries\0"));
    tree.file("/proc/device-tree/model", bytes("IBM pSeries (emulated by qemu)\0"));
    tree.file("/proc/device-tree/hypervisor/compatible", bytes("linux,kvm\0"));
    EXPECT_EQ(findings(firmware_tables(tree)),
              (List{"device_tree guest kvm 85 kvm", "device_tree guest qemu 85 qemu"}));
    // Arm guests under Xen.
    Tree xen;
    xen.file("/proc/device-tree/hypervisor/compatible", bytes("xen,xen-4.17\0xen,xen\0"));
    EXPECT_EQ(findings(firmware_tables(xen)), List{"device_tree guest xen 85 xen"});
    // The whole list is examined, not only its first entry.
    Tree listed;
    listed.file("/proc/device-tree/compatible", bytes("acme,evb\0linux,dummy-virt\0"));
    listed.file("/proc/device-tree/model", bytes("Acme EVB\0KVM\0"));
    EXPECT_EQ(findings(firmware_tables(listed)),
              (List{"device_tree guest unknown 85 generic virtual machine device tree",
                    "device_tree guest kvm 85 kvm"}));
}

TEST(DeviceTree, FailedReadsMakeTheProbeAnError) {
    Tree tree;
    tree.file("/proc/device-tree/compatible", bytes("linux,dummy-virt\0"));
    tree.fifo("/proc/device-tree/model");
    Result result = firmware_tables_with_fifos(tree, {"/proc/device-tree/model"});
    EXPECT_EQ(probes(result)[2], "device_tree error");
    EXPECT_EQ(findings(result),
              List{"device_tree guest unknown 85 generic virtual machine device tree"});

    Tree oversized;
    oversized.file("/proc/device-tree/model", "linux,dummy-virt" + std::string(4096, ' '));
    result = firmware_tables(oversized);
    EXPECT_EQ(probes(result)[2], "device_tree error");
    EXPECT_TRUE(findings(result).empty());
}

TEST(DeviceTree, PowerVmPartitionNeedsBothEntriesAndNoQemuProperty) {
    const std::string powervm = "device_tree guest powervm 85 IBM managed partition";
    Tree tree;
    tree.file("/proc/device-tree/ibm,partition-name", bytes("lpar-07\0"));
    tree.folder("/proc/device-tree/hmc-managed?");
    Result result = firmware_tables(tree);
    EXPECT_EQ(findings(result), List{powervm});
    // The existence checks are not reads of the device-tree group.
    EXPECT_EQ(probes(result)[2], "device_tree unavailable");

    tree.file("/proc/device-tree/chosen/qemu,graphic-width", bytes("\0\0\x04\0"));
    EXPECT_TRUE(findings(firmware_tables(tree)).empty());

    Tree no_hmc;
    no_hmc.file("/proc/device-tree/ibm,partition-name", "lpar-07");
    EXPECT_TRUE(findings(firmware_tables(no_hmc)).empty());
    Tree no_name;
    no_name.file("/proc/device-tree/hmc-managed?", "");
    EXPECT_TRUE(findings(firmware_tables(no_name)).empty());
}

// Realistic machines, run through the whole platform detector and assessed.
struct Machine {
    std::map<std::string, std::string> fields;
    std::string raw;  // empty: no raw SMBIOS entry
};

Assessment assess_machine(const Machine& machine, Result* out = nullptr) {
    Tree tree;
    dmi_fields(tree, machine.fields);
    if (!machine.raw.empty()) tree.file(raw_path, machine.raw);
    Result result;
    detect_linux(result, tree.root());
    if (out != nullptr) *out = result;
    return assess(result);
}

TEST(Machines, QemuKvmGuestWithSeaBios) {
    Result result;
    const Assessment a = assess_machine(
        {{{"sys_vendor", "QEMU\n"},
          {"product_name", "Standard PC (i440FX + PIIX, 1996)\n"},
          {"product_version", "pc-i440fx-8.2\n"},
          {"bios_vendor", "SeaBIOS\n"},
          {"chassis_asset_tag", "\n"}},
         bios_information("SeaBIOS", "rel-1.16.3-0-ga6ed6b701f0a-prebuilt.qemu.org", 0x14)},
        &result);
    EXPECT_EQ(a.hypervisors, List{"qemu"});
    EXPECT_EQ(a.vm_score, 90);
    EXPECT_EQ(a.vm_likelihood, "very_likely");
    EXPECT_TRUE(a.cloud_providers.empty());
    EXPECT_EQ(probes(result)[0], "firmware ok");
    EXPECT_EQ(probes(result)[1], "firmware ok");
}

TEST(Machines, VmwareGuest) {
    const Assessment a = assess_machine({{{"sys_vendor", "VMware, Inc.\n"},
                                          {"product_name", "VMware Virtual Platform\n"},
                                          {"product_version", "None\n"},
                                          {"board_vendor", "Intel Corporation\n"},
                                          {"board_name", "440BX Desktop Reference Platform\n"},
                                          {"bios_vendor", "Phoenix Technologies LTD\n"},
                                          {"chassis_asset_tag", "No Asset Tag\n"}},
                                         {}});
    EXPECT_EQ(a.hypervisors, List{"vmware"});
    EXPECT_EQ(a.vm_score, 85);
    EXPECT_EQ(a.vm_likelihood, "likely");
}

TEST(Machines, VirtualBoxGuest) {
    Result result;
    const Assessment a = assess_machine({{{"sys_vendor", "innotek GmbH\n"},
                                          {"product_name", "VirtualBox\n"},
                                          {"product_version", "1.2\n"},
                                          {"board_vendor", "Oracle Corporation\n"},
                                          {"board_name", "VirtualBox\n"},
                                          {"bios_vendor", "innotek GmbH\n"}},
                                         {}},
                                        &result);
    EXPECT_EQ(a.hypervisors, List{"virtualbox"});
    EXPECT_EQ(findings(result), (List{"firmware guest virtualbox 85 innotek gmbh",
                                      "firmware guest virtualbox 85 virtualbox"}));
}

TEST(Machines, AzureHyperVGuestByItsAssetTag) {
    Result result;
    const Assessment a =
        assess_machine({{{"sys_vendor", "Microsoft Corporation\n"},
                         {"product_name", "Virtual Machine\n"},
                         {"product_version", "7.0\n"},
                         {"board_vendor", "Microsoft Corporation\n"},
                         {"board_name", "Virtual Machine\n"},
                         {"bios_vendor", "Microsoft Corporation\n"},
                         {"chassis_asset_tag", "7783-7084-3265-9085-8269-3286-77\n"}},
                        {}},
                       &result);
    EXPECT_EQ(a.vm_score, 80);
    EXPECT_EQ(a.vm_likelihood, "likely");
    EXPECT_TRUE(a.hypervisors.empty());  // "unknown" is never listed
    EXPECT_EQ(a.cloud_providers, List{"azure"});
    EXPECT_EQ(findings(result), (List{"firmware guest unknown 80 Virtual Machine product",
                                      "firmware cloud azure 0 7783-7084-3265-9085-8269-3286-77"}));
}

TEST(Machines, CloudInstancesNameTheirProvider) {
    // EC2 on Nitro and Compute Engine name only the cloud in their tables;
    // the hypervisor is left to the processor probe.
    Assessment a = assess_machine({{{"sys_vendor", "Amazon EC2\n"},
                                    {"product_name", "m6i.large\n"},
                                    {"board_vendor", "Amazon EC2\n"},
                                    {"bios_vendor", "Amazon EC2\n"},
                                    {"chassis_asset_tag", "Amazon EC2\n"}},
                                   {}});
    EXPECT_EQ(a.cloud_providers, List{"aws"});
    EXPECT_TRUE(a.hypervisors.empty());
    EXPECT_EQ(a.vm_likelihood, "not_detected");

    a = assess_machine({{{"sys_vendor", "Google\n"},
                         {"product_name", "Google Compute Engine\n"},
                         {"board_vendor", "Google\n"},
                         {"board_name", "Google Compute Engine\n"},
                         {"bios_vendor", "Google\n"}},
                        {}});
    EXPECT_EQ(a.cloud_providers, List{"gcp"});
    EXPECT_TRUE(a.hypervisors.empty());

    // Older Xen-based EC2 instances show Xen.
    a = assess_machine({{{"sys_vendor", "Xen\n"},
                         {"product_name", "HVM domU\n"},
                         {"product_version", "4.11.amazon\n"},
                         {"bios_vendor", "Xen\n"}},
                        {}});
    EXPECT_EQ(a.hypervisors, List{"xen"});
    EXPECT_EQ(a.vm_score, 85);
}

TEST(Machines, BareMetalServerIsNotDetected) {
    Result result;
    const Assessment a = assess_machine({{{"sys_vendor", "Dell Inc.\n"},
                                          {"product_name", "PowerEdge R740\n"},
                                          {"product_version", "\n"},
                                          {"board_vendor", "Dell Inc.\n"},
                                          {"board_name", "0DY2X0\n"},
                                          {"bios_vendor", "Dell Inc.\n"},
                                          {"chassis_asset_tag", "\n"}},
                                         bios_information("Dell Inc.", "2.19.1", 0x0f)},
                                        &result);
    EXPECT_EQ(findings(result), List{});
    EXPECT_EQ(a.vm_score, 0);
    EXPECT_EQ(a.vm_likelihood, "not_detected");
    EXPECT_EQ(probes(result)[0], "firmware ok");
    EXPECT_EQ(probes(result)[1], "firmware ok");
}

}  // namespace
}  // namespace vmd
