//go:build !vmd_system

#include "version.h"
#include "../src/api/vm_detection.cpp"
