#!/usr/bin/env bash
# The probe trees every binding's report is compared over, made in DIR: rich,
# with a vendor in each list but the hosts' and a detail of bytes above 0x7f,
# quotes and control bytes; host, a Xen control domain; and empty.
#
#   tests/bindings/trees.sh DIR
set -euo pipefail
trees=${1:?usage: tests/bindings/trees.sh DIR}
mkdir -p "$trees/rich/sys/class/dmi/id" "$trees/rich/sys/hypervisor" \
  "$trees/rich/proc/sys/kernel" "$trees/rich/run/systemd" "$trees/host/sys/hypervisor" \
  "$trees/host/proc/xen" "$trees/empty"
echo 'Amazon EC2' >"$trees/rich/sys/class/dmi/id/sys_vendor"
printf 'hv\303\251\377"\\\001' >"$trees/rich/sys/hypervisor/type"
echo 5.15.90.1-microsoft-standard-WSL2 >"$trees/rich/proc/sys/kernel/osrelease"
echo podman >"$trees/rich/run/systemd/container"
touch "$trees/rich/.dockerenv"
echo xen >"$trees/host/sys/hypervisor/type"
echo control_d >"$trees/host/proc/xen/capabilities"
