// Count matrices for the morvalen tests: file images, block histograms of
// real files, and a clustering run that checks the cache invariants.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "clustering.h"

struct TestMatrix {
  uint32_t columns = 0;
  uint32_t rows = 0;
  std::vector<int32_t> counts;  // rows x columns, row-major
};

// The file image of a count matrix (little-endian words).
std::vector<uint8_t> matrixFileBytes(const TestMatrix& matrix);

// One row of 256 byte counts per 2048-byte block of `data`, or of the file
// at `path`.
TestMatrix blockHistograms(const std::vector<uint8_t>& data);
TestMatrix blockHistograms(const std::string& path);

// Pass reports of a clustering run and the resulting row order.
struct ClusteringRun {
  std::vector<PassReport> passes;
  std::vector<uint32_t> order;  // the final activeList
};

// Clusters a copy of `matrix` with the direct scans. With `checkInvariants`,
// every pass is checked against all pairs of live clusters (quadratic in
// the live count, so for small matrices only).
ClusteringRun clusterMatrix(const TestMatrix& matrix, bool checkInvariants);

// The pass line as the tool prints it.
std::string passLine(const PassReport& report);
