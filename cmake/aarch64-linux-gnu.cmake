# Cross-build for Linux ARM64 with Debian's aarch64-linux-gnu toolchain.
# Tests run on this machine under qemu-user: ctest starts each test program
# through the emulator, and QEMU_LD_PREFIX lets the emulator find the ARM64
# loader and libraries, which live under the cross toolchain's root rather than
# in /lib. Programs those tests start (and the tool started by the process
# tests) reach the emulator through binfmt_misc and inherit the same variable.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env QEMU_LD_PREFIX=/usr/aarch64-linux-gnu /usr/bin/qemu-aarch64-static)
