# Cross build with one of Debian's cross compilers, named by its GNU triplet:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/cross.cmake -DVMD_CROSS=aarch64-linux-gnu ...
# (aarch64-linux-gnu, arm-linux-gnueabihf, i686-linux-gnu,
# powerpc64le-linux-gnu, riscv64-linux-gnu, s390x-linux-gnu: the table in
# tests/architectures/run.sh). Programs built here run under qemu-user.
if(NOT VMD_CROSS)
  message(FATAL_ERROR "cmake/cross.cmake: set VMD_CROSS to a GNU triplet, e.g. -DVMD_CROSS=aarch64-linux-gnu")
endif()
# try_compile projects read this file again and need the triplet too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VMD_CROSS)

string(REGEX REPLACE "-.*" "" vmd_cross_cpu "${VMD_CROSS}")
# qemu-user names some processors otherwise than the triplet does.
set(vmd_qemu_names aarch64=aarch64 arm=arm i686=i386 powerpc64le=ppc64le riscv64=riscv64 s390x=s390x)
set(vmd_qemu "")
foreach(pair IN LISTS vmd_qemu_names)
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 cpu)
  if(cpu STREQUAL vmd_cross_cpu)
    list(GET pair 1 vmd_qemu)
  endif()
endforeach()
if(NOT vmd_qemu)
  message(FATAL_ERROR "cmake/cross.cmake: no qemu-user name known for ${VMD_CROSS}")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${vmd_cross_cpu})
set(CMAKE_C_COMPILER ${VMD_CROSS}-gcc)
set(CMAKE_CXX_COMPILER ${VMD_CROSS}-g++)

# On the 32-bit targets, 64-bit time and file offsets, as CMakeLists.txt
# sets them for this project: here for GoogleTest too, which is built with
# this file, so that the two agree on struct stat and time_t.
if(VMD_CROSS MATCHES "^(arm-linux-gnueabihf|i686-linux-gnu)$")
  string(APPEND CMAKE_C_FLAGS_INIT " -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
  string(APPEND CMAKE_CXX_FLAGS_INIT " -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
endif()

set(VMD_CROSS_SYSROOT /usr/${VMD_CROSS})
# Target libraries come from the cross root and from CMAKE_FIND_ROOT_PATH
# (where tests/architectures/run.sh installs the architecture's GoogleTest);
# programs from the build host.
list(APPEND CMAKE_FIND_ROOT_PATH ${VMD_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test discovery and ctest run the target's programs through the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${vmd_qemu} -L ${VMD_CROSS_SYSROOT})
