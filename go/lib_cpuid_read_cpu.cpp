//go:build !vmd_system

#include "version.h"
#include "../src/cpuid/read_cpu.cpp"
