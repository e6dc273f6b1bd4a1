#include "firmware/markers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "support/listing.h"

namespace vmd {
namespace {

using Found = std::vector<std::string>;

using test::findings;

Found marker(std::string_view value) {
    Result result;
    firmware_marker(result, "firmware", value);
    EXPECT_TRUE(result.probes.empty());
    return findings(result);
}

Found cloud(std::string_view value) {
    Result result;
    firmware_cloud_marker(result, "firmware", value);
    return findings(result);
}

TEST(FirmwareMarker, NamesProductsWithTheTableVendorAndMarker) {
    EXPECT_EQ(marker("VMware, Inc."), Found{"firmware guest vmware 85 vmware"});
    EXPECT_EQ(marker("innotek GmbH"), Found{"firmware guest virtualbox 85 innotek gmbh"});
    EXPECT_EQ(marker("VirtualBox"), Found{"firmware guest virtualbox 85 virtualbox"});
    EXPECT_EQ(marker("Hyper-V UEFI Release v4.1"), Found{"firmware guest hyperv 85 hyper-v"});
    EXPECT_EQ(marker("Cloud Hypervisor"),
              Found{"firmware guest cloud-hypervisor 85 cloud hypervisor"});
    EXPECT_EQ(marker("Apple Virtualization Generic Platform"),
              Found{"firmware guest apple 85 apple virtualization"});
    EXPECT_EQ(marker("BHYVE"), Found{"firmware guest bhyve 85 bhyve"});
    EXPECT_EQ(marker("Bochs"), Found{"firmware guest bochs 85 bochs"});
    EXPECT_EQ(marker("Firecracker"), Found{"firmware guest firecracker 85 firecracker"});
    EXPECT_EQ(marker("KubeVirt"), Found{"firmware guest kubevirt 85 kubevirt"});
    EXPECT_EQ(marker("Parallels Software International Inc."),
              Found{"firmware guest parallels 85 parallels"});
    EXPECT_EQ(marker("crosvm"), Found{"firmware guest crosvm 85 crosvm"});
    EXPECT_TRUE(marker("cloud-hypervisor").empty());
    EXPECT_TRUE(marker("Dell Inc.").empty());
    EXPECT_TRUE(marker("").empty());
}

TEST(FirmwareMarker, MarkersMustStandAsWholeWords) {
    EXPECT_TRUE(marker("Xenial").empty());
    EXPECT_TRUE(marker("kvm64").empty());
    EXPECT_TRUE(marker("QEMUx").empty());
    EXPECT_TRUE(marker("myqemu").empty());
    EXPECT_TRUE(marker("3kvm").empty());
    EXPECT_EQ(marker("KVM"), Found{"firmware guest kvm 85 kvm"});
    // Only the Mac model identifier may run on into digits.
    EXPECT_EQ(marker("VirtualMac2,1"), Found{"firmware guest apple 85 virtualmac"});
    EXPECT_TRUE(marker("AVirtualMac2,1").empty());
    // A rejected occurrence does not hide a later good one.
    EXPECT_EQ(marker("axen xen"), Found{"firmware guest xen 85 xen"});
    EXPECT_EQ(marker("xenxen xen!"), Found{"firmware guest xen 85 xen"});
}

TEST(FirmwareMarker, EveryLetterAndDigitJoinsAWordTheFirstAndLastToo) {
    // "Xen0" and "9QEMU" are other names; so are words that begin or end in
    // "a" or "z". The bytes just outside those ranges in ASCII still bound.
    for (const char* joined : {"kvm0", "0kvm", "kvm9", "9kvm", "QEMU0", "9QEMU", "akvm", "kvma",
                               "zkvm", "kvmz", "Xen0", "AXEN", "XENZ"}) {
        EXPECT_TRUE(marker(joined).empty()) << joined;
    }
    for (const char* bounded :
         {"/kvm", "kvm/", ":kvm", "kvm:", "`kvm", "kvm`", "{kvm", "kvm{", "@kvm", "[kvm"}) {
        EXPECT_EQ(marker(bounded), Found{"firmware guest kvm 85 kvm"}) << bounded;
    }
}

TEST(FirmwareMarker, AnyNonAlphanumericByteIsABoundary) {
    EXPECT_EQ(marker("qemu-kvm"),
              (Found{"firmware guest qemu 85 qemu", "firmware guest kvm 85 kvm"}));
    EXPECT_EQ(marker(std::string_view("\0QEMU\0", 6)), Found{"firmware guest qemu 85 qemu"});
    // Bytes above 127 are boundaries, not letters, whatever the sign of char.
    EXPECT_EQ(marker("\xc3qemu\xa9"), Found{"firmware guest qemu 85 qemu"});
    EXPECT_EQ(marker("_kvm_"), Found{"firmware guest kvm 85 kvm"});
}

TEST(FirmwareMarker, EveryMatchingRowAddsOnceInTableOrder) {
    EXPECT_EQ(marker("HVM domU"), Found{"firmware guest xen 85 hvm domu"});
    EXPECT_EQ(marker("Xen HVM domU"),
              (Found{"firmware guest xen 85 xen", "firmware guest xen 85 hvm domu"}));
    EXPECT_EQ(marker("KVM QEMU VMware qemu"),
              (Found{"firmware guest vmware 85 vmware", "firmware guest qemu 85 qemu",
                     "firmware guest kvm 85 kvm"}));
    EXPECT_EQ(marker("innotek GmbH VirtualBox"),
              (Found{"firmware guest virtualbox 85 virtualbox",
                     "firmware guest virtualbox 85 innotek gmbh"}));
}

TEST(FirmwareMarker, VirtualMachineMustBeTheWholeText) {
    const Found generic{"firmware guest unknown 80 Virtual Machine product"};
    EXPECT_EQ(marker("Virtual Machine"), generic);
    EXPECT_EQ(marker("VIRTUAL MACHINE"), generic);
    EXPECT_TRUE(marker("Virtual Machine ").empty());
    EXPECT_TRUE(marker(" Virtual Machine").empty());
    EXPECT_TRUE(marker("Virtual Machine\n").empty());
    EXPECT_TRUE(marker("Virtual Machine 2").empty());
    EXPECT_TRUE(marker(std::string_view("Virtual Machine\0", 16)).empty());
}

TEST(FirmwareMarker, EndsWithTheCloudTable) {
    EXPECT_EQ(marker("Amazon EC2"), Found{"firmware cloud aws 0 amazon ec2"});
    EXPECT_EQ(marker("Google Compute Engine"), Found{"firmware cloud gcp 0 google compute engine"});
    EXPECT_EQ(marker("OpenStack Nova"), (Found{"firmware guest openstack 85 openstack",
                                               "firmware cloud openstack 0 openstack"}));
}

TEST(FirmwareCloudMarker, MatchesAnywhereWithoutBoundaries) {
    EXPECT_EQ(cloud("Amazon EC2"), Found{"firmware cloud aws 0 amazon ec2"});
    EXPECT_EQ(cloud("xamazon ec2x"), Found{"firmware cloud aws 0 amazon ec2"});
    EXPECT_EQ(cloud("Alibaba Cloud ECS"), Found{"firmware cloud alibaba 0 alibaba cloud"});
    EXPECT_EQ(cloud("7783-7084-3265-9085-8269-3286-77"),
              Found{"firmware cloud azure 0 7783-7084-3265-9085-8269-3286-77"});
    // Only the cloud table: no guest evidence from a product name.
    EXPECT_TRUE(cloud("QEMU").empty());
    EXPECT_TRUE(cloud("Virtual Machine").empty());
    EXPECT_TRUE(cloud("").empty());
    EXPECT_TRUE(cloud("Amazon  EC2").empty());
    EXPECT_EQ(cloud("openstack amazon ec2"),
              (Found{"firmware cloud aws 0 amazon ec2", "firmware cloud openstack 0 openstack"}));
}

TEST(FirmwareMarker, RepeatsCollapseButSourcesStayApart) {
    Result result;
    firmware_marker(result, "firmware", "QEMU");
    firmware_marker(result, "firmware", "qemu");
    firmware_marker(result, "device_tree", "QEMU");
    EXPECT_EQ(findings(result),
              (Found{"firmware guest qemu 85 qemu", "device_tree guest qemu 85 qemu"}));
}

}  // namespace
}  // namespace vmd
