#include "clustering.h"

#include <cstdlib>

#include "cost_model.h"

static const int32_t* rowOf(const ClusteringState& state, uint32_t row) {
  return state.counts + size_t(row) * state.columns;
}

double clusterMergeDelta(const ClusteringState& state, uint32_t a, uint32_t b) {
  return mergeDelta(rowOf(state, a), rowOf(state, b), state.columns, state.rowTotal[a],
                    state.rowTotal[b], state.rowCost[a], state.rowCost[b], state.constant);
}

// ---- The direct pass scans -------------------------------------------------

void refreshStaleEntries(ClusteringState& state) {
  const uint32_t* active = state.activeList;
  for (uint32_t i = 0; i < state.liveCount; i++) {
    uint32_t r = active[i];
    if (state.bestPartner[r] < state.rows) continue;
    // The running best stays in double; only the result is rounded.
    double best = double(kNoDelta);
    for (uint32_t j = i + 1; j < state.liveCount; j++) {
      double d = clusterMergeDelta(state, r, active[j]);
      if (best > d) {
        best = d;
        state.bestPartner[r] = j;
      }
    }
    state.bestDelta[r] = float(best);
  }
}

PassChoice selectInRange(const ClusteringState& state, uint32_t from, uint32_t to) {
  PassChoice choice;
  for (uint32_t i = from; i < to; i++) {
    uint32_t r = state.activeList[i];
    if (state.bestDelta[r] < choice.bestDelta) {
      choice.bestDelta = state.bestDelta[r];
      choice.first = int32_t(i);
      choice.second = int32_t(state.bestPartner[r]);
    }
  }
  return choice;
}

PassChoice selectPair(const ClusteringState& state) { return selectInRange(state, 0, state.liveCount); }

void invalidateEntries(ClusteringState& state, const PassChoice& choice, uint32_t last) {
  for (uint32_t i = 0; i <= last; i++) {
    uint32_t r = state.activeList[i];
    uint32_t partner = state.bestPartner[r];
    if (partner == uint32_t(choice.first) || partner == uint32_t(choice.second) || partner == last)
      state.bestPartner[r] = state.rows;
  }
}

void updateNeighbours(ClusteringState& state, uint32_t merged, uint32_t last) {
  uint32_t a = state.activeList[merged];
  // Earlier clusters may now prefer the merged one. Their cached delta is a
  // float, so a delta equal to the unrounded best can still replace it.
  for (uint32_t j = 0; j < merged; j++) {
    uint32_t x = state.activeList[j];
    double d = clusterMergeDelta(state, a, x);
    if (d < double(state.bestDelta[x])) {
      state.bestDelta[x] = float(d);
      state.bestPartner[x] = merged;
    }
  }
  // Later clusters: bestDelta[a] still holds this pass's EM, so a's entry
  // becomes valid only if some later cluster beats it.
  for (uint32_t j = merged + 1; j < last; j++) {
    double d = clusterMergeDelta(state, a, state.activeList[j]);
    if (d < double(state.bestDelta[a])) {
      state.bestDelta[a] = float(d);
      state.bestPartner[a] = j;
    }
  }
}

static PassChoice findPairDirect(void*, ClusteringState& state) {
  refreshStaleEntries(state);
  return selectPair(state);
}

static void followMergeDirect(void*, ClusteringState& state, const PassChoice& choice, uint32_t last) {
  invalidateEntries(state, choice, last);
  updateNeighbours(state, uint32_t(choice.first), last);
}

const PassScans kDirectScans = {nullptr, findPairDirect, followMergeDirect, nullptr};

// ---- Start-up ----------------------------------------------------------------

// Allocates `count` entries of `T`, or sets *error and returns null.
template <typename T>
static T* allocateArray(uint32_t count, const char* what, std::string* error) {
  size_t entries = count == 0 ? 1 : size_t(count);
  if (entries > SIZE_MAX / sizeof(T)) {
    *error = std::string("cannot allocate ") + what + " for " + std::to_string(count) + " entries: too large";
    return nullptr;
  }
  T* array = static_cast<T*>(malloc(entries * sizeof(T)));
  if (!array) {
    *error = std::string("cannot allocate ") + what + " (" + std::to_string(entries * sizeof(T)) +
             " bytes) for " + std::to_string(count) + " rows: out of memory";
  }
  return array;
}

static bool allocateRowArrays(ClusteringState& state, std::string* error) {
  uint32_t n = state.rows;
  return (state.rowCost = allocateArray<float>(n, "the row costs", error)) &&
         (state.bestDelta = allocateArray<float>(n, "the cached deltas", error)) &&
         (state.bestPartner = allocateArray<uint32_t>(n, "the cached partners", error)) &&
         (state.activeList = allocateArray<uint32_t>(n, "the list of clusters", error)) &&
         (state.rowTotal = allocateArray<int32_t>(n, "the row totals", error)) &&
         (state.treeHandle = allocateArray<TreeHandle>(n, "the merge tree handles", error));
}

