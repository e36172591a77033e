#include "sample_data.h"

#include <cstdio>
#include <string>

#include "fileio.h"

namespace {

// 64-bit linear congruential generator (Knuth's MMIX constants); the high
// bits are the good ones.
struct Rng {
  uint64_t state;
  uint32_t next() {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return uint32_t(state >> 33);
  }
  uint32_t below(uint32_t bound) { return next() % bound; }
};

const char* const kWords[] = {
    "the",    "of",      "and",   "to",    "a",      "in",     "that",   "it",     "was",   "he",
    "for",    "on",      "with",  "as",    "his",    "at",     "by",     "from",   "they",  "we",
    "had",    "not",     "but",   "what",  "all",    "were",   "when",   "there",  "can",   "said",
    "which",  "she",     "do",    "their", "if",     "will",   "each",   "about",  "how",   "up",
    "out",    "them",    "then",  "many",  "some",   "so",     "these",  "would",  "other", "into",
    "has",    "more",    "her",   "two",   "like",   "him",    "see",    "time",   "could", "no",
    "make",   "than",    "first", "been",  "long",   "little", "very",   "after",  "words", "called",
    "just",   "where",   "most",  "know",  "river",  "garden", "winter", "letter", "house", "morning",
};
constexpr uint32_t kWordCount = sizeof kWords / sizeof kWords[0];

// One stream of material: whole lines (or records) are appended to `pending`
// and handed out 2048 bytes at a time.
struct Stream {
  SampleKind kind;
  Rng rng;
  std::string pending;
  uint32_t lineNumber = 0;
  int32_t level = 0;  // the random walk of the records
};

void appendTextLine(Stream* s) {
  std::string line;
  while (line.size() < 64) {
    uint32_t words = 4 + s->rng.below(12);
    for (uint32_t w = 0; w < words; w++) {
      // The product of two uniform picks favours the first, common words.
      uint32_t index = s->rng.below(kWordCount) * s->rng.below(kWordCount) / kWordCount;
      std::string word = kWords[index];
      if (w == 0) word[0] = char(word[0] - 'a' + 'A');
      line += word;
      line += w + 1 == words ? (s->rng.below(4) == 0 ? "; " : ". ") : " ";
    }
  }
  s->pending += line;
  s->pending += '\n';
}

void appendTableLine(Stream* s) {
  // One draw per statement: the order of evaluation of function arguments
  // is unspecified, and the sample must not depend on the compiler.
  uint32_t year = 1990 + s->rng.below(36);
  uint32_t month = 1 + s->rng.below(12);
  uint32_t day = 1 + s->rng.below(28);
  uint32_t units = s->rng.below(100000);
  uint32_t cents = s->rng.below(100);
  char grade = "ABCDE"[s->rng.below(5)];
  uint32_t code = s->rng.below(1000);
  char line[96];
  s->lineNumber++;
  snprintf(line, sizeof line, "%06u,%04u-%02u-%02u,%8u.%02u,%c,%u\n", s->lineNumber, year, month, day, units,
           cents, grade, code);
  s->pending += line;
}

void appendRecord(Stream* s) {
  // An 8-byte record: a slowly wandering 16-bit level, a 16-bit sequence
  // number and a 32-bit field of small flags, all little-endian.
  s->level += int32_t(s->rng.below(61)) - 30;
  if (s->level > 4000) s->level = 4000;
  if (s->level < -4000) s->level = -4000;
  uint8_t record[8];
  uint32_t level = uint32_t(s->level) & 0xFFFF;
  uint32_t sequence = s->lineNumber++ & 0xFFFF;
  record[0] = uint8_t(level);
  record[1] = uint8_t(level >> 8);
  record[2] = uint8_t(sequence);
  record[3] = uint8_t(sequence >> 8);
  storeU32LE(1u << s->rng.below(6), record + 4);
  s->pending.append(reinterpret_cast<const char*>(record), 8);
}

void appendNoise(Stream* s) {
  for (int i = 0; i < 256; i++) s->pending += char(s->rng.next() >> 7);
}

void fill(Stream* s, size_t bytes) {
  while (s->pending.size() < bytes) {
    switch (s->kind) {
      case SampleKind::kText: appendTextLine(s); break;
      case SampleKind::kTable: appendTableLine(s); break;
      case SampleKind::kRecords: appendRecord(s); break;
      case SampleKind::kNoise: appendNoise(s); break;
    }
  }
}

}  // namespace

const char* sampleKindName(SampleKind kind) {
  static const char* const kNames[kSampleKindCount] = {"text", "table", "records", "noise"};
  return kNames[int(kind)];
}

std::vector<SampleKind> sampleBlockKinds(uint32_t length, uint64_t seed) {
  Rng rng{seed ^ 0x9E3779B97F4A7C15u};
  std::vector<SampleKind> kinds(blockCount(length));
  for (SampleKind& kind : kinds) kind = SampleKind(rng.below(kSampleKindCount));
  return kinds;
}

std::vector<uint8_t> makeSample(uint32_t length, uint64_t seed) {
  std::vector<SampleKind> kinds = sampleBlockKinds(length, seed);
  Stream streams[kSampleKindCount];
  for (int k = 0; k < kSampleKindCount; k++) {
    streams[k].kind = SampleKind(k);
    streams[k].rng.state = seed + uint64_t(k + 1) * 0xD1B54A32D192ED03u;
  }
  std::vector<uint8_t> sample;
  sample.reserve(length);
  for (uint32_t b = 0; b < kinds.size(); b++) {
    uint32_t blockLength = length - b * kBlockSize < kBlockSize ? length - b * kBlockSize : kBlockSize;
    Stream* s = &streams[int(kinds[b])];
    fill(s, blockLength);
    sample.insert(sample.end(), s->pending.begin(), s->pending.begin() + blockLength);
    s->pending.erase(0, blockLength);
  }
  return sample;
}
