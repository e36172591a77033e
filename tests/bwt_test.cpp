#include "bwt_core.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fileio.h"
#include "sample_data.h"
#include "test_support.h"

namespace {

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

struct Transformed {
  std::vector<uint8_t> data;
  uint32_t primaryIndex = 0;
};

Transformed forward(const std::vector<uint8_t>& input) {
  Transformed t;
  t.data.resize(input.size());
  std::string error;
  EXPECT_TRUE(forwardBwt(input.data(), uint32_t(input.size()), t.data.data(), &t.primaryIndex, &error)) << error;
  return t;
}

std::vector<uint8_t> inverse(const Transformed& t) {
  std::vector<uint8_t> output(t.data.size());
  std::string error;
  EXPECT_TRUE(inverseBwt(t.data.data(), uint32_t(t.data.size()), t.primaryIndex, output.data(), &error)) << error;
  return output;
}

std::vector<uint8_t> sorted(std::vector<uint8_t> bytes) {
  std::sort(bytes.begin(), bytes.end());
  return bytes;
}

}  // namespace

TEST(BwtCore, TransformsBananaWithoutAnEndMarker) {
  Transformed t = forward(bytesOf("banana"));
  EXPECT_EQ(t.data, bytesOf("annbaa"));
  EXPECT_EQ(t.primaryIndex, 4u);
  EXPECT_EQ(inverse(t), bytesOf("banana"));
}

TEST(BwtCore, RoundTripsAndKeepsTheByteMultiset) {
  std::vector<std::vector<uint8_t>> inputs = {{}, {42}, std::vector<uint8_t>(5000, 'a'), makeSample(30000, 3)};
  for (const auto& input : inputs) {
    Transformed t = forward(input);
    EXPECT_EQ(sorted(t.data), sorted(input)) << input.size() << " bytes";
    EXPECT_EQ(inverse(t), input) << input.size() << " bytes";
  }
}

TEST(BwtCore, RefusesPrimaryIndexOutOfRange) {
  std::vector<uint8_t> data = bytesOf("annbaa"), output(6);
  std::string error;
  EXPECT_FALSE(inverseBwt(data.data(), 6, 0, output.data(), &error));
  EXPECT_EQ(error, "primary index 0 is out of range for 6 bytes (1 to 6)");
  EXPECT_FALSE(inverseBwt(data.data(), 6, 7, output.data(), &error));
  EXPECT_FALSE(inverseBwt(nullptr, 0, 1, nullptr, &error));
  EXPECT_EQ(error, "primary index 1 is out of range for 0 bytes (must be 0)");
}

TEST(BwtProgram, WritesTransformAndIndexFileAndUndoesThem) {
  std::string dir = makeScratchDir("bwt_program");
  std::vector<uint8_t> input = makeSample(9000, 5);
  writeFileBytes(dir + "/input", input);
  std::string bwt = toolPath("bwt");
  ASSERT_EQ(runIn(dir, bwt + " input"), 0);
  Transformed expected = forward(input);
  EXPECT_EQ(readFileBytes(dir + "/book1bwt."), expected.data) << "the default output is blockcode's input";
  std::vector<uint8_t> indexWord(4);
  storeU32LE(expected.primaryIndex, indexWord.data());
  EXPECT_EQ(readFileBytes(dir + "/book1bwt.idx"), indexWord);

  ASSERT_EQ(runIn(dir, bwt + " -d book1bwt. restored"), 0);
  EXPECT_EQ(readFileBytes(dir + "/restored"), input);
  ASSERT_EQ(runIn(dir, bwt + " input x.bwt"), 0);
  EXPECT_EQ(readFileBytes(dir + "/x.bwt.idx"), indexWord);

  writeFileBytes(dir + "/x.bwt.idx", {1, 0, 0});
  std::string message;
  EXPECT_EQ(runIn(dir, bwt + " -d x.bwt again", &message), 1);
  EXPECT_EQ(message, "bwt: bad index file \"x.bwt.idx\": 3 bytes, expected one 4-byte word\n");
  writeFileBytes(dir + "/x.bwt.idx", {0x29, 0x23, 0, 0});  // 9001: one past the end
  EXPECT_EQ(runIn(dir, bwt + " -d x.bwt again", &message), 1);
  EXPECT_EQ(message, "bwt: cannot undo \"x.bwt\": primary index 9001 is out of range for 9000 bytes (1 to 9000)\n");
  EXPECT_FALSE(fileExists(dir + "/again"));
}

TEST(BwtProgram, TransformsAndRestoresAnEmptyFile) {
  std::string dir = makeScratchDir("bwt_empty");
  writeFileBytes(dir + "/empty", {});
  std::string bwt = toolPath("bwt"), errors;
  ASSERT_EQ(runIn(dir, bwt + " empty", &errors), 0) << errors;
  EXPECT_EQ(errors, "");
  EXPECT_EQ(readFileBytes(dir + "/book1bwt.").size(), 0u);
  EXPECT_EQ(readFileBytes(dir + "/book1bwt.idx"), (std::vector<uint8_t>{0, 0, 0, 0}));
  ASSERT_EQ(runIn(dir, bwt + " -d book1bwt. restored", &errors), 0) << errors;
  EXPECT_EQ(errors, "");
  EXPECT_TRUE(fileExists(dir + "/restored"));
  EXPECT_EQ(readFileBytes(dir + "/restored").size(), 0u);
  EXPECT_EQ(listDir(dir), (std::vector<std::string>{"book1bwt.", "book1bwt.idx", "empty", "restored"}));
}
