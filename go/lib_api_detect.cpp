//go:build !vmd_system

#include "version.h"
#include "../src/api/detect.cpp"
