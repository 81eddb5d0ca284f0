# Cross-compiling the kernels and their unit tests for 64-bit ARM Linux with
# Debian's g++-aarch64-linux-gnu and the arm64 FFTW of multiarch
# (libfftw3-dev:arm64); CTest runs the tests under qemu-user. Configure with
# -DMOLVAK_PYTHON=OFF -DMOLVAK_TESTS=ON -DMOLVAK_STATIC_TESTS=ON: a static
# test executable runs under qemu-user without the arm64 dynamic loader
# (with which threads never started under qemu 7.2 here).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
