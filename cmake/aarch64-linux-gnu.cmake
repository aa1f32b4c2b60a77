# Cross build for 64-bit Arm Linux with Debian's cross compiler and the
# :arm64 multiarch packages, which install beside the build machine's own:
#   cmake -S . -B build-aarch64 --toolchain cmake/aarch64-linux-gnu.cmake
# Tests run under qemu-user. The arm64 C library from Debian's multiarch
# packages provides /lib/ld-linux-aarch64.so.1 and its search paths, so the
# emulator needs no sysroot of its own.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Only the arm64 .pc files: without this pkg-config would offer the build
# machine's FFmpeg, whose libraries the cross linker cannot use.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

find_program(PYTOVRIK_QEMU_AARCH64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PYTOVRIK_QEMU_AARCH64})
