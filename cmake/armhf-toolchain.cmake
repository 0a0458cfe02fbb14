# Cross-build for the board: 32-bit ARM, hard-float (Debian armhf), against the Debian multiarch
# armhf libraries installed next to the host ones (scripts/setup installs them).
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# The test programs run through qemu-arm (this machine has no binfmt_misc). qemu-arm is used
# without -L: the armhf loader and libc come from the installed multiarch libc6:armhf, the same
# build that the -dev packages were linked against. The cross toolchain's own copy under
# /usr/arm-linux-gnueabihf is a different build, and Paho's threads crash on it.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(K5_ARMHF_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER   ${K5_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${K5_ARMHF_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${K5_ARMHF_TRIPLE})
# GCC notes on ARM that the passing of some aggregates changed in GCC 7.1; everything here,
# the Debian libraries included, is built by GCC 12, so the note is noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

find_program(K5_ARMHF_STRIP ${K5_ARMHF_TRIPLE}-strip)
if(K5_ARMHF_STRIP)
  set(CMAKE_STRIP ${K5_ARMHF_STRIP} CACHE FILEPATH "strip for the target" FORCE)
endif()
find_program(K5_ARMHF_OBJCOPY ${K5_ARMHF_TRIPLE}-objcopy)
if(K5_ARMHF_OBJCOPY)
  set(CMAKE_OBJCOPY ${K5_ARMHF_OBJCOPY} CACHE FILEPATH "objcopy for the target" FORCE)
endif()

# pkg-config must see only the armhf .pc files (and the architecture-independent ones such as
# RapidJSON's), never the host's x86_64 folder. The toolchain file is read again in every
# try_compile project, so set the environment each time.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${K5_ARMHF_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Programs (protoc-like tools, the emulator) come from the host; libraries, headers and CMake
# package files from the armhf multiarch folders, which CMAKE_LIBRARY_ARCHITECTURE selects.
# qemu-arm-run hands LD_PRELOAD (the tests' virtual camera) to the emulated program only.
find_program(K5_QEMU_ARM qemu-arm)
if(K5_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/qemu-arm-run ${K5_QEMU_ARM})
else()
  message(WARNING "qemu-arm not found: the armhf tests cannot run on this machine")
endif()

# The board's package installs under /usr (daemon in /usr/bin, unit in /usr/lib/systemd/system,
# example configuration in /etc/k5cam); -DCMAKE_INSTALL_PREFIX=... still overrides this.
set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix on the board")

# gtest_discover_tests lists each test program's tests by running it, here through qemu-arm.
# Do that when ctest runs rather than after every link: the build then never starts the
# emulator, and a slow emulated start on a loaded machine cannot break the build.
if(NOT DEFINED CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE)
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()
