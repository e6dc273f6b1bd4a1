//go:build !vmd_system

#include "version.h"
#include "../src/detection/report.cpp"
