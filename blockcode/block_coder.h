// The core of blockcode: cuts a buffer into 2048-byte blocks, hands each
// block's byte counts to the caller, and codes every byte with the block's
// own counts as the model, each count lowered by one as its byte is coded.
// No files and no messages here; main does those.
#pragma once

#include <cstdint>

#include "range_encoder.h"

// Bytes the code buffer needs for an input of `length` bytes: 2 * length + 12.
uint64_t codeBufferBytes(uint32_t length);

// Receives each block's 256 counts (complete, before any is lowered) in
// block order, as soon as the block is counted.
using RowSink = void (*)(const int32_t* counts, void* context);

// Codes data[0, length) into codeBuffer (at least codeBufferBytes(length)
// bytes) and returns the number of stream bytes. length < 2^31.
uint32_t codeBlocks(const uint8_t* data, uint32_t length, uint8_t* codeBuffer,
                    Arithmetic arithmetic, RowSink sink, void* context);

// The byte counts of one block.
void countBlock(const uint8_t* block, uint32_t blockLength, int32_t* counts);

// The intervals of a block's bytes under its counts: cumLow is the sum of
// the current counts below the byte's value, cumHigh adds its own count, the
// total starts at 2048 for every block (also a short last one) and drops by
// one per byte, and the byte's count drops by one after it is coded. `counts`
// is left unchanged.
void blockIntervals(const uint8_t* block, uint32_t blockLength, const int32_t* counts,
                    SymbolInterval* intervals);