// Nonzero rows to the front in ascending order, rows of total 0 to the back,
// so that read from the front they come in descending row order.
static void partitionRows(ClusteringState& state) {
  uint32_t front = 0;
  uint32_t back = state.rows;
  for (uint32_t r = 0; r < state.rows; r++) {
    if (state.rowTotal[r] != 0) {
      state.activeList[front++] = r;
    } else {
      state.activeList[--back] = r;
    }
  }
  state.nonzeroRows = front;
  state.liveCount = front;
}

// True when some row's total (summed as the clustering sums it) is not 0.
// Stops at the first such row, which is usually row 0.
static bool anyNonzeroRow(const ClusteringState& state) {
  if (state.columns == 0) return false;
  for (uint32_t r = 0; r < state.rows; r++)
    if (rowSum(rowOf(state, r), state.columns) != 0) return true;
  return false;
}

// Rows of total 0 never take part in a pass. When every row is one (always
// so with K = 0, where an 8-byte header can promise half a billion rows),
// the list of rows, which becomes the order file, is all the state needed:
// the partition puts them in descending order and no pass runs.
static bool startWithoutClusters(ClusteringState& state, std::string* error) {
  state.activeList = allocateArray<uint32_t>(state.rows, "the list of clusters", error);
  if (!state.activeList) return false;
  for (uint32_t p = 0; p < state.rows; p++) state.activeList[p] = state.rows - 1 - p;
  state.nodes = allocateArray<MergeNode>(0, "the merge tree nodes", error);
  return state.nodes != nullptr;
}

bool startClustering(ClusteringState& state, int32_t* counts, uint32_t columns, uint32_t rows,
                     std::string* error) {
  state = ClusteringState();
  state.counts = counts;
  state.columns = columns;
  state.rows = rows;
  state.constant = constantTerm(columns);
  if (!anyNonzeroRow(state)) return startWithoutClusters(state, error);
  if (!allocateRowArrays(state, error)) return false;
  for (uint32_t r = 0; r < rows; r++) state.treeHandle[r] = leafHandle(r);
  for (uint32_t r = 0; r < rows; r++) state.rowTotal[r] = rowSum(rowOf(state, r), columns);
  partitionRows(state);
  for (uint32_t p = 0; p < rows; p++) {
    uint32_t r = state.activeList[p];
    state.rowCost[r] = rowCost(rowOf(state, r), columns, state.rowTotal[r], state.constant);
    state.bestPartner[r] = rows;
    // Never read before it is written; set so that the arrays are defined.
    state.bestDelta[r] = kNoDelta;
  }
  uint32_t merges = state.nonzeroRows > 1 ? state.nonzeroRows - 1 : 0;
  state.nodes = allocateArray<MergeNode>(merges, "the merge tree nodes", error);
  return state.nodes != nullptr;
}

// ---- Passes ------------------------------------------------------------------

// Adds row b into row a, records the merge in the tree and moves the cluster
// at `last` into b's position, leaving b just outside the live range.
static void mergeClusters(ClusteringState& state, const PassScans& scans, uint32_t first, uint32_t second,
                          uint32_t last) {
  uint32_t a = state.activeList[first];
  uint32_t b = state.activeList[second];
  int32_t* rowA = state.counts + size_t(a) * state.columns;
  const int32_t* rowB = rowOf(state, b);
  for (uint32_t k = 0; k < state.columns; k++) rowA[k] = wrappingAdd(rowA[k], rowB[k]);
  state.rowTotal[a] = wrappingAdd(state.rowTotal[a], state.rowTotal[b]);
  state.rowCost[a] = scans.mergedCost ? scans.mergedCost(scans.scans, rowA, state.columns, state.rowTotal[a], state.constant)
                                      : rowCost(rowA, state.columns, state.rowTotal[a], state.constant);

  MergeNode* node = &state.nodes[state.nodesUsed++];
  node->left = state.treeHandle[a];
  node->right = state.treeHandle[b];
  state.treeHandle[a] = nodeHandle(node);

  state.activeList[second] = state.activeList[last];
  state.activeList[last] = b;
}

bool runPasses(ClusteringState& state, const PassScans& scans, PassObserver observer,
               void* observerContext, std::string* error) {
  while (state.liveCount > 1) {
    PassChoice choice = scans.findPair(scans.scans, state);
    uint32_t last = state.liveCount - 1;
    if (choice.first < 0 || uint32_t(choice.second) <= uint32_t(choice.first) ||
        uint32_t(choice.second) > last) {
      *error = "internal error: no pair to merge among " + std::to_string(state.liveCount) + " clusters";
      return false;
    }
    if (observer) {
      PassReport report = {choice.bestDelta, choice.first, choice.second, state.liveCount};
      observer(observerContext, report, state);
    }
    mergeClusters(state, scans, uint32_t(choice.first), uint32_t(choice.second), last);
    scans.followMerge(scans.scans, state, choice, last);
    state.liveCount = last;
  }
  return true;
}

TreeHandle clusteringRoot(const ClusteringState& state) {
  return state.treeHandle[state.activeList[0]];
}

bool writeRowOrder(ClusteringState& state, std::string* error) {
  if (state.nonzeroRows < 2) return true;
  return writeLeafOrder(clusteringRoot(state), state.nonzeroRows, state.activeList, error);
}
