// morvalen, transcribed step by step as a reference: the baseline for the
// speed of build/morvalen and an independent second implementation to compare
// its outputs with. It follows the described arithmetic literally (one
// logarithm per term, every stale entry rescanned in full, one thread) and
// checks nothing: run it on well-formed matrices only.
//
// Usage: morvalen_direct MATRIX   (writes morvalen.ord and morvalen.frq in the
// working directory and prints one line per pass).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

struct MergeNode {
  uintptr_t left;
  uintptr_t right;
};

static uint32_t lastReadLength;
static uint32_t K;
static uint32_t n;
static int32_t* counts;
static float* rowCost;
static float* bestDelta;
static uint32_t* bestPartner;
static uint32_t* activeList;
static int32_t* rowTotal;
static uintptr_t* treeHandle;
static uint32_t leafCursor;

static uint32_t fileLength(FILE* file) {
  fseek(file, 0, SEEK_END);
  uint32_t length = uint32_t(ftell(file));
  fseek(file, 0, SEEK_SET);
  return length;
}

static uint8_t* readWholeFile(const char* path) {
  FILE* file = fopen(path, "rb");
  if (!file) {
    perror(path);
    exit(1);
  }
  lastReadLength = fileLength(file);
  uint8_t* buffer = static_cast<uint8_t*>(malloc(lastReadLength + 1));
  if (fread(buffer, 1, lastReadLength, file) != lastReadLength) exit(1);
  fclose(file);
  return buffer;
}

static void writeWholeFile(const void* data, uint32_t byteCount, const char* path) {
  FILE* file = fopen(path, "wb");
  fwrite(data, 1, byteCount, file);
  fclose(file);
}

static void writeU32LE(uint32_t value, FILE* file) {
  fputc(int(value & 0xFF), file);
  fputc(int((value >> 8) & 0xFF), file);
  fputc(int((value >> 16) & 0xFF), file);
  fputc(int((value >> 24) & 0xFF), file);
}

// 32-bit signed addition that wraps, as the counts and totals are defined.
static int32_t add32(int32_t x, int32_t y) { return int32_t(uint32_t(x) + uint32_t(y)); }

static double lnFactorial(int32_t x) {
  if (x < 1) return 0.0;
  double v = double(x);
  return (1.0 - v) + (v + 0.5) * log(v);
}

static int32_t* row(uint32_t r) { return counts + size_t(r) * K; }

static void computeRowCost(uint32_t r) {
  double s = 0.0;
  const int32_t* c = row(r);
  for (uint32_t k = 0; k < K; k++) s += lnFactorial(c[k]);
  double t = lnFactorial(add32(rowTotal[r], int32_t(K - 1)));
  double f = lnFactorial(int32_t(K - 1));
  rowCost[r] = float((t - s) - f);
}

static double mergeDelta(uint32_t a, uint32_t b) {
  double s = 0.0;
  const int32_t* ca = row(a);
  const int32_t* cb = row(b);
  for (uint32_t k = 0; k < K; k++) s += lnFactorial(add32(ca[k], cb[k]));
  double t = lnFactorial(add32(add32(add32(rowTotal[a], rowTotal[b]), -1), int32_t(K)));
  double f = lnFactorial(int32_t(K - 1));
  return ((t - s) - f) - (double(rowCost[a]) + double(rowCost[b]));
}

