// The tools one after another, as a user runs them: blockcode writes the
// count matrix of "book1bwt.", morvalen orders its rows, remix applies that
// order to the data and remix --inverse undoes it. Checks that the files
// agree with each other.
#include <gtest/gtest.h>

#include <algorithm>

#include "fileio.h"
#include "sample_data.h"
#include "test_support.h"

namespace {

using Histogram = std::vector<int32_t>;

struct ChainRun {
  std::vector<uint8_t> input;        // "book1bwt."
  std::vector<uint8_t> matrix;       // "book1bwt.frq"
  std::vector<uint32_t> order;       // "morvalen.ord"
  std::vector<uint8_t> permuted;     // "morvalen.frq"
  std::vector<uint8_t> remixed;      // "remixed.dmp"
  std::vector<uint8_t> restored;     // "restored.dmp", from remix --inverse
  std::vector<std::string> merges;   // morvalen's lines
};

bool toolsBuilt() {
  return fileExists(toolPath("blockcode")) && fileExists(toolPath("morvalen")) && fileExists(toolPath("remix"));
}

std::vector<std::string> lines(const std::vector<uint8_t>& text) {
  std::vector<std::string> result;
  std::string line;
  for (uint8_t c : text) {
    if (c == '\n') {
      result.push_back(line);
      line.clear();
    } else {
      line += char(c);
    }
  }
  if (!line.empty()) result.push_back(line);
  return result;
}

// Runs the chain in `dir`, which holds "book1bwt.".
ChainRun runChain(const std::string& dir) {
  EXPECT_EQ(runIn(dir, toolPath("blockcode")), 0);
  EXPECT_EQ(runIn(dir, toolPath("morvalen") + " book1bwt.frq > merges.txt"), 0);
  EXPECT_EQ(runIn(dir, toolPath("remix") + " book1bwt. morvalen.ord"), 0);
  EXPECT_EQ(runIn(dir, toolPath("remix") + " --inverse remixed.dmp morvalen.ord"), 0);
  ChainRun run;
  run.input = readFileBytes(dir + "/book1bwt.");
  run.matrix = readFileBytes(dir + "/book1bwt.frq");
  std::vector<uint8_t> orderBytes = readFileBytes(dir + "/morvalen.ord");
  for (size_t i = 0; i + 4 <= orderBytes.size(); i += 4) run.order.push_back(loadU32LE(&orderBytes[i]));
  EXPECT_EQ(orderBytes.size() % 4, 0u);
  run.permuted = readFileBytes(dir + "/morvalen.frq");
  run.remixed = readFileBytes(dir + "/remixed.dmp");
  run.restored = readFileBytes(dir + "/restored.dmp");
  run.merges = lines(readFileBytes(dir + "/merges.txt"));
  return run;
}

Histogram histogramOf(const uint8_t* bytes, uint32_t length) {
  Histogram counts(256, 0);
  for (uint32_t i = 0; i < length; i++) counts[bytes[i]]++;
  return counts;
}

Histogram matrixRow(const std::vector<uint8_t>& matrix, uint32_t row) {
  Histogram counts(256);
  for (uint32_t c = 0; c < 256; c++) counts[c] = int32_t(loadU32LE(&matrix[8 + 4 * (size_t(row) * 256 + c)]));
  return counts;
}

uint32_t blockLength(uint32_t length, uint32_t block) { return std::min(kBlockSize, length - block * kBlockSize); }

// Every file of the chain agrees with the input and with the others.
void expectConsistentChain(const ChainRun& run) {
  uint32_t length = uint32_t(run.input.size());
  uint32_t blocks = blockCount(length);
  ASSERT_EQ(run.matrix.size(), 8 + 1024 * size_t(blocks));
  ASSERT_EQ(run.permuted.size(), run.matrix.size());
  EXPECT_EQ(loadU32LE(&run.matrix[0]), 256u);
  EXPECT_EQ(loadU32LE(&run.matrix[4]), blocks);
  EXPECT_TRUE(std::equal(run.matrix.begin(), run.matrix.begin() + 8, run.permuted.begin())) << "same header";

  // The order is a permutation of the blocks.
  ASSERT_EQ(run.order.size(), blocks);
  std::vector<uint32_t> sortedOrder = run.order;
  std::sort(sortedOrder.begin(), sortedOrder.end());
  for (uint32_t i = 0; i < blocks; i++) ASSERT_EQ(sortedOrder[i], i) << "order is not a permutation";

  // remixed.dmp is the input's blocks in that order; row i of morvalen.frq is
  // the histogram of its i-th block, which is input block order[i] (the short
  // last block keeps its length wherever it lands).
  ASSERT_EQ(run.remixed.size(), length);
  uint32_t offset = 0;
  uint32_t nonzeroRows = 0;
  for (uint32_t i = 0; i < blocks; i++) {
    uint32_t source = run.order[i];
    uint32_t size = blockLength(length, source);
    ASSERT_TRUE(std::equal(run.remixed.begin() + offset, run.remixed.begin() + offset + size,
                           run.input.begin() + size_t(source) * kBlockSize))
        << "position " << i << " does not hold block " << source;
    Histogram remixedBlock = histogramOf(&run.remixed[offset], size);
    EXPECT_EQ(matrixRow(run.permuted, i), remixedBlock) << "row " << i << " of morvalen.frq";
    EXPECT_EQ(matrixRow(run.matrix, source), remixedBlock) << "row " << source << " of book1bwt.frq";
    offset += size;
    nonzeroRows += size > 0;
  }
  EXPECT_EQ(run.merges.size(), nonzeroRows > 1 ? nonzeroRows - 1 : 0u) << "one line per merge";
  EXPECT_TRUE(run.restored == run.input) << "remix --inverse gives the input back";
}

// Number of places where two neighbouring blocks are of different kinds.
uint32_t kindChanges(const std::vector<SampleKind>& kinds, const std::vector<uint32_t>& order) {
  uint32_t changes = 0;
  for (size_t i = 1; i < order.size(); i++) changes += kinds[order[i]] != kinds[order[i - 1]];
  return changes;
}

}  // namespace

