# Cross-compiles for 64-bit ARM Linux (Raspberry Pi OS 64-bit and other arm64 systems) with
# Debian's g++-aarch64-linux-gnu; ctest runs the target's programs under qemu-user.
set(VORNIX_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VORNIX_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
