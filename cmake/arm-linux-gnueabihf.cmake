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

# The device's programs are built for size: the daemon has a budget of 120 KiB
# stripped, and on the device's small caches compact code loses little speed.
# (The host builds keep -O2: their speed is what the benchmarks measure. No
# link-time optimisation: the static client library is a partial link of
# plain objects.)
set(ZQ_OPTIMIZE_FOR_SIZE ON)

# The target's libraries and headers come from the cross sysroot only; build
# tools (cmake, pkg-config) from the host.
set(ZQ_CROSS_SYSROOT /usr/${ZQ_CROSS_TRIPLE})
# OpenSSL is not in the cross sysroot: scripts/deps.sh unpacks Debian's armhf
# libssl-dev and libssl3 into ZQ_PEER_ROOT/armhf-ssl.
if(DEFINED ENV{ZQ_PEER_ROOT})
  set(ZQ_ARMHF_SSL $ENV{ZQ_PEER_ROOT}/armhf-ssl)
else()
  set(ZQ_ARMHF_SSL /var/cache/zq-peers/armhf-ssl)
endif()
set(CMAKE_FIND_ROOT_PATH ${ZQ_CROSS_SYSROOT} ${ZQ_ARMHF_SSL})
set(OPENSSL_ROOT_DIR ${ZQ_ARMHF_SSL}/usr)
set(ZQ_ARMHF_SSL_LIB ${ZQ_ARMHF_SSL}/usr/lib/${ZQ_CROSS_TRIPLE})
# Its configuration headers are in the multiarch directory, as on Debian.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${ZQ_ARMHF_SSL}/usr/include/${ZQ_CROSS_TRIPLE})
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${ZQ_ARMHF_SSL}/usr/include/${ZQ_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L: the emulated program's dynamic loader and libraries come from the
# sysroot; libssl and libcrypto from the unpacked packages.
find_program(ZQ_QEMU_ARM qemu-arm)
if(ZQ_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZQ_QEMU_ARM} -L ${ZQ_CROSS_SYSROOT} -E
                                    LD_LIBRARY_PATH=${ZQ_ARMHF_SSL_LIB})
endif()

# Debian package architecture of the target, for CPack.
set(ZQ_DEB_ARCH armhf)
