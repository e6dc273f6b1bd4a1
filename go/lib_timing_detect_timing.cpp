//go:build !vmd_system

#include "version.h"
#include "../src/timing/detect_timing.cpp"
