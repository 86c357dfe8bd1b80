# Toolchain for the device: 32-bit ARM Linux, hard-float ABI (Debian's
# crossbuild-essential-armhf). Tests run under user-mode emulation
# (qemu-user): CTest and gtest_discover_tests start every test program through
# CMAKE_CROSSCOMPILING_EMULATOR.
#
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ZQ_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${ZQ_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZQ_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ZQ_CROSS_TRIPLE})

# The target's libraries and headers come from the cross sysroot only; build
# tools (cmake, pkg-config) from the host.
set(ZQ_CROSS_SYSROOT /usr/${ZQ_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${ZQ_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L: the emulated program's dynamic loader and libraries come from the sysroot.
find_program(ZQ_QEMU_ARM qemu-arm)
if(ZQ_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZQ_QEMU_ARM} -L ${ZQ_CROSS_SYSROOT})
endif()

# Debian package architecture of the target, for CPack.
set(ZQ_DEB_ARCH armhf)
