//go:build !vmd_system

#include "version.h"
#include "../src/firmware/smbios.cpp"
