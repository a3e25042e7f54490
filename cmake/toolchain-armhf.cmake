# Cross-compiles for the board (32-bit ARM, hard float) with Debian's
# multiarch toolchain: apt-get install g++-arm-linux-gnueabihf and the
# :armhf -dev packages. Programs built with it run here under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Multiarch lookup finds /usr/lib/arm-linux-gnueabihf and the shared headers;
# a find root path would hide them.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")

# GCC's note that the ABI of passing some aggregates changed in GCC 7: no
# code of ours crosses that boundary with an older compiler's objects.
set(CMAKE_C_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Tests and tools that start built programs run them through this.
find_program(ZTPU_QEMU_ARM qemu-arm)
if(ZTPU_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZTPU_QEMU_ARM})
endif()
