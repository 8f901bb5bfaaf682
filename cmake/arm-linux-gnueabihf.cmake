# Cross-compiles for 32-bit ARM Linux with hardware floating point (MiSTer, Raspberry Pi OS
# 32-bit) with Debian's g++-arm-linux-gnueabihf; ctest runs the target's programs under qemu-user.
set(VORNIX_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(VORNIX_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
