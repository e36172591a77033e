// morvalen run end to end on bad input, as hardening_test.cpp runs the
// other programs: every refusal prints one line, exits with status 1 (2 for
// a bad command line) and leaves the run folder exactly as it was.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "fileio.h"
#include "hardening_support.h"
#include "test_support.h"

namespace {

// ----------------------------------------------------------------- morvalen

void expectMorvalenRefuses(const std::string& name, const std::vector<uint8_t>& matrix) {
  SCOPED_TRACE(name);
  std::string dir = morvalenFolder("morvalen-" + name);
  writeFileBytes(dir + "/input.frq", matrix);
  expectRefusal(dir + "/run", "morvalen", tool("morvalen") + " ../input.frq");
}

TEST(MorvalenRefuses, MissingArgumentFileAndFolder) {
  std::string dir = morvalenFolder("morvalen-arguments");
  writeFileBytes(dir + "/input.frq", matrixBytes(2, 3, {10, 0, 0, 10, 10, 0}));
  expectUsageError(dir + "/run", "morvalen", tool("morvalen"));
  expectUsageError(dir + "/run", "morvalen", tool("morvalen") + " ../input.frq extra");
  expectUsageError(dir + "/run", "morvalen", tool("morvalen") + " --bogus ../input.frq");
  expectRefusal(dir + "/run", "morvalen", tool("morvalen") + " ../absent.frq");
  expectRefusal(dir + "/run", "morvalen", tool("morvalen") + " ..");
}

TEST(MorvalenRefuses, MatricesShorterThanTheirHeader) {
  expectMorvalenRefuses("empty", {});
  expectMorvalenRefuses("seven-bytes", {2, 0, 0, 0, 1, 0, 0});
  expectMorvalenRefuses("one-row-short", matrixBytes(256, 2, std::vector<int32_t>(256, 1)));
  std::vector<uint8_t> lastByteMissing = matrixBytes(2, 2, {1, 2, 3, 4});
  lastByteMissing.pop_back();
  expectMorvalenRefuses("last-byte-missing", lastByteMissing);
}

TEST(MorvalenRefuses, HeadersWhoseSizeOverflows32Bits) {
  // 65536 x 65537 counts: the product wraps to 65536 in 32 bits, and the
  // file is long enough for that many, so only an exact check refuses it.
  std::vector<uint8_t> wraps = matrixBytes(0x10000, 0x10001, std::vector<int32_t>(0x10000, 1));
  expectMorvalenRefuses("k-times-n-wraps", wraps);
  // 2^30 x 4 counts wrap to 0, and 4 * 2^30 * 4 bytes to 0 as well.
  expectMorvalenRefuses("k-times-n-wraps-to-zero", words({0x40000000, 4}));
  expectMorvalenRefuses("huge-k", matrixBytes(0xFFFFFFFF, 1, {1, 2, 3}));
  expectMorvalenRefuses("huge-n", matrixBytes(2, 0xFFFFFFFF, {1, 2, 3, 4}));
}

TEST(MorvalenRefuses, NoColumnsButHugeRowCount) {
  // A valid header by size (no counts at all), but its order file alone
  // would be 16 GiB: beyond what the tools write or can allocate.
  expectMorvalenRefuses("k0-huge-n", words({0, 0xFFFFFFFF}));
}

TEST(MorvalenRefuses, InputOf2GiB) {
  std::string dir = morvalenFolder("morvalen-huge");
  makeHugeSparseFile(dir + "/input.frq");
  expectRefusal(dir + "/run", "morvalen", tool("morvalen") + " ../input.frq");
}

TEST(MorvalenRefuses, OutputNamesAFolder) {
  for (const char* output : {"morvalen.ord", "morvalen.frq"}) {
    std::string dir = morvalenFolder(std::string("morvalen-output-folder-") + output);
    writeFileBytes(dir + "/input.frq", matrixBytes(2, 3, {10, 0, 0, 10, 10, 0}));
    remove((dir + "/run/" + output).c_str());
    mkdirOrFail(dir + "/run/" + output);
    expectRefusal(dir + "/run", "morvalen", tool("morvalen") + " ../input.frq");
  }
}

TEST(MorvalenRefuses, StandardOutputThatCannotBeWritten) {
  std::string dir = morvalenFolder("morvalen-stdout-full");
  writeFileBytes(dir + "/input.frq", matrixBytes(2, 3, {10, 0, 0, 10, 10, 0}));
  expectRefusal(dir + "/run", "morvalen", tool("morvalen") + " ../input.frq", "/dev/full");
}

TEST(MorvalenRefuses, StandardOutputWithoutReader) {
  // The reader of the pass lines is gone before the first one is written
  // (morvalen ... | head, say): the run ends by SIGPIPE and leaves neither
  // a temporary file nor a changed output behind.
  std::string dir = morvalenFolder("morvalen-stdout-no-reader");
  writeFileBytes(dir + "/input.frq", matrixBytes(2, 3, {10, 0, 0, 10, 10, 0}));
  Snapshot before = snapshot(dir + "/run");
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  pid_t pid = startIn(dir + "/run", toolPath("morvalen"), {"../input.frq"}, ends[1]);
  close(ends[1]);
  ASSERT_GT(pid, 0);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << "status " << status;
  Snapshot after = snapshot(dir + "/run");
  EXPECT_EQ(names(after), names(before));
  EXPECT_TRUE(after == before) << "earlier outputs changed";
}

TEST(MorvalenRefuses, InputsThatAreNoRegularFiles) {
  std::string dir = morvalenFolder("morvalen-not-regular");
  makeFifo(dir + "/fifo");
  for (const char* input : {"/dev/zero", "../fifo", "/proc/self/status"})
    expectRefusal(dir + "/run", "morvalen", kNoHang + tool("morvalen") + " " + input);
  RunResult run = runTool(dir + "/run", kNoHang + tool("morvalen") + " /proc/self/status");
  EXPECT_EQ(run.err.rfind("morvalen: cannot read \"/proc/self/status\": it holds more than the 0 bytes its size", 0),
            0u)
      << run.err;
}

// A matrix of 2 columns and `rows` rows, all different, with a pass line
// of about 50 bytes for each row but one. With 2000 rows the lines fill a
// pipe nobody reads, so the run waits in the middle of its passes, with
// its worker threads started.
std::vector<uint8_t> matrixOfManyPasses(int32_t rows = 2000) {
  std::vector<int32_t> counts;
  for (int32_t r = 0; r < rows; r++) {
    counts.push_back(r % 13 + 1);
    counts.push_back(r % 7);
  }
  return matrixBytes(2, uint32_t(rows), counts);
}

TEST(MorvalenRefuses, StandardOutputBeyondTheFileSizeLimit) {
  std::string dir = morvalenFolder("morvalen-stdout-file-size-limit");
  writeFileBytes(dir + "/input.frq", matrixOfManyPasses(300));
  std::string command = "sh -c \"ulimit -f 2 && exec " + tool("morvalen") + " ../input.frq\"";
  expectRefusal(dir + "/run", "morvalen", command, "../stdout.txt");
  EXPECT_EQ(runTool(dir + "/run", command, "../stdout.txt").err,
            "morvalen: cannot write to standard output: File too large\n");
}

// The signal mask of thread `task` of process `pid`, from /proc.
uint64_t blockedSignals(pid_t pid, const std::string& task) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/task/" + task + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
  return 0;
}

