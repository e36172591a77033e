# 64-bit Arm, little-endian; its long double is IEEE binary128, not the x87
# 80-bit format. See cross-linux-gnu.cmake.
set(kCrossTriple aarch64-linux-gnu)
set(kCrossProcessor aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