static void visit(uintptr_t h) {
  while ((h & 1) == 0) {
    const MergeNode* node = reinterpret_cast<const MergeNode*>(h);
    visit(node->left);
    h = node->right;
  }
  activeList[leafCursor++] = uint32_t(h >> 1);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: morvalen_direct MATRIX\n");
    return 2;
  }
  uint8_t* buffer = readWholeFile(argv[1]);
  const uint32_t* words = reinterpret_cast<const uint32_t*>(buffer);
  K = words[0];
  n = words[1];
  counts = reinterpret_cast<int32_t*>(buffer + 8);

  rowCost = static_cast<float*>(malloc(sizeof(float) * n + 1));
  bestDelta = static_cast<float*>(malloc(sizeof(float) * n + 1));
  bestPartner = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * n + 1));
  activeList = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * n + 1));
  rowTotal = static_cast<int32_t*>(malloc(sizeof(int32_t) * n + 1));
  treeHandle = static_cast<uintptr_t*>(malloc(sizeof(uintptr_t) * n + 1));
  for (uint32_t r = 0; r < n; r++) treeHandle[r] = 2 * uintptr_t(r) + 1;
  for (uint32_t r = 0; r < n; r++) {
    int32_t total = 0;
    for (uint32_t k = 0; k < K; k++) total = add32(total, row(r)[k]);
    rowTotal[r] = total;
  }
  uint32_t front = 0, back = n;
  for (uint32_t r = 0; r < n; r++) {
    if (rowTotal[r] != 0)
      activeList[front++] = r;
    else
      activeList[--back] = r;
  }
  int32_t ys = int32_t(front);
  for (uint32_t p = 0; p < n; p++) {
    uint32_t r = activeList[p];
    computeRowCost(r);
    bestPartner[r] = n;
  }

  const float sentinel = 1e30f;
  uintptr_t root = 0;
  while (ys > 1) {
    for (int32_t i = 0; i < ys; i++) {
      uint32_t r = activeList[i];
      if (bestPartner[r] >= n) {
        double best = double(sentinel);
        for (int32_t j = i + 1; j < ys; j++) {
          double d = mergeDelta(r, activeList[j]);
          if (best > d) {
            best = d;
            bestPartner[r] = uint32_t(j);
          }
        }
        bestDelta[r] = float(best);
      }
    }
    double em = double(sentinel);
    int32_t ei = -1, ej = -1;
    for (int32_t i = 0; i < ys; i++) {
      uint32_t r = activeList[i];
      if (double(bestDelta[r]) < em) {
        em = double(bestDelta[r]);
        ei = i;
        ej = int32_t(bestPartner[r]);
      }
    }
    printf("  EM = %14f, Ei = %3i, Ej = %3i", em, ei, ej);
    int32_t last = ys - 1;
    for (int32_t i = 0; i < ys; i++) {
      uint32_t r = activeList[i];
      if (bestPartner[r] == uint32_t(ei) || bestPartner[r] == uint32_t(ej) || bestPartner[r] == uint32_t(last))
        bestPartner[r] = n;
    }
    printf("   YS=%i\n", ys);
    uint32_t a = activeList[ei], b = activeList[ej];
    for (uint32_t k = 0; k < K; k++) row(a)[k] = add32(row(a)[k], row(b)[k]);
    rowTotal[a] = add32(rowTotal[a], rowTotal[b]);
    computeRowCost(a);
    MergeNode* node = static_cast<MergeNode*>(malloc(sizeof(MergeNode)));
    node->left = treeHandle[a];
    node->right = treeHandle[b];
    treeHandle[a] = reinterpret_cast<uintptr_t>(node);
    root = treeHandle[a];
    activeList[ej] = activeList[last];
    activeList[last] = b;
    for (int32_t j = 0; j < ei; j++) {
      uint32_t x = activeList[j];
      double d = mergeDelta(a, x);
      if (d < double(bestDelta[x])) {
        bestDelta[x] = float(d);
        bestPartner[x] = uint32_t(ei);
      }
    }
    for (int32_t j = ei + 1; j < last; j++) {
      double d = mergeDelta(a, activeList[j]);
      if (d < double(bestDelta[a])) {
        bestDelta[a] = float(d);
        bestPartner[a] = uint32_t(j);
      }
    }
    ys = last;
  }

  if (root != 0) visit(root);
  writeWholeFile(activeList, 4 * n, "morvalen.ord");
  uint8_t* fresh = readWholeFile(argv[1]);
  const int32_t* freshCounts = reinterpret_cast<const int32_t*>(fresh + 8);
  FILE* out = fopen("morvalen.frq", "wb");
  writeU32LE(K, out);
  writeU32LE(n, out);
  for (uint32_t i = 0; i < n; i++) fwrite(freshCounts + size_t(activeList[i]) * K, 4, K, out);
  fclose(out);
  return 0;
}
