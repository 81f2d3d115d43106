# Cross-building norvale-eventd for a router with a 32-bit ARM processor
# (hard-float ABI), on a Debian machine with the cross compiler
# (Debian package g++-arm-linux-gnueabihf):
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm-linux-gnueabihf.cmake \
#         -DNORVALE_STATIC=ON -DNORVALE_TESTS=OFF -DCMAKE_BUILD_TYPE=MinSizeRel
#   cmake --build build-arm
#   (cd build-arm && cpack -G DEB)     # the armhf Debian package, if wanted
#
# The build prints the size of build-arm/norvale-eventd.stripped, the file to
# copy to the router as /usr/sbin/norvale-eventd. NORVALE_STATIC links the C
# and C++ libraries in, so the router needs none of them. The unit tests are
# built for the machine that runs them, hence NORVALE_TESTS=OFF here.
#
# Another triplet or a vendor toolchain: -DNORVALE_CROSS_PREFIX=.../bin/arm-none-linux-gnueabihf-
# and, for its own sysroot, -DNORVALE_SYSROOT=/path/to/sysroot.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(NORVALE_CROSS_PREFIX "arm-linux-gnueabihf-" CACHE STRING "Prefix of the cross tools' names")
set(NORVALE_SYSROOT "" CACHE PATH "Sysroot of the cross toolchain (empty: the compiler's own)")

set(CMAKE_C_COMPILER ${NORVALE_CROSS_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${NORVALE_CROSS_PREFIX}g++)
# CMake finds ${NORVALE_CROSS_PREFIX}strip beside the compiler for the
# stripped copy.

if(NORVALE_SYSROOT)
  set(CMAKE_SYSROOT ${NORVALE_SYSROOT})
  set(CMAKE_FIND_ROOT_PATH ${NORVALE_SYSROOT})
else()
  # Debian's cross packages keep the target's libraries and headers here.
  set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
endif()

# Programs run on the build machine; libraries and headers come from the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
