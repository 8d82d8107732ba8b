# Cross build of the portable core and its unit tests for aarch64 Linux with
# Debian's g++-aarch64-linux-gnu, so that the ARM64 kernels run their tests on
# this machine: ctest starts each test program under qemu's user-mode
# emulator, with the cross toolchain's libraries as the target's root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(PIXELMOOR_CROSS_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${PIXELMOOR_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${PIXELMOOR_CROSS_PREFIX}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${PIXELMOOR_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# qemu finds the target's libraries through QEMU_LD_PREFIX, also when a test
# program starts itself again (GoogleTest's "threadsafe" death tests) and the
# kernel hands that start to qemu through binfmt. The sanitizers read their
# options from /proc/self/environ, which under qemu is the emulator's own
# environment, so they are set there too: LeakSanitizer cannot run under qemu.
set(CMAKE_CROSSCOMPILING_EMULATOR env QEMU_LD_PREFIX=/usr/${PIXELMOOR_CROSS_PREFIX} ASAN_OPTIONS=detect_leaks=0
                                  qemu-aarch64-static)
