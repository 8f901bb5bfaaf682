# What every cross build for Linux shares, included by the toolchain file of each target, which
# sets VORNIX_CROSS_TRIPLE (Debian's name of the target, as in g++-aarch64-linux-gnu),
# CMAKE_SYSTEM_PROCESSOR and VORNIX_QEMU (the qemu-user program that runs the target's code).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VORNIX_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VORNIX_CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${VORNIX_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# ctest, and the build's own programs such as the demo image's maker, run the target's code
# under qemu-user, with the target's shared libraries from Debian's cross packages.
set(CMAKE_CROSSCOMPILING_EMULATOR ${VORNIX_QEMU} -L /usr/${VORNIX_CROSS_TRIPLE})
