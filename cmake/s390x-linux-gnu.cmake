# Cross-compiles for 64-bit IBM Z Linux, a big-endian system, with Debian's g++-s390x-linux-gnu;
# ctest runs the target's programs under qemu-user.
set(VORNIX_CROSS_TRIPLE s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(VORNIX_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
