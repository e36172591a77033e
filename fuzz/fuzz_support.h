// Helpers shared by the fuzz harnesses.
#pragma once

#include <cstddef>
#include <cstdint>

// A heap copy of `size` bytes laid out as readWholeFile lays out a file:
// word-aligned, followed by the same zero padding and no more, so that the
// sanitizer flags any access past what a real run could touch. Release it
// with freeFileBuffer.
uint8_t* copyAsFileBuffer(const uint8_t* data, size_t size);
void freeFileBuffer(uint8_t* buffer);

// Stops the harness with a message: a property the core must keep failed.
[[noreturn]] void fuzzFailure(const char* what);

// Reads fixed-size fields off the front of the fuzz input; past its end
// every field reads as zero.
struct FuzzReader {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;

  uint8_t byte() { return pos < size ? data[pos++] : 0; }
  uint32_t u32() {
    uint32_t value = 0;
    for (int shift = 0; shift < 32; shift += 8) value |= uint32_t(byte()) << shift;
    return value;
  }
  const uint8_t* rest() const { return data + (pos < size ? pos : size); }
  size_t restSize() const { return pos < size ? size - pos : 0; }
};