TEST(Sample, IsTheSameBytesWithEveryCompiler) {
  // The demo's figures rest on these bytes. The value was checked with g++
  // and clang++ on x86-64 and with g++ on s390x (big-endian).
  std::vector<uint8_t> sample = makeSample(200000, 1);
  ASSERT_EQ(sample.size(), 200000u);
  uint64_t hash = 1469598103934665603u;  // FNV-1a
  for (uint8_t byte : sample) hash = (hash ^ byte) * 1099511628211u;
  EXPECT_EQ(hash, 0x9b5126099f012ca5u);
  std::vector<SampleKind> kinds = sampleBlockKinds(200000, 1);
  int perKind[kSampleKindCount] = {};
  for (SampleKind kind : kinds) perKind[int(kind)]++;
  EXPECT_EQ(std::vector<int>(perKind, perKind + kSampleKindCount), (std::vector<int>{26, 22, 32, 18}));
}

TEST(Chain, RegroupsTheInterleavedSample) {
  if (!toolsBuilt()) GTEST_SKIP() << "blockcode, morvalen or remix is not built";
  std::string dir = makeScratchDir("chain_sample");
  uint32_t length = 48 * kBlockSize + 777;
  writeFileBytes(dir + "/book1bwt.", makeSample(length, 1));
  ChainRun run = runChain(dir);
  expectConsistentChain(run);

  std::vector<SampleKind> kinds = sampleBlockKinds(length, 1);
  std::vector<uint32_t> identity(kinds.size());
  for (uint32_t i = 0; i < identity.size(); i++) identity[i] = i;
  // Four kinds of material: at best three changes once regrouped.
  EXPECT_LE(kindChanges(kinds, run.order), 6u)
      << "interleaved input had " << kindChanges(kinds, identity) << " changes";
}

TEST(Chain, RemixedWholeBlocksGiveThePermutedMatrix) {
  if (!toolsBuilt()) GTEST_SKIP() << "blockcode, morvalen or remix is not built";
  // With whole blocks only, blockcode on remixed.dmp sees exactly the rows of
  // morvalen.frq.
  std::string dir = makeScratchDir("chain_whole_blocks");
  writeFileBytes(dir + "/book1bwt.", makeSample(32 * kBlockSize, 2));
  ChainRun run = runChain(dir);
  expectConsistentChain(run);
  std::string again = makeScratchDir("chain_whole_blocks_again");
  writeFileBytes(again + "/book1bwt.", run.remixed);
  ASSERT_EQ(runIn(again, toolPath("blockcode")), 0);
  EXPECT_EQ(readFileBytes(again + "/book1bwt.frq"), run.permuted);
}

TEST(Chain, HandlesEmptyAndSingleBlockInputs) {
  if (!toolsBuilt()) GTEST_SKIP() << "blockcode, morvalen or remix is not built";
  for (uint32_t length : {0u, 1u, 2048u, 2049u}) {
    std::string dir = makeScratchDir("chain_tiny_" + std::to_string(length));
    writeFileBytes(dir + "/book1bwt.", makeSample(length, 4));
    SCOPED_TRACE(std::to_string(length) + " bytes");
    expectConsistentChain(runChain(dir));
  }
}

