// Baseline for bench/blockcode.sh: a literal, single-file transcription of
// blockcode as first described, with the x87 80-bit long double in rounding
// toward zero, the linear cumulative sum per byte, and no error checking.
// Only meaningful on x86 (long double must be the 80-bit format). It reads
// "book1bwt." and writes "book1bwt.frq" and "book1bwt.bar" in the working
// folder, like the real tool.
#include <cfenv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static_assert(sizeof(long double) >= 10, "needs the x87 80-bit long double");

struct RangeEncoder {
  long double range;
  long double low;
  long double roundUp;    // 2^63 + 1
  long double roundDown;  // 2^63
  uint32_t heldWord;
  uint32_t pendingCount;
  uint8_t* codeBuffer;
  uint32_t codeBytes;
};

static void setExtendedTowardZero() {
  unsigned short control;
  __asm__ volatile("fnstcw %0" : "=m"(control));
  control = uint16_t((control & ~0x0F00u) | 0x0300u | 0x0C00u);  // 64-bit precision, chop
  __asm__ volatile("fldcw %0" : : "m"(control));
  fesetround(FE_TOWARDZERO);
}

static void start(RangeEncoder* e, uint8_t* buffer) {
  setExtendedTowardZero();
  e->range = 9223372036854775807.0L;
  e->low = -9223372036854775808.0L;
  e->roundUp = 9223372036854775809.0L;
  e->roundDown = 9223372036854775808.0L;
  e->heldWord = 0;
  e->pendingCount = 0;
  e->codeBuffer = buffer;
  e->codeBytes = 0;
}

static void appendWord(RangeEncoder* e, uint32_t word) {
  uint8_t* p = e->codeBuffer + e->codeBytes;
  p[0] = uint8_t(word);
  p[1] = uint8_t(word >> 8);
  p[2] = uint8_t(word >> 16);
  p[3] = uint8_t(word >> 24);
  e->codeBytes += 4;
}

static void shiftOut(RangeEncoder* e) {
  int64_t l = (int64_t)e->low;
  uint32_t carry = l >= 0 ? 1 : 0;
  uint32_t word = uint32_t((l >> 31) & 0xFFFFFFFF);
  e->low = (long double)((l & 0x7FFFFFFF) << 32) - e->roundDown;
  if (word == 0xFFFFFFFFu) {
    e->pendingCount++;
    return;
  }
  appendWord(e, e->heldWord + carry);
  for (; e->pendingCount > 0; e->pendingCount--) appendWord(e, carry ? 0u : 0xFFFFFFFFu);
  e->heldWord = word;
}

static void encodeSymbol(RangeEncoder* e, int32_t cumLow, int32_t cumHigh, int32_t total) {
  long double r = e->range / total;
  long double hi = r * cumHigh;
  long double lo = r * cumLow;
  long double step = (lo + e->roundUp) - e->roundDown;
  e->low = e->low + step;
  e->range = hi - step;
  int32_t truncated;
  __asm__("fistpl %0" : "=m"(truncated) : "t"(e->range) : "st");  // integer-indefinite if too large
  if (truncated >= 0) {
    e->range = (long double)truncated * 4294967296.0L + 4294967295.0L;
    shiftOut(e);
  }
}

static void finish(RangeEncoder* e) {
  e->low = e->low + 1;
  shiftOut(e);
  shiftOut(e);
  shiftOut(e);
}

static void writeU32LE(uint32_t value, FILE* file) {
  putc(int(value & 0xFF), file);
  putc(int((value >> 8) & 0xFF), file);
  putc(int((value >> 16) & 0xFF), file);
  putc(int((value >> 24) & 0xFF), file);
}

static uint32_t fileLength(FILE* file) {
  fseek(file, 0, SEEK_END);
  uint32_t length = uint32_t(ftell(file));
  fseek(file, 0, SEEK_SET);
  return length;
}

int main() {
  FILE* input = fopen("book1bwt.", "rb");
  FILE* bar = fopen("book1bwt.bar", "wb");
  uint32_t length = fileLength(input);
  uint8_t* data = (uint8_t*)malloc(length + 1);
  fread(data, 1, length, input);
  uint8_t* code = (uint8_t*)malloc(2 * size_t(length) + 64);  // room for short inputs
  FILE* frq = fopen("book1bwt.frq", "wb");
  RangeEncoder encoder;
  start(&encoder, code);
  writeU32LE(256, frq);
  writeU32LE((length + 2047) >> 11, frq);
  int32_t counts[256];
  for (uint32_t offset = 0; offset < length; offset += 2048) {
    uint32_t end = offset + 2048 < length ? offset + 2048 : length;
    memset(counts, 0, sizeof counts);
    for (uint32_t i = offset; i < end; i++) counts[data[i]]++;
    fwrite(counts, 4, 256, frq);
    int32_t remainingTotal = 2048;
    for (uint32_t i = offset; i < end; i++) {
      int u = data[i];
      int32_t cumLow = 0;
      for (int v = 0; v < u; v++) cumLow += counts[v];
      encodeSymbol(&encoder, cumLow, cumLow + counts[u], remainingTotal);
      counts[u]--;
      remainingTotal--;
    }
  }
  finish(&encoder);
  fwrite(code, 1, encoder.codeBytes, bar);
  fclose(bar);
  fclose(input);
  fclose(frq);
  return 0;
}
