// The block remix: output block i is the data's block order[i].
//
// Read me first:
// - The order is a buffer of little-endian unsigned 32-bit entries as read
//   from an order file; entry i names the block that goes to position i.
// - Exactly blockCount(L) entries are used; entries beyond them are ignored,
//   and repeated entries are allowed (the order need not be a permutation).
// - checkOrder must accept the order before the other functions are called:
//   it checks every used entry against the number of blocks before any block
//   offset b << 11 is formed, since that shift wraps in 32 bits for b >= 2^21.
// - The remix can be undone only when the used entries are a permutation of
//   the blocks (checkPermutation). The remixed data then has the input's
//   length L, so the order and L alone give every piece's place in it: the
//   pieces follow each other, each as long as the block it came from (the
//   short last block keeps its length wherever it went), and restoreInto
//   puts each one back at its block's offset.
#pragma once

#include <cstdint>
#include <string>

// A run of data bytes: one block of the input.
struct BlockSpan {
  uint32_t start = 0;
  uint32_t length = 0;
};

// Accepts an order of `orderLength` bytes for data of `dataLength` bytes
// (below 2^31, as readWholeFile guarantees), or
// returns false with a one-line reason in *error: a length that is not a
// whole number of entries, fewer entries than blocks, or a used entry that
// names no block.
bool checkOrder(const uint8_t* order, uint32_t orderLength, uint32_t dataLength, std::string* error);

// The data block that goes to output position `position` (< blockCount(L)).
// The last, short block keeps its length wherever it goes.
BlockSpan sourceBlock(const uint8_t* order, uint32_t position, uint32_t dataLength);

// Length of the remixed data: dataLength when the used entries are a
// permutation, otherwise the sum of the named blocks' lengths (at most 2^31).
uint32_t remixedLength(const uint8_t* order, uint32_t dataLength);

// Writes the remixed data, remixedLength bytes, to `out`.
void remixInto(const uint8_t* data, uint32_t dataLength, const uint8_t* order, uint8_t* out);

// Accepts an order that restoreInto can undo for remixed data of
// `dataLength` bytes: checkOrder's conditions, and no block named twice
// among the used entries, so that each block is named exactly once.
// Otherwise returns false with a one-line reason in *error.
bool checkPermutation(const uint8_t* order, uint32_t orderLength, uint32_t dataLength, std::string* error);

// Undoes remixInto: `remixed` holds the dataLength bytes that remixInto wrote
// for data of that length with this order (accepted by checkPermutation).
// Writes the original data, dataLength bytes, to `out`.
void restoreInto(const uint8_t* remixed, uint32_t dataLength, const uint8_t* order, uint8_t* out);