// Transforms the file at `path` with bwt in `dir`, checks that the transform
// keeps the bytes, and runs the chain on it.
static void runChainThroughBwt(const std::string& dir, const std::string& path) {
  SCOPED_TRACE(path);
  ASSERT_EQ(runIn(dir, toolPath("bwt") + " '" + path + "'"), 0);
  std::vector<uint8_t> original = readFileBytes(path);
  std::vector<uint8_t> transformed = readFileBytes(dir + "/book1bwt.");
  std::sort(original.begin(), original.end());
  std::sort(transformed.begin(), transformed.end());
  EXPECT_EQ(transformed, original) << "the transform keeps the byte multiset";
  expectConsistentChain(runChain(dir));
}

TEST(Chain, RunsOnGeneratedFilesThroughBwt) {
  if (!toolsBuilt() || !fileExists(toolPath("bwt"))) GTEST_SKIP() << "bwt is not built (needs libdivsufsort-dev)";
  std::string dir = makeScratchDir("chain_generated");
  for (const GeneratedFile& file : generatedFiles()) {
    std::string path = dir + "/../chain_generated_" + file.name;
    writeFileBytes(path, file.bytes);
    runChainThroughBwt(dir, path);
  }
}

TEST(Chain, RunsOnCorpusFilesThroughBwt) {
  if (!toolsBuilt() || !fileExists(toolPath("bwt"))) GTEST_SKIP() << "bwt is not built (needs libdivsufsort-dev)";
  const std::vector<std::string>& files = corpusFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus beside the project (../shared/corpus)";
  std::string dir = makeScratchDir("chain_corpus");
  for (const std::string& path : files) runChainThroughBwt(dir, path);
}

TEST(Picture, DrawsOneOrTwoMatricesAsPng) {
  std::string dir = makeScratchDir("picture");
  if (runIn(dir, "/usr/bin/python3 -c 'import matplotlib, numpy'") != 0)
    GTEST_SKIP() << "/usr/bin/python3 has no matplotlib (python3-matplotlib)";
  std::vector<uint8_t> matrix(8 + 4 * 256 * 3, 0);
  storeU32LE(256, &matrix[0]);
  storeU32LE(3, &matrix[4]);
  for (uint32_t row = 0; row < 3; row++)
    for (uint32_t c = 0; c < 256; c += row + 1) storeU32LE(c * (row + 1), &matrix[8 + 4 * (row * 256 + c)]);
  writeFileBytes(dir + "/a.frq", matrix);
  writeFileBytes(dir + "/short.frq", std::vector<uint8_t>(matrix.begin(), matrix.end() - 4));
  std::string script = "/usr/bin/python3 " SCRIPTS_DIR "/draw_counts.py";
  const std::vector<uint8_t> pngSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  for (std::string matrices : {"a.frq", "a.frq a.frq"}) {
    ASSERT_EQ(runIn(dir, script + " " + matrices + " -o out.png"), 0) << matrices;
    std::vector<uint8_t> png = readFileBytes(dir + "/out.png");
    ASSERT_GE(png.size(), 8u);
    EXPECT_EQ(std::vector<uint8_t>(png.begin(), png.begin() + 8), pngSignature);
  }
  std::string message;
  EXPECT_NE(runIn(dir, script + " short.frq -o bad.png", &message), 0);
  EXPECT_NE(message.find("short.frq: 256 columns by 3 rows need 3080 bytes, the file has 3076"), std::string::npos)
      << message;
  EXPECT_FALSE(fileExists(dir + "/bad.png"));
}

TEST(Picture, RunsUnderAnotherPython3AndNamesAMissingPackage) {
  std::string dir = makeScratchDir("picture_python");
  if (!fileExists("/usr/bin/python3")) GTEST_SKIP() << "no /usr/bin/python3";
  writeFileBytes(dir + "/a.frq", blockHistogramMatrix(bwtLikeBytes(20000, 2)));
  std::string script = " " SCRIPTS_DIR "/draw_counts.py a.frq -o a.png";
  // The system's python3 without its site packages (-S): no numpy, and no
  // other python3 to turn to.
  std::string message;
  EXPECT_EQ(runIn(dir, "/usr/bin/python3 -S" + script, &message), 1);
  EXPECT_EQ(message.rfind("draw_counts.py: No module named ", 0), 0u) << message;
  EXPECT_NE(message.find("install python3-matplotlib (Debian)"), std::string::npos) << message;
  EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
  EXPECT_FALSE(fileExists(dir + "/a.png"));
  // Another python3 (a copy elsewhere, here also without site packages, as
  // a virtual environment or pyenv lacks the Debian packages): the script
  // runs itself again with /usr/bin/python3.
  if (runIn(dir, "/usr/bin/python3 -c 'import matplotlib, numpy'") != 0) return;
  ASSERT_EQ(runIn(dir, "cp /usr/bin/python3 other-python3"), 0);
  EXPECT_EQ(runIn(dir, "./other-python3 -S" + script, &message), 0) << message;
  EXPECT_TRUE(fileExists(dir + "/a.png"));
}
