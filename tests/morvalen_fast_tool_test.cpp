// The built morvalen against bench/morvalen_direct, an independent
// step-by-step transcription, on block histograms of the real corpus files,
// and the tool's output for several thread counts (MORVALEN_THREADS).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

// Block histograms (256 counts per 2048-byte block) of the corpus files
// concatenated, cut to `maxRows` rows; an empty matrix without the corpus.
std::vector<uint8_t> corpusMatrixBytes(uint32_t maxRows) {
  std::vector<uint8_t> data;
  for (const std::string& path : corpusFiles()) {
    std::vector<uint8_t> bytes = readFileBytes(path);
    data.insert(data.end(), bytes.begin(), bytes.end());
    if (data.size() >= size_t(maxRows) * 2048) break;
  }
  if (data.empty()) return {};
  uint32_t rows = uint32_t(std::min<size_t>(maxRows, (data.size() + 2047) / 2048));
  std::vector<uint32_t> words(2 + size_t(rows) * 256, 0);
  words[0] = 256;
  words[1] = rows;
  for (size_t i = 0; i < std::min(data.size(), size_t(rows) * 2048); i++) words[2 + (i / 2048) * 256 + data[i]]++;
  std::vector<uint8_t> bytes(words.size() * 4);
  for (size_t i = 0; i < words.size(); i++)
    for (int b = 0; b < 4; b++) bytes[i * 4 + b] = uint8_t(words[i] >> (8 * b));
  return bytes;
}

struct Outputs {
  std::vector<uint8_t> lines;
  std::vector<uint8_t> order;
  std::vector<uint8_t> matrix;
};

Outputs runTool(const std::string& name, const std::string& program, const std::vector<uint8_t>& matrix) {
  std::string dir = makeScratchDir(name);
  writeFileBytes(dir + "/input.frq", matrix);
  std::string error;
  EXPECT_EQ(runIn(dir, program + " input.frq > lines.txt", &error), 0) << name << ": " << error;
  return {readFileBytes(dir + "/lines.txt"), readFileBytes(dir + "/morvalen.ord"),
          readFileBytes(dir + "/morvalen.frq")};
}

void expectSameOutputs(const Outputs& a, const Outputs& b, const std::string& what) {
  EXPECT_FALSE(a.lines.empty()) << what;
  EXPECT_TRUE(a.lines == b.lines) << what << ": printed lines differ";
  EXPECT_TRUE(a.order == b.order) << what << ": morvalen.ord differs";
  EXPECT_TRUE(a.matrix == b.matrix) << what << ": morvalen.frq differs";
}

TEST(MorvalenFastTool, AgreesWithTheDirectTranscriptionOnCorpusBlocks) {
  std::vector<uint8_t> matrix = corpusMatrixBytes(1200);
  if (matrix.empty()) GTEST_SKIP() << "no corpus";
  Outputs direct = runTool("fast_tool_direct", std::string(TOOLS_DIR) + "/bench/morvalen_direct", matrix);
  Outputs fast = runTool("fast_tool_fast", toolPath("morvalen"), matrix);
  expectSameOutputs(fast, direct, "morvalen against morvalen_direct");
}

TEST(MorvalenFastTool, ThreadCountDoesNotChangeOutputs) {
  std::vector<uint8_t> matrix = corpusMatrixBytes(700);
  if (matrix.empty()) GTEST_SKIP() << "no corpus";
  Outputs one = runTool("fast_tool_threads1", "MORVALEN_THREADS=1 " + toolPath("morvalen"), matrix);
  for (const char* threads : {"2", "7"}) {
    Outputs many = runTool(std::string("fast_tool_threads") + threads,
                           std::string("MORVALEN_THREADS=") + threads + " " + toolPath("morvalen"), matrix);
    expectSameOutputs(many, one, std::string(threads) + " threads against 1");
  }
}

TEST(MorvalenFastTool, RefusesABadThreadCount) {
  std::string dir = makeScratchDir("fast_tool_bad_threads");
  std::vector<uint8_t> matrix = {2, 0, 0, 0, 2, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 0};
  writeFileBytes(dir + "/input.frq", matrix);
  for (const char* value : {"0", "abc", "-2", "4x", "100000"}) {
    std::string error;
    int status = runIn(dir, std::string("MORVALEN_THREADS='") + value + "' " + toolPath("morvalen") +
                                " input.frq > lines.txt", &error);
    EXPECT_NE(status, 0) << value;
    EXPECT_NE(error.find("morvalen: MORVALEN_THREADS: expected a number of threads from 1 to 1024"),
              std::string::npos) << error;
    EXPECT_FALSE(fileExists(dir + "/morvalen.ord")) << value;
  }
}

}  // namespace
