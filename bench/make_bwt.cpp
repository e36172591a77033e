// Bench helper: writes the Burrows-Wheeler transform of a file (libdivsufsort's
// divbwt; the primary index is dropped), to give blockcode BWT-like input.
// usage: make_bwt INPUT OUTPUT
#include <divsufsort.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fileio.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: make_bwt INPUT OUTPUT\n");
    return 2;
  }
  std::string error;
  uint8_t* data = readWholeFile(argv[1], &error);
  if (!data) {
    fprintf(stderr, "make_bwt: %s\n", error.c_str());
    return 1;
  }
  uint32_t length = lastReadLength;
  std::vector<uint8_t> transformed(length + 1);
  std::vector<saidx_t> work(length + 1);
  if (length > 0 && divbwt(data, transformed.data(), work.data(), saidx_t(length)) < 0) {
    fprintf(stderr, "make_bwt: divbwt failed\n");
    return 1;
  }
  if (!writeWholeFile(transformed.data(), length, argv[2], &error)) {
    fprintf(stderr, "make_bwt: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
