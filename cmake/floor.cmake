# The release build of the shared object: the host's clang over a sysroot of
# an older Debian's C library and GCC runtime, so that the object needs no
# glibc newer than that sysroot's symbol versions allow (2.17 for x86_64 and
# aarch64 with Debian 11's glibc 2.31 and libstdc++ 10), where a build with
# the host's own g++ needs the host's glibc:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/floor.cmake -DVMD_FLOOR_ARCH=x86_64 \
#     -DVMD_FLOOR_SYSROOT=DIR ...
# VMD_FLOOR_ARCH is x86_64 or aarch64; DIR a root of libc6-dev,
# libstdc++-10-dev, libgcc-10-dev and linux-libc-dev of that architecture
# (scripts/root.sh make bullseye amd64|arm64 extract ...) whose symbolic
# links are all relative (the linker resolves an absolute one against this
# machine's root: scripts/release.sh makes such a copy). clang finds the
# sysroot's GCC installation (its libstdc++ headers, libstdc++.a, libgcc.a,
# libgcc_eh.a) by itself; lld links for either architecture.
if(NOT VMD_FLOOR_ARCH MATCHES "^(x86_64|aarch64)$")
  message(FATAL_ERROR "cmake/floor.cmake: set VMD_FLOOR_ARCH to x86_64 or aarch64")
endif()
if(NOT VMD_FLOOR_SYSROOT OR NOT EXISTS "${VMD_FLOOR_SYSROOT}/usr/include/${VMD_FLOOR_ARCH}-linux-gnu")
  message(FATAL_ERROR "cmake/floor.cmake: VMD_FLOOR_SYSROOT must be a sysroot for ${VMD_FLOOR_ARCH}-linux-gnu")
endif()
# try_compile projects read this file again and need both.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VMD_FLOOR_ARCH VMD_FLOOR_SYSROOT)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${VMD_FLOOR_ARCH})
set(CMAKE_SYSROOT ${VMD_FLOOR_SYSROOT})
# The generic names: clang-14 on Debian 12, clang-19 on Debian 13.
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${VMD_FLOOR_ARCH}-linux-gnu)
set(CMAKE_CXX_COMPILER_TARGET ${VMD_FLOOR_ARCH}-linux-gnu)
set(CMAKE_STRIP llvm-strip CACHE FILEPATH "strip for the target")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT -fuse-ld=lld)
endforeach()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
