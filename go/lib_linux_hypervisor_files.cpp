//go:build !vmd_system

#include "version.h"
#include "../src/linux/hypervisor_files.cpp"
