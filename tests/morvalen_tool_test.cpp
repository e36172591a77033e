// The morvalen program end to end: printed lines, both outputs, refusals.
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include "fileio.h"
#include "morvalen_matrices.h"
#include "test_support.h"

static std::vector<uint32_t> wordsOf(const std::vector<uint8_t>& bytes) {
  std::vector<uint32_t> words;
  for (size_t i = 0; i + 4 <= bytes.size(); i += 4) words.push_back(loadU32LE(&bytes[i]));
  return words;
}

static std::string textOf(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

static int runMorvalen(const std::string& dir, const std::string& arguments, std::string* stderrText = nullptr) {
  return runIn(dir, "'" + toolPath("morvalen") + "' " + arguments + " > stdout.txt", stderrText);
}

// The output matrix holds the input rows in the order of the order file.
static void expectPermutedMatrix(const TestMatrix& input, const std::vector<uint32_t>& order,
                                 const std::vector<uint8_t>& output) {
  ASSERT_EQ(output.size(), 8 + 4 * input.counts.size());
  ASSERT_EQ(order.size(), input.rows);
  std::vector<uint32_t> words = wordsOf(output);
  EXPECT_EQ(words[0], input.columns);
  EXPECT_EQ(words[1], input.rows);
  std::vector<bool> seen(input.rows, false);
  for (uint32_t i = 0; i < input.rows; i++) {
    ASSERT_LT(order[i], input.rows);
    EXPECT_FALSE(seen[order[i]]) << "row " << order[i] << " twice";
    seen[order[i]] = true;
    for (uint32_t k = 0; k < input.columns; k++)
      ASSERT_EQ(int32_t(words[2 + size_t(i) * input.columns + k]),
                input.counts[size_t(order[i]) * input.columns + k]);
  }
}

TEST(MorvalenTool, WorkedExample) {
  std::string dir = makeScratchDir("morvalen_worked");
  TestMatrix matrix;
  matrix.columns = 2;
  matrix.rows = 3;
  matrix.counts = {10, 0, 0, 10, 10, 0};
  writeFileBytes(dir + "/in.frq", matrixFileBytes(matrix));
  std::string errors;
  ASSERT_EQ(runMorvalen(dir, "in.frq", &errors), 0) << errors;
  EXPECT_EQ(errors, "");
  EXPECT_EQ(textOf(readFileBytes(dir + "/stdout.txt")),
            "  EM =      -1.752583, Ei =   0, Ej =   2   YS=3\n"
            "  EM =      15.137568, Ei =   0, Ej =   1   YS=2\n");
  std::vector<uint32_t> order = wordsOf(readFileBytes(dir + "/morvalen.ord"));
  EXPECT_EQ(order, (std::vector<uint32_t>{0, 2, 1}));
  expectPermutedMatrix(matrix, order, readFileBytes(dir + "/morvalen.frq"));
  EXPECT_EQ(listDir(dir), (std::vector<std::string>{"in.frq", "morvalen.frq", "morvalen.ord", "stdout.txt"}));
}

static TestMatrix matrixOf(uint32_t columns, uint32_t rows, const std::vector<int32_t>& counts) {
  TestMatrix matrix;
  matrix.columns = columns;
  matrix.rows = rows;
  matrix.counts = counts;
  return matrix;
}

// Runs morvalen on `matrix`, checks the permuted matrix and returns the order.
static std::vector<uint32_t> orderAfterRun(const std::string& dir, const TestMatrix& matrix, size_t lines) {
  writeFileBytes(dir + "/in.frq", matrixFileBytes(matrix));
  std::string errors;
  EXPECT_EQ(runMorvalen(dir, "in.frq", &errors), 0) << errors;
  std::string printed = textOf(readFileBytes(dir + "/stdout.txt"));
  EXPECT_EQ(size_t(std::count(printed.begin(), printed.end(), '\n')), lines) << printed;
  std::vector<uint32_t> order = wordsOf(readFileBytes(dir + "/morvalen.ord"));
  expectPermutedMatrix(matrix, order, readFileBytes(dir + "/morvalen.frq"));
  return order;
}

TEST(MorvalenTool, ZeroRowsAndDegenerateMatrices) {
  std::string dir = makeScratchDir("morvalen_degenerate");
  EXPECT_EQ(orderAfterRun(dir, matrixOf(2, 4, {1, 1, 0, 0, 2, 0, 0, 3}), 2).back(), 1u) << "zero row last";
  EXPECT_EQ(orderAfterRun(dir, matrixOf(2, 3, {0, 0, 5, 1, 0, 0}), 0), (std::vector<uint32_t>{1, 2, 0}))
      << "one nonzero row: the order of the partition";
  EXPECT_EQ(orderAfterRun(dir, matrixOf(3, 0, {}), 0), std::vector<uint32_t>{}) << "the header alone";
  EXPECT_EQ(orderAfterRun(dir, matrixOf(0, 5, {}), 0), (std::vector<uint32_t>{4, 3, 2, 1, 0}))
      << "no columns: every row is zero";
  EXPECT_EQ(orderAfterRun(dir, matrixOf(1, 3, {4, 9, 2}), 2), (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(readFileBytes(dir + "/morvalen.frq").size(), 8u + 12u);
}

// The program's lines and order on `matrix` against the core's.
static void expectSameAsCore(const std::string& dir, const TestMatrix& matrix, const std::string& name) {
  writeFileBytes(dir + "/in.frq", matrixFileBytes(matrix));
  std::string errors;
  ASSERT_EQ(runMorvalen(dir, "in.frq", &errors), 0) << errors;
  ClusteringRun run = clusterMatrix(matrix, false);
  std::string expected;
  for (const PassReport& pass : run.passes) expected += passLine(pass);
  EXPECT_EQ(textOf(readFileBytes(dir + "/stdout.txt")), expected) << name;
  std::vector<uint32_t> order = wordsOf(readFileBytes(dir + "/morvalen.ord"));
  EXPECT_EQ(order, run.order) << name;
  expectPermutedMatrix(matrix, order, readFileBytes(dir + "/morvalen.frq"));
}

TEST(MorvalenTool, AgreesWithTheCoreOnGeneratedFiles) {
  std::string dir = makeScratchDir("morvalen_generated");
  for (const GeneratedFile& file : generatedFiles()) {
    TestMatrix matrix = blockHistograms(file.bytes);
    if (matrix.rows > 150) continue;
    expectSameAsCore(dir, matrix, file.name);
  }
}

TEST(MorvalenTool, AgreesWithTheCoreOnRealFiles) {
  const std::vector<std::string>& files = corpusFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus beside the project (../shared/corpus)";
  std::string dir = makeScratchDir("morvalen_real");
  // A handful of differently shaped files keeps the test short.
  int used = 0;
  for (const std::string& file : files) {
    TestMatrix matrix = blockHistograms(file);
    if (matrix.rows < 2 || matrix.rows > 150 || used++ >= 6) continue;
    expectSameAsCore(dir, matrix, file);
  }
}

// One column and every count 1: every delta is 0, so the cluster at
// position 0 absorbs one row per pass and the merge tree is a left spine
// through every row.
static TestMatrix spineMatrix(uint32_t rows) {
  TestMatrix matrix;
  matrix.columns = 1;
  matrix.rows = rows;
  matrix.counts.assign(rows, 1);
  return matrix;
}

// Runs morvalen on in.frq with a stack of `kibibytes`.
static int runWithStack(const std::string& dir, uint32_t kibibytes, std::string* errors) {
  return runIn(dir, "ulimit -s " + std::to_string(kibibytes) + " && '" + toolPath("morvalen") +
                        "' in.frq > stdout.txt", errors);
}

TEST(MorvalenTool, LongLeftSpine) {
  // A walk that recursed down the left children would take one stack frame
  // per row of the spine, and a frame holds at least a return address and
  // keeps the stack 16-byte aligned: 16 bytes. The run gets the smallest
  // stack (to 4 KiB, threads included: they take their size from the same
  // limit) with which morvalen clusters a short spine, plus a quarter and
  // 4 KiB, and a spine of more rows than that stack holds such frames.
  // The margin covers what grows with the rows besides the walk: sorts that
  // recurse to a depth logarithmic in them. In an AddressSanitizer build
  // their frames are too large for any margin to bound, so the stack keeps
  // its size there and only the order is checked.
  std::string dir = makeScratchDir("morvalen_spine");
  std::string errors;
  uint32_t rows = 2500;
  std::string limit;
  if (!builtWithAddressSanitizer()) {
    writeFileBytes(dir + "/in.frq", matrixFileBytes(spineMatrix(200)));
    uint32_t tooSmall = 8, enough = 16;  // KiB
    while (runWithStack(dir, enough, &errors) != 0) {
      tooSmall = enough;
      enough *= 2;
      ASSERT_LE(enough, 65536u) << "morvalen fails with every stack: " << errors;
    }
    while (enough - tooSmall > 4) {
      uint32_t middle = (tooSmall + enough) / 2 / 4 * 4;
      (runWithStack(dir, middle, &errors) == 0 ? enough : tooSmall) = middle;
    }
    uint32_t stackKiB = enough + enough / 4 + 4;
    rows = stackKiB * 1024 / 16 + 256;
    limit = "ulimit -s " + std::to_string(stackKiB) + " && ";
  }
  writeFileBytes(dir + "/in.frq", matrixFileBytes(spineMatrix(rows)));
  ASSERT_EQ(runIn(dir, limit + "'" + toolPath("morvalen") + "' in.frq > stdout.txt", &errors), 0)
      << rows << " rows, " << limit << errors;
  // The rows come out as they were absorbed: 0 and 1 merge first, and each
  // pass then takes the row swapped into position 1 from the end.
  std::vector<uint32_t> order = wordsOf(readFileBytes(dir + "/morvalen.ord"));
  ASSERT_EQ(order.size(), rows);
  EXPECT_EQ(order[0], 0u);
  EXPECT_EQ(order[1], 1u);
  for (uint32_t i = 2; i < rows; i++) ASSERT_EQ(order[i], rows + 1 - i) << i;
  std::string printed = textOf(readFileBytes(dir + "/stdout.txt"));
  EXPECT_EQ(size_t(std::count(printed.begin(), printed.end(), '\n')), rows - 1);
  EXPECT_EQ(printed.substr(printed.size() - 49), "  EM =       0.000000, Ei =   0, Ej =   1   YS=2\n");
}

TEST(MorvalenTool, UsageHelpAndVersion) {
  std::string dir = makeScratchDir("morvalen_usage");
  std::string errors;
  EXPECT_EQ(runMorvalen(dir, "", &errors), 2);
  EXPECT_EQ(errors, "morvalen: missing argument; usage: morvalen MATRIX\n");
  EXPECT_EQ(runMorvalen(dir, "--help", &errors), 0);
  EXPECT_EQ(textOf(readFileBytes(dir + "/stdout.txt")).rfind("usage: morvalen MATRIX\n", 0), 0u);
  EXPECT_EQ(runMorvalen(dir, "--version", &errors), 0);
  EXPECT_EQ(textOf(readFileBytes(dir + "/stdout.txt")).rfind("morvalen ", 0), 0u);
  EXPECT_EQ(listDir(dir), std::vector<std::string>{"stdout.txt"});
}

// Every refusal: one line naming the file, a nonzero exit, and the outputs of
// an earlier run left exactly as they were, with no temporary files.
TEST(MorvalenTool, RefusesBadInputsAndKeepsEarlierOutputs) {
  std::string dir = makeScratchDir("morvalen_refusals");
  writeFileBytes(dir + "/morvalen.ord", {1, 2, 3, 4});
  writeFileBytes(dir + "/morvalen.frq", {5, 6, 7});
  auto header = [](uint32_t columns, uint32_t rows, size_t extraBytes) {
    std::vector<uint8_t> bytes(8 + extraBytes, 1);
    storeU32LE(columns, &bytes[0]);
    storeU32LE(rows, &bytes[4]);
    return bytes;
  };
  struct Case {
    std::string name;
    std::vector<uint8_t> bytes;
    std::string reason;
  };
  std::vector<Case> cases = {
      {"seven.frq", std::vector<uint8_t>(7, 0), "too short for a count matrix header"},
      {"short.frq", header(2, 3, 20), "shorter than its header promises"},
      {"wraps.frq", header(0x10000, 0x10000, 4), "shorter than its header promises"},
      {"wraps2.frq", header(0x80000000u, 2, 0), "shorter than its header promises"},
      {"rows.frq", header(0, 0xFFFFFFFFu, 0), "rows would make an order file"},
      {"rows2.frq", header(0, 0x20000000u, 0), "rows would make an order file"},
  };
  for (const Case& c : cases) {
    writeFileBytes(dir + "/" + c.name, c.bytes);
    std::string errors;
    EXPECT_EQ(runMorvalen(dir, c.name, &errors), 1) << c.name;
    EXPECT_EQ(errors.rfind("morvalen: ", 0), 0u) << errors;
    EXPECT_NE(errors.find("\"" + c.name + "\""), std::string::npos) << errors;
    EXPECT_NE(errors.find(c.reason), std::string::npos) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    remove((dir + "/" + c.name).c_str());
  }
  std::string errors;
  EXPECT_EQ(runMorvalen(dir, "missing.frq", &errors), 1);
  EXPECT_EQ(errors, "morvalen: cannot open \"missing.frq\": No such file or directory\n");
  EXPECT_EQ(runMorvalen(dir, ".", &errors), 1);
  EXPECT_NE(errors.find("Is a directory"), std::string::npos) << errors;

  EXPECT_EQ(readFileBytes(dir + "/morvalen.ord"), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(readFileBytes(dir + "/morvalen.frq"), (std::vector<uint8_t>{5, 6, 7}));
  EXPECT_EQ(listDir(dir), (std::vector<std::string>{"morvalen.frq", "morvalen.ord", "stdout.txt"}));
}

// Changes the input while morvalen is clustering it: the pass lines fill the
// pipe long before the end, so the program is still running when the first
// of them arrive, and cannot finish until they are read.
static std::string changeInputMidway(const std::string& dir, const std::vector<uint8_t>& replacement) {
  TestMatrix matrix;
  matrix.columns = 2;
  matrix.rows = 2000;
  for (uint32_t r = 0; r < matrix.rows; r++) {
    matrix.counts.push_back(int32_t(r % 13 + 1));
    matrix.counts.push_back(int32_t(r % 7));
  }
  writeFileBytes(dir + "/in.frq", matrixFileBytes(matrix));
  std::string command = "cd '" + dir + "' && '" + toolPath("morvalen") + "' in.frq 2> stderr.txt";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return "popen failed";
  char chunk[4096];
  size_t got = fread(chunk, 1, sizeof chunk, pipe);
  if (got == 0) return "no output";
  std::vector<uint8_t> bytes = replacement.empty() ? matrixFileBytes(matrix) : replacement;
  if (replacement.empty()) bytes[bytes.size() - 1] ^= 1;  // same length, one count changed
  writeFileBytes(dir + "/in.frq", bytes);
  while (fread(chunk, 1, sizeof chunk, pipe) > 0) {
  }
  int status = pclose(pipe);
  return "status " + std::to_string(WEXITSTATUS(status)) + ": " + textOf(readFileBytes(dir + "/stderr.txt"));
}

TEST(MorvalenTool, RefusesAnInputThatChangedBetweenTheReads) {
  std::string dir = makeScratchDir("morvalen_changed");
  writeFileBytes(dir + "/morvalen.ord", {1});
  writeFileBytes(dir + "/morvalen.frq", {2});
  const std::string refused = "status 1: morvalen: cannot read \"in.frq\" again: it changed while the rows were clustered\n";
  EXPECT_EQ(changeInputMidway(dir, {}), refused);
  EXPECT_EQ(changeInputMidway(dir, {2, 0, 0, 0, 1, 0, 0, 0}), refused) << "shrank";
  EXPECT_EQ(readFileBytes(dir + "/morvalen.ord"), std::vector<uint8_t>{1});
  EXPECT_EQ(readFileBytes(dir + "/morvalen.frq"), std::vector<uint8_t>{2});
  EXPECT_EQ(listDir(dir), (std::vector<std::string>{"in.frq", "morvalen.frq", "morvalen.ord", "stderr.txt"}));
}

TEST(MorvalenTool, ReportsArraysThatCannotBeAllocated) {
  // K = 0 lets an 8-byte header promise half a billion rows; under a 1 GiB
  // address-space limit their arrays cannot be allocated.
  std::string dir = makeScratchDir("morvalen_memory");
  std::vector<uint8_t> header(8);
  storeU32LE(0, &header[0]);
  storeU32LE(0x1FFFFFFFu, &header[4]);
  writeFileBytes(dir + "/rows.frq", header);
  std::string errors;
  EXPECT_EQ(runIn(dir, memoryCapPrefix(1024) + "'" + toolPath("morvalen") + "' rows.frq", &errors), 1);
  EXPECT_EQ(errors.rfind("morvalen: cannot allocate ", 0), 0u) << errors;
  EXPECT_NE(errors.find("536870911 rows: out of memory"), std::string::npos) << errors;
  EXPECT_EQ(listDir(dir), std::vector<std::string>{"rows.frq"});
}
