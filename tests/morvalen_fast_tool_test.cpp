// The built morvalen against bench/morvalen_direct, an independent
// step-by-step transcription, on block histograms of generated files and of
// the real corpus files, and the tool's output for several thread counts
// (MORVALEN_THREADS).
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
  data.resize(std::min<size_t>(data.size(), size_t(maxRows) * 2048));
  return blockHistogramMatrix(data);
}

// The same of the generated files, which every clone has.
std::vector<uint8_t> generatedMatrixBytes(uint32_t maxRows) {
  std::vector<uint8_t> data;
  for (const GeneratedFile& file : generatedFiles()) data.insert(data.end(), file.bytes.begin(), file.bytes.end());
  data.resize(std::min<size_t>(data.size(), size_t(maxRows) * 2048));
  return blockHistogramMatrix(data);
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

void expectSameAsDirect(const std::vector<uint8_t>& matrix, const std::string& name) {
  Outputs direct = runTool(name + "_direct", std::string(TOOLS_DIR) + "/bench/morvalen_direct", matrix);
  Outputs fast = runTool(name + "_fast", toolPath("morvalen"), matrix);
  expectSameOutputs(fast, direct, name + ": morvalen against morvalen_direct");
}

// The thread count splits every pass differently; the outputs stay the same.
void expectSameForEveryThreadCount(const std::vector<uint8_t>& matrix, const std::string& name) {
  Outputs one = runTool(name + "1", "MORVALEN_THREADS=1 " + toolPath("morvalen"), matrix);
  for (const char* threads : {"2", "7"}) {
    Outputs many = runTool(name + threads, std::string("MORVALEN_THREADS=") + threads + " " + toolPath("morvalen"),
                           matrix);
    expectSameOutputs(many, one, name + ": " + threads + " threads against 1");
  }
}

TEST(MorvalenFastTool, AgreesWithTheDirectTranscriptionOnGeneratedBlocks) {
  expectSameAsDirect(generatedMatrixBytes(900), "fast_tool_generated");
}

TEST(MorvalenFastTool, AgreesWithTheDirectTranscriptionOnCorpusBlocks) {
  std::vector<uint8_t> matrix = corpusMatrixBytes(1200);
  if (matrix.empty()) GTEST_SKIP() << "no corpus beside the project (../shared/corpus)";
  expectSameAsDirect(matrix, "fast_tool_corpus");
}

TEST(MorvalenFastTool, ThreadCountDoesNotChangeOutputsOnGeneratedBlocks) {
  expectSameForEveryThreadCount(generatedMatrixBytes(700), "fast_tool_generated_threads");
}

TEST(MorvalenFastTool, ThreadCountDoesNotChangeOutputs) {
  std::vector<uint8_t> matrix = corpusMatrixBytes(700);
  if (matrix.empty()) GTEST_SKIP() << "no corpus beside the project (../shared/corpus)";
  expectSameForEveryThreadCount(matrix, "fast_tool_threads");
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
