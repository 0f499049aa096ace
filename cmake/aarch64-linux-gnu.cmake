# Cross-compiling for 64-bit Arm Linux (robot boards: Jetson, Raspberry Pi 4/5) on a Debian
# machine with multiarch, as scripts/cross-arm64.sh does:
#   dpkg --add-architecture arm64; apt-get install g++-aarch64-linux-gnu libhwy-dev:arm64 ...
#   cmake -S . -B build/arm64 -G Ninja --toolchain cmake/aarch64-linux-gnu.cmake
# The arm64 libraries and their CMake and pkg-config files are in /usr/lib/aarch64-linux-gnu
# beside the build machine's own; headers are shared in /usr/include. Where qemu-user is
# installed, test programs (CTest, test discovery, programs run during the build) run under it,
# with the arm64 C library and loader of multiarch (libc6:arm64), as on a Debian arm64 board.
# (Not `qemu-aarch64 -L /usr/aarch64-linux-gnu`: that takes the cross compiler's loader, which
# need not be the version of the libc6:arm64 the libraries then load, and threads hang.)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(NIMBUSDALE_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${NIMBUSDALE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${NIMBUSDALE_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${NIMBUSDALE_CROSS_TRIPLET})
# Libraries install in the multiarch folder, as Debian's arm64 packages have them (GNUInstallDirs
# chooses it for native builds only).
set(CMAKE_INSTALL_LIBDIR lib/${NIMBUSDALE_CROSS_TRIPLET} CACHE PATH
    "Object code libraries (lib/<multiarch triplet> on Debian)")

# pkg-config must read the arm64 .pc files only, or the build machine's libraries get linked.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${NIMBUSDALE_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})

# The emulated processor is a Cortex-A72 (Raspberry Pi 4; NEON, no SVE) like most robot boards,
# not qemu's own default (`max`, with SVE2): scripts/cross-arm64.sh runs the SIMD kernel tests
# again on SVE processors with QEMU_CPU.
find_program(NIMBUSDALE_QEMU qemu-aarch64)
if(NIMBUSDALE_QEMU AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NIMBUSDALE_QEMU} -cpu cortex-a72)
endif()
