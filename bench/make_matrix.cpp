// Count matrices for the morvalen benchmarks, made at bench time from files
// on disk (never committed):
//   make_matrix corpus OUT FILE...      each FILE Burrows-Wheeler transformed
//                                       (libdivsufsort), the transforms
//                                       concatenated, one row of 256 byte
//                                       counts per 2048-byte block
//   make_matrix grow IN OUT ROWS SEED   ROWS rows taken cyclically from the
//                                       nonzero rows of IN, each nonzero
//                                       count moved by -2..+2, deterministically
//                                       from SEED
#include <divsufsort.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static std::vector<uint8_t> readFile(const char* path) {
  std::vector<uint8_t> bytes;
  FILE* file = fopen(path, "rb");
  if (!file) {
    fprintf(stderr, "make_matrix: cannot open %s\n", path);
    exit(1);
  }
  uint8_t chunk[1 << 16];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  fclose(file);
  return bytes;
}

static void writeMatrix(const char* path, uint32_t columns, const std::vector<int32_t>& counts) {
  FILE* file = fopen(path, "wb");
  if (!file) {
    fprintf(stderr, "make_matrix: cannot create %s\n", path);
    exit(1);
  }
  uint32_t header[2] = {columns, uint32_t(counts.size() / columns)};
  fwrite(header, 4, 2, file);
  fwrite(counts.data(), 4, counts.size(), file);
  if (fclose(file) != 0) exit(1);
}

static int corpusMatrix(const char* out, int fileCount, char** files) {
  std::vector<uint8_t> all;
  for (int f = 0; f < fileCount; f++) {
    std::vector<uint8_t> data = readFile(files[f]);
    std::vector<uint8_t> transformed(data.size());
    std::vector<saidx_t> work(data.size() + 1);
    if (!data.empty() &&
        divbwt(data.data(), transformed.data(), work.data(), saidx_t(data.size())) < 0) {
      fprintf(stderr, "make_matrix: transform of %s failed\n", files[f]);
      return 1;
    }
    all.insert(all.end(), transformed.begin(), transformed.end());
  }
  size_t blocks = (all.size() + 2047) / 2048;
  std::vector<int32_t> counts(blocks * 256, 0);
  for (size_t i = 0; i < all.size(); i++) counts[(i / 2048) * 256 + all[i]]++;
  writeMatrix(out, 256, counts);
  printf("%s: %zu bytes, %zu rows\n", out, all.size(), blocks);
  return 0;
}

static uint64_t nextRandom(uint64_t* state) {
  uint64_t x = *state;
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return *state = x;
}

static int grownMatrix(const char* in, const char* out, uint32_t rows, uint64_t seed) {
  std::vector<uint8_t> bytes = readFile(in);
  uint32_t columns, inRows;
  memcpy(&columns, bytes.data(), 4);
  memcpy(&inRows, bytes.data() + 4, 4);
  const int32_t* source = reinterpret_cast<const int32_t*>(bytes.data() + 8);
  std::vector<uint32_t> nonzero;
  for (uint32_t r = 0; r < inRows; r++) {
    int64_t total = 0;
    for (uint32_t k = 0; k < columns; k++) total += source[size_t(r) * columns + k];
    if (total != 0) nonzero.push_back(r);
  }
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  std::vector<int32_t> counts(size_t(rows) * columns);
  for (uint32_t r = 0; r < rows; r++) {
    const int32_t* from = source + size_t(nonzero[r % nonzero.size()]) * columns;
    for (uint32_t k = 0; k < columns; k++) {
      int32_t c = from[k];
      // Nonzero counts move by -2..+2 (a count of 1 or 2 may drop to 0); the
      // columns a block uses stay those of its source, as in real data.
      uint64_t x = nextRandom(&state);
      if (c > 0) c += int32_t(x % 5) - 2;
      counts[size_t(r) * columns + k] = c < 0 ? 0 : c;
    }
  }
  writeMatrix(out, columns, counts);
  printf("%s: %u rows from %zu nonzero rows of %s\n", out, rows, nonzero.size(), in);
  return 0;
}

int main(int argc, char** argv) {
  if (argc >= 4 && strcmp(argv[1], "corpus") == 0) return corpusMatrix(argv[2], argc - 3, argv + 3);
  if (argc == 6 && strcmp(argv[1], "grow") == 0)
    return grownMatrix(argv[2], argv[3], uint32_t(strtoul(argv[4], nullptr, 10)), strtoull(argv[5], nullptr, 10));
  fprintf(stderr, "usage: make_matrix corpus OUT FILE... | make_matrix grow IN OUT ROWS SEED\n");
  return 2;
}
