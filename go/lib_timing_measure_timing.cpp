//go:build !vmd_system

#include "version.h"
#include "../src/timing/measure_timing.cpp"
