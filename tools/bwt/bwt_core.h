// Burrows-Wheeler transform of a whole buffer and its inverse, on
// libdivsufsort.
//
// The transform has the input's length and byte multiset; the primary index
// is what the inverse needs to undo it. It lies in 1..n for n > 0 bytes
// (libdivsufsort's convention: the row of the implicit end marker) and is 0
// for an empty input.
#pragma once

#include <cstdint>
#include <string>

// Writes the transform of `input` (n bytes, below 2^31) to `output` (n bytes)
// and its primary index to *primaryIndex. False with *error on failure.
bool forwardBwt(const uint8_t* input, uint32_t n, uint8_t* output, uint32_t* primaryIndex,
                std::string* error);

// Undoes forwardBwt. Refuses a primary index outside the valid range.
bool inverseBwt(const uint8_t* input, uint32_t n, uint32_t primaryIndex, uint8_t* output,
                std::string* error);
