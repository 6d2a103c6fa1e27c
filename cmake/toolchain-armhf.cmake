# Cross build for the device's architecture: 32-bit ARM, hard-float
# (Debian's armhf), with Debian's cross compilers and the armhf development
# packages of the build root.  The test executables run through qemu-arm
# (this host has no binfmt handler for ARM, so CTest calls it explicitly).
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(YVK_ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${YVK_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${YVK_ARMHF_TRIPLET}-g++)

# Libraries and headers of the target only; programs from the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${YVK_ARMHF_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_LIBRARY_ARCHITECTURE ${YVK_ARMHF_TRIPLET})

# pkg-config must see the armhf .pc files only: the native ones would add
# -I/usr/include/x86_64-linux-gnu to every compile line.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${YVK_ARMHF_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The programs load the build root's own armhf run time (libc6:armhf, pulled
# in by the armhf libraries) through /lib/ld-linux-armhf.so.3.  qemu-arm's -L
# /usr/arm-linux-gnueabihf would take the dynamic loader from the cross
# compiler's libc copy while the libraries still come from the armhf packages:
# two builds of the C library in one process.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
