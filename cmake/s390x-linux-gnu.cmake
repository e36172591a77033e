# IBM Z, big-endian; its long double is IEEE binary128. See
# cross-linux-gnu.cmake.
set(kCrossTriple s390x-linux-gnu)
set(kCrossProcessor s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
