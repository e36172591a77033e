#include "bwt_core.h"

#include <divsufsort.h>

bool forwardBwt(const uint8_t* input, uint32_t n, uint8_t* output, uint32_t* primaryIndex,
                std::string* error) {
  if (n == 0) {
    *primaryIndex = 0;
    return true;
  }
  // With a null work array divbwt allocates its own suffix array (4n bytes).
  saidx_t index = divbwt(input, output, nullptr, saidx_t(n));
  if (index < 0) {
    *error = "the transform failed (libdivsufsort code " + std::to_string(index) + ", out of memory?)";
    return false;
  }
  *primaryIndex = uint32_t(index);
  return true;
}

bool inverseBwt(const uint8_t* input, uint32_t n, uint32_t primaryIndex, uint8_t* output,
                std::string* error) {
  bool valid = n == 0 ? primaryIndex == 0 : primaryIndex >= 1 && primaryIndex <= n;
  if (!valid) {
    *error = "primary index " + std::to_string(primaryIndex) + " is out of range for " +
             std::to_string(n) + " bytes (" + (n == 0 ? std::string("must be 0") : "1 to " + std::to_string(n)) + ")";
    return false;
  }
  if (n == 0) return true;
  // libdivsufsort returns early for one byte without copying it.
  if (n == 1) {
    output[0] = input[0];
    return true;
  }
  if (inverse_bw_transform(input, output, nullptr, saidx_t(n), saidx_t(primaryIndex)) != 0) {
    *error = "the inverse transform failed (out of memory?)";
    return false;
  }
  return true;
}
