// Range encoder with an interval held in 80-bit extended arithmetic that
// rounds toward zero; emits 32-bit little-endian words.
//
// Read me first:
// - The interval is [U, U + range) with U = `base`, an unsigned 64-bit
//   integer. The encoder this stream format comes from keeps the base biased
//   by -2^63 in a signed 64-bit window (low = U - 2^63); bit 63 of U is the
//   carry into the held word, bits 62..31 the next output word.
// - `range` is an 80-bit extended value (64 significant bits), held exactly
//   as fixed point (extended_real.h). Before every symbol it is at least 2^31
//   and below 2^63; after a normalisation it is an integer of at least 2^51.
//   A symbol's quotient r = range / total is then at least 2^31 / kMaxTotal,
//   both products lie between r and range, and the new width is at least
//   r - 2 (hi >= floor(r * cumLow) + floor(r), step <= floor(r * cumLow) + 1).
// - U + range stays below 2^64 - 2^32 once the first word has been shifted
//   out (below 2^63 before that). So a word of 0xFFFFFFFF never arrives with
//   a carry, the held word is never 0xFFFFFFFF, and adding a carry to it
//   never wraps.
// - The first word of a stream is always 0 (the initial held word), and the
//   last is always even: finish() adds 1 to U and shifts out three times;
//   the second word is the first one's 31 leftover bits shifted up by one.
// - A symbol is [cumLow, cumHigh) out of total with cumLow < cumHigh <= total
//   and total <= kMaxTotal; the batch paths take totals up to kBlockSize.
// - Two arithmetic paths give the same bits: the x87 hardware format where
//   the host has it, and the integer model everywhere. Both are tested
//   against each other and against the reference encodeSymbol(). The
//   integer path is also the faster one on x86 (its chain of dependent
//   steps is shorter than the x87 division's), so the tool uses it.
#pragma once

#include <cstdint>

#include "extended_real.h"

// Largest total encodeSymbol accepts: keeps every value of the model at
// 2^14 or more, well inside what the fixed-point model holds exactly.
constexpr uint32_t kMaxTotal = 1u << 16;

struct RangeEncoder {
  Fixed range;            // interval width, an exact extended value
  uint64_t base;          // U, the unbiased base of the interval
  uint32_t heldWord;      // last complete word, not yet written
  uint32_t pendingCount;  // deferred words, 0xFFFFFFFF before carry
  uint8_t* codeBuffer;    // owned by the caller, see codeBufferBytes()
  uint32_t codeBytes;     // bytes of codeBuffer in use
};

// One coded symbol for the batch paths.
struct SymbolInterval {
  uint32_t cumLow;
  uint32_t cumHigh;
  uint32_t total;
};

enum class Arithmetic { kSoftware, kHardware };

// Sets the initial state: range 2^63 - 1, U = 0, no words.
void startEncoder(RangeEncoder* encoder, uint8_t* codeBuffer);

// Codes one symbol with the integer model, computed the plain way (a full
// division): the reference for the faster paths.
void encodeSymbol(RangeEncoder* encoder, uint32_t cumLow, uint32_t cumHigh, uint32_t total);

// Codes `count` symbols with the given arithmetic; totals at most kBlockSize.
void encodeIntervals(RangeEncoder* encoder, const SymbolInterval* intervals, uint32_t count,
                     Arithmetic arithmetic);

// Codes the bytes of one block of at most kBlockSize bytes under its complete
// byte counts (see BlockSource in cumulative_counts.h).
void encodeBlock(RangeEncoder* encoder, const uint8_t* block, uint32_t blockLength,
                 const int32_t* counts, Arithmetic arithmetic);

// Flushes the interval; the stream is then codeBuffer[0, codeBytes).
void finishEncoder(RangeEncoder* encoder);

// Emits one 32-bit step of U (see the read-me above).
void shiftOut(RangeEncoder* encoder);

// True where long double is the x87 80-bit format and the hardware path
// exists.
bool hardwareArithmeticAvailable();

// The faster exact path on this host.
Arithmetic fastestArithmetic();

// Both batch paths, for tests and fuzzers; the hardware one must only be
// called when hardwareArithmeticAvailable().
void encodeIntervalsSoftware(RangeEncoder* encoder, const SymbolInterval* intervals,
                             uint32_t count);
void encodeIntervalsHardware(RangeEncoder* encoder, const SymbolInterval* intervals,
                             uint32_t count);
void encodeBlockSoftware(RangeEncoder* encoder, const uint8_t* block, uint32_t blockLength,
                         const int32_t* counts);
void encodeBlockHardware(RangeEncoder* encoder, const uint8_t* block, uint32_t blockLength,
                         const int32_t* counts);

// Replaces a range below 2^31 by the integer whose high word is its integer
// part and whose low word is all ones, and shifts a word out.
void normalise(RangeEncoder* encoder);
