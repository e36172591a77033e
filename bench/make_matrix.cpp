// Count matrices for the morvalen benchmarks, made at bench time from files
// on disk (never committed):
//   make_matrix corpus OUT FILE...      each FILE Burrows-Wheeler transformed
//                                       (libdivsufsort), the transforms
//                                       concatenated, one row of 256 byte
//                                       counts per 2048-byte block
//   make_matrix raw OUT FILE...         the files concatenated as they are,
//                                       one row per 2048-byte block
//   make_matrix grow IN OUT ROWS SEED   ROWS rows taken cyclically from the
//                                       nonzero rows of IN, each nonzero
//                                       count moved by -2..+2, deterministically
//                                       from SEED
//   make_matrix copies IN OUT ROWS BASES CHANGES SEED
//                                       ROWS near copies of BASES rows spread
//                                       evenly over the nonzero rows of IN:
//                                       each row copies a base picked at
//                                       random and moves CHANGES units of its
//                                       counts to random columns (bytes
//                                       overwritten), so the row total stays;
//                                       BASES 1 and CHANGES 0 give identical
//                                       rows
#include <divsufsort.h>

#include <algorithm>
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
  bool written = fwrite(header, 4, 2, file) == 2 &&
                 (counts.empty() || fwrite(counts.data(), 4, counts.size(), file) == counts.size());
  if (fclose(file) != 0 || !written) {
    fprintf(stderr, "make_matrix: cannot write %s\n", path);
    exit(1);
  }
}

// One row per 2048-byte block of the files, each transformed first when
// `transform` is set, concatenated.
static int fileMatrix(const char* out, int fileCount, char** files, bool transform) {
  std::vector<uint8_t> all;
  for (int f = 0; f < fileCount; f++) {
    std::vector<uint8_t> data = readFile(files[f]);
    if (!transform) {
      all.insert(all.end(), data.begin(), data.end());
      continue;
    }
    if (data.size() >= size_t(INT32_MAX)) {
      fprintf(stderr, "make_matrix: %s is too large to transform\n", files[f]);
      return 1;
    }
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

// A count matrix read whole, and its rows whose counts sum to nonzero.
struct SourceMatrix {
  std::vector<int32_t> counts;
  uint32_t columns = 0;
  uint32_t rows = 0;
  std::vector<uint32_t> nonzero;
  const int32_t* row(uint32_t r) const { return counts.data() + size_t(r) * columns; }
};

static SourceMatrix readMatrix(const char* path) {
  std::vector<uint8_t> bytes = readFile(path);
  SourceMatrix m;
  if (bytes.size() >= 8) {
    memcpy(&m.columns, bytes.data(), 4);
    memcpy(&m.rows, bytes.data() + 4, 4);
  }
  if (bytes.size() < 8 || m.columns == 0 || (bytes.size() - 8) / 4 / m.columns < m.rows) {
    fprintf(stderr, "make_matrix: %s is not a count matrix\n", path);
    exit(1);
  }
  m.counts.resize(size_t(m.rows) * m.columns);
  memcpy(m.counts.data(), bytes.data() + 8, m.counts.size() * 4);
  for (uint32_t r = 0; r < m.rows; r++) {
    int64_t total = 0;
    for (uint32_t k = 0; k < m.columns; k++) total += m.row(r)[k];
    if (total != 0) m.nonzero.push_back(r);
  }
  if (m.nonzero.empty()) {
    fprintf(stderr, "make_matrix: %s has no nonzero row\n", path);
    exit(1);
  }
  return m;
}

static int grownMatrix(const char* in, const char* out, uint32_t rows, uint64_t seed) {
  SourceMatrix m = readMatrix(in);
  const uint32_t columns = m.columns;
  const std::vector<uint32_t>& nonzero = m.nonzero;
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  std::vector<int32_t> counts(size_t(rows) * columns);
  for (uint32_t r = 0; r < rows; r++) {
    const int32_t* from = m.row(nonzero[r % nonzero.size()]);
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

static int copiesMatrix(const char* in, const char* out, uint32_t rows, uint32_t bases, uint32_t changes,
                        uint64_t seed) {
  SourceMatrix m = readMatrix(in);
  if (bases == 0 || bases > m.nonzero.size()) {
    fprintf(stderr, "make_matrix: %s has %zu nonzero rows, not %u bases\n", in, m.nonzero.size(), bases);
    return 1;
  }
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  std::vector<int32_t> counts(size_t(rows) * m.columns);
  for (uint32_t r = 0; r < rows; r++) {
    uint32_t base = bases == 1 ? 0 : uint32_t(nextRandom(&state) % bases);
    const int32_t* from = m.row(m.nonzero[size_t(base) * m.nonzero.size() / bases]);
    int32_t* to = &counts[size_t(r) * m.columns];
    memcpy(to, from, size_t(m.columns) * 4);
    int64_t total = 0;
    for (uint32_t k = 0; k < m.columns; k++) total += std::max(to[k], 0);
    // A byte overwritten: one unit leaves the column of a byte taken at
    // random and goes to a column taken at random.
    for (uint32_t c = 0; c < changes && total > 0; c++) {
      int64_t unit = int64_t(nextRandom(&state) % uint64_t(total));
      uint32_t k = 0;
      while (unit >= std::max(to[k], 0)) unit -= std::max(to[k++], 0);
      to[k]--;
      int32_t& gains = to[nextRandom(&state) % m.columns];
      if (gains++ < 0) total--;  // only the units of positive counts are drawn
    }
  }
  writeMatrix(out, m.columns, counts);
  printf("%s: %u rows, near copies of %u rows of %s\n", out, rows, bases, in);
  return 0;
}

int main(int argc, char** argv) {
  if (argc >= 4 && strcmp(argv[1], "corpus") == 0) return fileMatrix(argv[2], argc - 3, argv + 3, true);
  if (argc >= 4 && strcmp(argv[1], "raw") == 0) return fileMatrix(argv[2], argc - 3, argv + 3, false);
  if (argc == 6 && strcmp(argv[1], "grow") == 0)
    return grownMatrix(argv[2], argv[3], uint32_t(strtoul(argv[4], nullptr, 10)), strtoull(argv[5], nullptr, 10));
  if (argc == 8 && strcmp(argv[1], "copies") == 0)
    return copiesMatrix(argv[2], argv[3], uint32_t(strtoul(argv[4], nullptr, 10)),
                        uint32_t(strtoul(argv[5], nullptr, 10)), uint32_t(strtoul(argv[6], nullptr, 10)),
                        strtoull(argv[7], nullptr, 10));
  fprintf(stderr,
          "usage: make_matrix corpus|raw OUT FILE... | make_matrix grow IN OUT ROWS SEED |\n"
          "       make_matrix copies IN OUT ROWS BASES CHANGES SEED\n");
  return 2;
}
