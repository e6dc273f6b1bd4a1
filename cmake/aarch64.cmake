# Cross build for 64-bit Arm with Debian's g++-aarch64-linux-gnu; programs
# built here run under qemu-user (scripts/cross-aarch64.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(VMD_AARCH64_SYSROOT /usr/aarch64-linux-gnu)
# Target libraries come from the cross root and from CMAKE_FIND_ROOT_PATH (where
# the script installs an aarch64 GoogleTest); programs from the build host.
list(APPEND CMAKE_FIND_ROOT_PATH ${VMD_AARCH64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test discovery and ctest run the target's programs through the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${VMD_AARCH64_SYSROOT})
