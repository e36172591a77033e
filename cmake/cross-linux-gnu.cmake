# Shared part of the Debian cross toolchain files (crossbuild-essential-*).
# The including file sets kCrossTriple and kCrossProcessor. Programs run
# under qemu-user with the target's loader and libraries from /usr/<triple>.
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DBUILD_TESTING=OFF

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${kCrossProcessor})
set(CMAKE_C_COMPILER ${kCrossTriple}-gcc)
set(CMAKE_CXX_COMPILER ${kCrossTriple}-g++)

# Libraries and headers only from the target's tree: a host library (say,
# libdivsufsort for amd64) must not be picked up for the target.
set(CMAKE_FIND_ROOT_PATH /usr/${kCrossTriple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${kCrossProcessor};-L;/usr/${kCrossTriple})
