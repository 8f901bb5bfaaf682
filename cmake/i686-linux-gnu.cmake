# Cross-compiles for 32-bit x86 Linux with Debian's g++-i686-linux-gnu (which, unlike
# g++-multilib, can be installed beside the ARM cross compilers); ctest runs the target's
# programs under qemu-user, also on kernels that cannot start 32-bit programs themselves.
set(VORNIX_CROSS_TRIPLE i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VORNIX_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
