//go:build !vmd_system

#include "version.h"
#include "../src/cpuid/detect_cpu.cpp"
