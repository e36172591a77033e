// morvalen MATRIX: clusters the rows of a count matrix, prints one line per
// merge, and writes the leaf order ("morvalen.ord") and the matrix with its
// rows in that order ("morvalen.frq").
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "clustering.h"
#include "engine.h"
#include "fileio.h"
#include "progress.h"
#include "tool.h"
#include "worker_pool.h"

static const char kHelp[] =
    "usage: morvalen MATRIX\n"
    "Clusters the rows of the count matrix MATRIX, prints one line per merge and\n"
    "writes the row order to \"morvalen.ord\" and the matrix with its rows in that\n"
    "order to \"morvalen.frq\", both in the working folder.\n"
    "\n"
    "Options:\n"
    "  -h, --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "  --             end the options: a later argument is MATRIX even if\n"
    "                 it starts with -\n"
    "\n"
    "Environment:\n"
    "  MORVALEN_THREADS  threads to use, 1 to 1024 (default: every hardware thread);\n"
    "                    the results do not depend on it\n"
    "\n"
    "On a terminal, a progress line on stderr shows the merges done and the time\n"
    "left.\n"
    "Exit status: 0 on success, 1 when the run fails, 2 on a usage error.\n";

static const char kOrderPath[] = "morvalen.ord";
static const char kMatrixPath[] = "morvalen.frq";

// FNV-1a over the file's 8-byte words (in host order: the hash never leaves
// this run), then its last bytes: tells whether the second read saw the
// same file as the first, whose counts the merges overwrite. One
// multiplication per word, not per byte, in the chain.
static uint64_t contentHash(const uint8_t* bytes, uint32_t length) {
  uint64_t hash = 0xCBF29CE484222325u;
  uint32_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t word;
    memcpy(&word, bytes + i, sizeof word);
    hash = (hash ^ word) * 0x100000001B3u;
  }
  for (; i < length; i++) hash = (hash ^ bytes[i]) * 0x100000001B3u;
  return hash;
}

// Reads the file at `path` whole, with its length and hash.
static uint8_t* readInput(const char* path, uint32_t* length, uint64_t* hash) {
  std::string error;
  uint8_t* buffer = readWholeFile(path, &error);
  if (!buffer) failWith(error);
  *length = lastReadLength;
  *hash = contentHash(buffer, *length);
  return buffer;
}

// The matrix in a buffer read from `path`, checked against its header.
static CountMatrix parseOrFail(const char* path, uint8_t* buffer, uint32_t length) {
  std::string error;
  CountMatrix matrix;
  if (!parseCountMatrix(buffer, length, &matrix, &error))
    failWith("cannot use " + quotedName(path) + " as a count matrix: " + error);
  return matrix;
}

static CountMatrix loadMatrix(const char* path, uint32_t* length, uint64_t* hash) {
  uint8_t* buffer = readInput(path, length, hash);
  return parseOrFail(path, buffer, *length);
}

// The order file holds 4 bytes per row and, like every file the tools read,
// must stay below 2^31 bytes. This also bounds the n-entry arrays when K = 0,
// where the header alone can promise 2^32 - 1 rows.
static void checkRowCount(const char* path, uint32_t rows) {
  if (uint64_t(rows) * 4 > kMaxFileLength)
    failWith("cannot use " + quotedName(path) + ": " + std::to_string(rows) +
             " rows would make an order file of 2^31 bytes or more");
}

// Prints the pass lines and moves the progress line. When stdout is the
// terminal that shows the progress line, the pass lines are gathered and
// written between redraws of the progress line, a few times a second, so
// that the two never share a line on screen; the bytes are the same.
struct PassPrinter {
  uint32_t clusters;       // live clusters before the first merge
  bool besideProgress;     // stdout shares the terminal with the progress line
  std::string pending;     // lines not yet written, when besideProgress
  std::chrono::steady_clock::time_point lastWrite;
};

static void writePending(PassPrinter& printer) {
  if (!writeBesideProgress(printer.pending.data(), printer.pending.size(), stdout))
    failWith("cannot write to standard output: " + systemError());
  printer.pending.clear();
  printer.lastWrite = std::chrono::steady_clock::now();
}