bool blocks(uint64_t mask, int signalNumber) { return (mask >> (signalNumber - 1)) & 1; }

// A signal taken by a worker thread could end the run between the creation
// of a temporary and its entry in the list the cleanup reads; the workers
// therefore block every signal that is not a fault of their own.
TEST(MorvalenWorkers, LeaveSignalsToTheMainThread) {
  std::string dir = morvalenFolder("morvalen-worker-signals");
  writeFileBytes(dir + "/input.frq", matrixOfManyPasses());
  Snapshot before = snapshot(dir + "/run");
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  setenv("MORVALEN_THREADS", "3", 1);
  pid_t pid = startIn(dir + "/run", toolPath("morvalen"), {"../input.frq"}, ends[1]);
  unsetenv("MORVALEN_THREADS");
  close(ends[1]);
  ASSERT_GT(pid, 0);
  // Once the pipe is full, the passes are under way and the workers, which
  // start with every signal blocked until they set their own mask, are past
  // their start.
  int pending = 0;
  for (int wait = 0; wait < 20000 && (ioctl(ends[0], FIONREAD, &pending) != 0 || pending < 60000); wait++)
    usleep(1000);
  std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
  std::vector<std::string> tasks = listDir(taskDir);
  EXPECT_EQ(tasks.size(), 3u);
  for (const std::string& task : tasks) {
    uint64_t mask = blockedSignals(pid, task);
    bool worker = task != std::to_string(pid);
    for (int signalNumber : kInterruptions) EXPECT_EQ(blocks(mask, signalNumber), worker) << "thread " << task;
    // AddressSanitizer starts every thread with all signals blocked.
    if (!builtWithAddressSanitizer()) {
      EXPECT_FALSE(blocks(mask, SIGSEGV)) << "thread " << task;
    }
  }
  kill(pid, SIGTERM);
  close(ends[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
  EXPECT_TRUE(snapshot(dir + "/run") == before);
}

uint32_t wordAt(const std::string& path, uint64_t index) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(std::streamoff(index * 4));
  uint8_t bytes[4] = {};
  in.read(reinterpret_cast<char*>(bytes), 4);
  return loadU32LE(bytes);
}

TEST(MorvalenAccepts, NoColumnsInTheMemoryOfTheOrderFile) {
  // K = 0 and 2^25 rows in 8 bytes. Every row totals 0 and none is ever
  // clustered: the run needs the 128 MiB of its order and little more, and
  // fits in 512 MiB, where 28 bytes of state per row would not.
  const uint32_t kRows = 1u << 25;
  std::string dir = morvalenFolder("morvalen-k0-many-rows");
  writeFileBytes(dir + "/input.frq", words({0, kRows}));
  std::string err;
  EXPECT_EQ(runIn(dir + "/run", memoryCapPrefix(512) + "timeout 300 " + tool("morvalen") + " ../input.frq > /dev/null", &err), 0);
  EXPECT_EQ(err, "");
  std::string order = dir + "/run/morvalen.ord";
  struct stat info;
  ASSERT_EQ(stat(order.c_str(), &info), 0);
  EXPECT_EQ(uint64_t(info.st_size), uint64_t(kRows) * 4);
  EXPECT_EQ(wordAt(order, 0), kRows - 1);
  EXPECT_EQ(wordAt(order, 12345), kRows - 1 - 12345);
  EXPECT_EQ(wordAt(order, kRows - 1), 0u);
  EXPECT_EQ(readFileBytes(dir + "/run/morvalen.frq"), words({0, kRows}));
  remove(order.c_str());
}

// A matrix that changes between the two reads: MorvalenTool's
// RefusesAnInputThatChangedBetweenTheReads holds the program mid-run with a
// full pipe and covers it deterministically.

TEST(MorvalenAccepts, ValidEdgeCases) {
  std::string dir = morvalenFolder("morvalen-valid");
  std::string run = dir + "/run";
  // No rows: empty order, header-only matrix; the columns need no memory.
  for (uint32_t columns : {256u, 0xFFFFFFFFu}) {
    writeFileBytes(dir + "/input.frq", matrixBytes(columns, 0, {}));
    expectSuccess(run, tool("morvalen") + " ../input.frq");
    EXPECT_EQ(readFileBytes(run + "/morvalen.ord").size(), 0u);
    EXPECT_EQ(readFileBytes(run + "/morvalen.frq"), matrixBytes(columns, 0, {}));
  }
  // No columns: every row totals zero and keeps the descending order.
  writeFileBytes(dir + "/input.frq", matrixBytes(0, 5, {}));
  expectSuccess(run, tool("morvalen") + " ../input.frq");
  EXPECT_EQ(readFileBytes(run + "/morvalen.ord"), words({4, 3, 2, 1, 0}));
  EXPECT_EQ(readFileBytes(run + "/morvalen.frq"), matrixBytes(0, 5, {}));
  // Columns, but every row totals 0 (the last wraps to 0): the same order.
  std::vector<int32_t> zeroTotals = {0, 0, 0, 0, INT32_MIN, INT32_MIN};
  writeFileBytes(dir + "/input.frq", matrixBytes(2, 3, zeroTotals));
  expectSuccess(run, tool("morvalen") + " ../input.frq");
  EXPECT_EQ(readFileBytes(run + "/morvalen.ord"), words({2, 1, 0}));
  EXPECT_EQ(readFileBytes(run + "/morvalen.frq"), matrixBytes(2, 3, {INT32_MIN, INT32_MIN, 0, 0, 0, 0}));
  // Negative counts and totals that wrap are taken as they stand.
  std::vector<int32_t> counts = {-5, 3, INT32_MAX, INT32_MAX, INT32_MIN, -1, 0, 0, 7, -7, 1, 1};
  writeFileBytes(dir + "/input.frq", matrixBytes(2, 6, counts));
  expectSuccess(run, tool("morvalen") + " ../input.frq");
  std::vector<uint8_t> order = readFileBytes(run + "/morvalen.ord");
  std::vector<uint8_t> permuted = readFileBytes(run + "/morvalen.frq");
  ASSERT_EQ(order.size(), 24u);
  ASSERT_EQ(permuted.size(), 8u + 48u);
  std::vector<bool> seen(6, false);
  for (uint32_t i = 0; i < 6; i++) {
    uint32_t row = loadU32LE(&order[4 * i]);
    ASSERT_LT(row, 6u);
    EXPECT_FALSE(seen[row]);
    seen[row] = true;
    EXPECT_EQ(int32_t(loadU32LE(&permuted[8 + 8 * i])), counts[2 * row]);
    EXPECT_EQ(int32_t(loadU32LE(&permuted[12 + 8 * i])), counts[2 * row + 1]);
  }
}

}  // namespace
