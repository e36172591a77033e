#include "remix_core.h"

#include <cassert>
#include <cstring>
#include <vector>

#include "fileio.h"

static std::string blocksText(uint32_t blocks) {
  return std::to_string(blocks) + (blocks == 1 ? " block" : " blocks");
}

static uint32_t orderEntry(const uint8_t* order, uint32_t position) {
  return loadU32LE(order + 4 * size_t(position));
}

bool checkOrder(const uint8_t* order, uint32_t orderLength, uint32_t dataLength, std::string* error) {
  uint32_t blocks = blockCount(dataLength);
  if (orderLength % 4 != 0) {
    *error = "its length, " + std::to_string(orderLength) +
             " bytes, is not a whole number of 4-byte entries";
    return false;
  }
  uint32_t entries = orderLength / 4;
  if (entries < blocks) {
    *error = "it has " + std::to_string(entries) + " entries, but the data has " + blocksText(blocks);
    return false;
  }
  for (uint32_t i = 0; i < blocks; i++) {
    uint32_t block = orderEntry(order, i);
    if (block >= blocks) {
      *error = "entry " + std::to_string(i) + " is " + std::to_string(block) +
               ", but the data has " + blocksText(blocks) + " (0 to " +
               std::to_string(blocks - 1) + ")";
      return false;
    }
  }
  return true;
}

BlockSpan sourceBlock(const uint8_t* order, uint32_t position, uint32_t dataLength) {
  BlockSpan span;
  // checkOrder has bounded the entry by blockCount(L) <= 2^20, so the shift
  // cannot wrap and start < L.
  span.start = orderEntry(order, position) << kBlockShift;
  uint32_t rest = dataLength - span.start;
  span.length = rest < kBlockSize ? rest : kBlockSize;
  return span;
}

uint32_t remixedLength(const uint8_t* order, uint32_t dataLength) {
  uint32_t total = 0;
  for (uint32_t i = 0; i < blockCount(dataLength); i++) total += sourceBlock(order, i, dataLength).length;
  return total;
}

void remixInto(const uint8_t* data, uint32_t dataLength, const uint8_t* order, uint8_t* out) {
  for (uint32_t i = 0; i < blockCount(dataLength); i++) {
    BlockSpan span = sourceBlock(order, i, dataLength);
    memcpy(out, data + span.start, span.length);
    out += span.length;
  }
}

bool checkPermutation(const uint8_t* order, uint32_t orderLength, uint32_t dataLength, std::string* error) {
  if (!checkOrder(order, orderLength, dataLength, error)) return false;
  uint32_t blocks = blockCount(dataLength);
  // Where each block was first named; blocks (never a position) for "not yet".
  std::vector<uint32_t> firstNamedAt(blocks, blocks);
  for (uint32_t i = 0; i < blocks; i++) {
    uint32_t block = orderEntry(order, i);
    if (firstNamedAt[block] != blocks) {
      *error = "entry " + std::to_string(i) + " is " + std::to_string(block) + ", which entry " +
               std::to_string(firstNamedAt[block]) +
               " names already: only an order that names every block once can be undone";
      return false;
    }
    firstNamedAt[block] = i;
  }
  // blocks entries, all below blocks and none twice: every block is named.
  return true;
}

void restoreInto(const uint8_t* remixed, uint32_t dataLength, const uint8_t* order, uint8_t* out) {
  // Piece i of the remixed data is block order[i], as long as that block;
  // the pieces follow each other from offset 0.
  uint32_t offset = 0;
  for (uint32_t i = 0; i < blockCount(dataLength); i++) {
    BlockSpan span = sourceBlock(order, i, dataLength);
    memcpy(out + span.start, remixed + offset, span.length);
    offset += span.length;
  }
  assert(offset == dataLength);
}
