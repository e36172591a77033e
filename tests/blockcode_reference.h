// blockcode computed the plain way, as the oracle for the fast core: counts
// summed afresh for every byte, one reference encodeSymbol per byte.
#pragma once

#include <cstdint>
#include <vector>

struct ReferenceResult {
  std::vector<int32_t> rows;   // 256 counts per block
  std::vector<uint8_t> stream;
};

ReferenceResult referenceBlockcode(const uint8_t* data, uint32_t length);

// The core's result with the given arithmetic (0 software, 1 hardware).
ReferenceResult coreBlockcode(const uint8_t* data, uint32_t length, int arithmetic);

std::vector<uint32_t> wordsOf(const std::vector<uint8_t>& stream);
