//go:build !vmd_system

#include "version.h"
#include "../src/linux/containers.cpp"