static void printPass(void* context, const PassReport& report, const ClusteringState&) {
  PassPrinter& printer = *static_cast<PassPrinter*>(context);
  setProgress(printer.clusters - report.liveCount);
  if (!printer.besideProgress) {
    printf("  EM = %14f, Ei = %3i, Ej = %3i", report.bestDelta, report.first, report.second);
    printf("   YS=%i\n", int(report.liveCount));
    return;
  }
  char line[200];
  snprintf(line, sizeof line, "  EM = %14f, Ei = %3i, Ej = %3i   YS=%i\n", report.bestDelta, report.first,
           report.second, int(report.liveCount));
  printer.pending += line;
  if (std::chrono::steady_clock::now() - printer.lastWrite > std::chrono::milliseconds(100)) writePending(printer);
}

// Reads the input again for the rows to copy; the first buffer holds the
// summed clusters. Refuses a file that changed in between.
static CountMatrix reloadMatrix(const char* path, uint32_t firstLength, uint64_t firstHash) {
  uint32_t length = 0;
  uint64_t hash = 0;
  uint8_t* buffer = readInput(path, &length, &hash);
  if (length != firstLength || hash != firstHash)
    failWith("cannot read " + quotedName(path) + " again: it changed while the rows were clustered");
  return parseOrFail(path, buffer, length);
}

static void openOrFail(const char* path, OutputFile* output) {
  std::string error;
  if (!openOutput(path, output, &error)) failWith(error);
}

// Threads for the clustering: MORVALEN_THREADS if set, else every hardware
// thread. The results do not depend on it.
static unsigned threadCountOrFail() {
  const char* text = getenv("MORVALEN_THREADS");
  if (!text) return defaultThreadCount();
  unsigned threads = 0;
  std::string error;
  if (!parseThreadCount(text, &threads, &error)) failWith("MORVALEN_THREADS: " + error);
  return threads;
}

int main(int argc, char** argv) {
  setToolName("morvalen");
  CommandLine commandLine;
  commandLine.synopsis = "morvalen MATRIX";
  commandLine.help = kHelp;
  commandLine.minOperands = 1;
  commandLine.maxOperands = 1;
  const char* path = parseCommandLine(argc, argv, commandLine)[0];
  // Tens of thousands of pass lines: no flush per line, even on a terminal.
  setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);

  uint32_t length = 0;
  uint64_t hash = 0;
  CountMatrix matrix = loadMatrix(path, &length, &hash);
  checkRowCount(path, matrix.rows);

  std::string error;
  ClusteringState state;
  FastEngine engine;
  FastScanOptions options;
  options.threads = threadCountOrFail();
  if (!startClustering(state, matrix.counts, matrix.columns, matrix.rows, &error) ||
      !startFastScans(engine, state, options, &error))
    failWith(error);
  PassPrinter printer;
  printer.clusters = state.nonzeroRows;
  if (state.nonzeroRows > 1) {
    ProgressPlan plan;
    plan.label = "morvalen";
    plan.unit = "merges";
    plan.total = state.nonzeroRows - 1;
    plan.pace = ProgressPace::kShrinking;
    startProgress(plan);
  }
  printer.besideProgress = progressActive() && isatty(STDOUT_FILENO);
  printer.lastWrite = std::chrono::steady_clock::now();
  bool clustered = runPasses(state, fastScans(engine), printPass, &printer, &error);
  if (clustered && printer.besideProgress) writePending(printer);
  endProgress();
  if (!clustered || !writeRowOrder(state, &error)) failWith(error);
  // Every pass line is out before any output file is begun: a reader of
  // stdout that went away ends the run before it leaves anything behind.
  if (fflush(stdout) != 0 || ferror(stdout)) failWith("cannot write to standard output: " + systemError());

  // Both outputs are complete before either replaces its target, so a
  // failure leaves the earlier pair as it was.
  OutputFile order;
  openOrFail(kOrderPath, &order);
  writeWordsLE(state.activeList, matrix.rows, order.file);
  // The order is on disk before the matrix is begun, so that a full disk is
  // blamed on the file that filled it.
  if (!finishOutput(&order, &error)) failWith(error);

  CountMatrix fresh = reloadMatrix(path, length, hash);
  OutputFile permuted;
  openOrFail(kMatrixPath, &permuted);
  writeCountMatrixHeader(matrix.columns, matrix.rows, permuted.file);
  // With no columns the rows are empty: nothing to write for any of them.
  for (uint32_t i = 0; i < matrix.rows && matrix.columns > 0; i++)
    writeWordsLE(reinterpret_cast<const uint32_t*>(fresh.counts) + size_t(state.activeList[i]) * matrix.columns,
                 matrix.columns, permuted.file);

  // Together: both targets are replaced, or neither.
  OutputFile* outputs[] = {&order, &permuted};
  if (!commitOutputs(outputs, 2, &error)) failWith(error);
  return 0;
}
