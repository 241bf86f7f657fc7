# Cross-build for 64-bit ARM tablets with Debian's multiarch packages: crossbuild-essential-arm64
# and the :arm64 -dev packages (scripts/deps installs both). Test programs run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUILLON_TRIPLET aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${QUILLON_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUILLON_TRIPLET}-g++)

# Headers and libraries come from the multiarch folders of the :arm64 packages, programs from the
# build machine.
set(CMAKE_LIBRARY_ARCHITECTURE ${QUILLON_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${QUILLON_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config reads only the target's .pc files, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${QUILLON_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# ctest and gtest_discover_tests start the test programs through the emulator. The loader and
# libc are the multiarch libc6:arm64 at their usual paths (not the cross toolchain's copy under
# /usr/aarch64-linux-gnu, whose thread start hangs in qemu-user 7.2).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
