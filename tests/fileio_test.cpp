#include "fileio.h"

#include <gtest/gtest.h>

#include "test_support.h"

TEST(FileIo, ReadsWholeFilesAndSetsLastReadLength) {
  std::string dir = makeScratchDir("fileio_read");
  writeFileBytes(dir + "/empty", {});
  writeFileBytes(dir + "/three", {1, 2, 3});
  std::string error;
  uint8_t* three = readWholeFile((dir + "/three").c_str(), &error);
  ASSERT_NE(three, nullptr) << error;
  EXPECT_EQ(lastReadLength, 3u);
  EXPECT_EQ(three[2], 3);
  EXPECT_EQ(three[3], 0) << "padding past the end is zero";
  uint8_t* empty = readWholeFile((dir + "/empty").c_str(), &error);
  ASSERT_NE(empty, nullptr) << error;
  EXPECT_EQ(lastReadLength, 0u);
}

TEST(FileIo, ReportsMissingFilesAndFolders) {
  std::string dir = makeScratchDir("fileio_missing");
  std::string error;
  lastReadLength = 77;
  EXPECT_EQ(readWholeFile((dir + "/none").c_str(), &error), nullptr);
  EXPECT_EQ(error, "cannot open \"" + dir + "/none\": No such file or directory");
  EXPECT_EQ(readWholeFile(dir.c_str(), &error), nullptr);
  EXPECT_NE(error.find("Is a directory"), std::string::npos) << error;
  EXPECT_EQ(lastReadLength, 77u) << "a failed read leaves the last length alone";
}

TEST(FileIo, QuotesNamesSoThatMessagesStayOneLine) {
  EXPECT_EQ(quotedName("book1bwt."), "\"book1bwt.\"");
  EXPECT_EQ(quotedName("a\nb\tc\rd"), "\"a\\nb\\tc\\rd\"");
  EXPECT_EQ(quotedName(std::string("\x01\x1b\x7f", 3)), "\"\\x01\\x1B\\x7F\"");
  EXPECT_EQ(quotedName(std::string("z\0z", 3)), "\"z\\x00z\"");
  // Quotes and backslashes are escaped too, so that the quoted text tells
  // where the name ends; bytes of UTF-8 pass as they are.
  EXPECT_EQ(quotedName("say \"x\" \\ y"), "\"say \\\"x\\\" \\\\ y\"");
  EXPECT_EQ(quotedName("f\xc3\xbcr"), "\"f\xc3\xbcr\"");
  EXPECT_EQ(printable("cannot \"x\"\n"), "cannot \"x\"\\n");
}

TEST(FileIo, WritesLittleEndianWords) {
  std::string dir = makeScratchDir("fileio_words");
  OutputFile out;
  std::string error;
  ASSERT_TRUE(openOutput((dir + "/w").c_str(), &out, &error)) << error;
  writeU32LE(256, out.file);
  const uint32_t words[2] = {0x04030201u, 0xFFFFFFFEu};
  writeWordsLE(words, 2, out.file);
  ASSERT_TRUE(commitOutput(&out, &error)) << error;
  EXPECT_EQ(readFileBytes(dir + "/w"),
            (std::vector<uint8_t>{0, 1, 0, 0, 1, 2, 3, 4, 0xFE, 0xFF, 0xFF, 0xFF}));
}

TEST(FileIo, ReplacesOutputsOnlyWhenComplete) {
  std::string dir = makeScratchDir("fileio_atomic");
  std::string target = dir + "/out";
  writeFileBytes(target, {9, 9});
  OutputFile out;
  std::string error;
  ASSERT_TRUE(openOutput(target.c_str(), &out, &error)) << error;
  fputs("partial", out.file);
  EXPECT_EQ(readFileBytes(target), (std::vector<uint8_t>{9, 9})) << "target untouched while writing";
  discardPendingOutputs();
  EXPECT_EQ(listDir(dir), std::vector<std::string>{"out"}) << "no temporary left behind";

  ASSERT_TRUE(writeWholeFile("abc", 3, target.c_str(), &error)) << error;
  EXPECT_EQ(readFileBytes(target), (std::vector<uint8_t>{'a', 'b', 'c'}));
  EXPECT_EQ(listDir(dir), std::vector<std::string>{"out"});
}

TEST(FileIo, RefusesToReplaceAFolder) {
  std::string dir = makeScratchDir("fileio_folder");
  ASSERT_EQ(runIn(dir, "mkdir target"), 0);
  std::string error;
  EXPECT_FALSE(writeWholeFile("abc", 3, (dir + "/target").c_str(), &error));
  EXPECT_NE(error.find("cannot replace \"" + dir + "/target\""), std::string::npos) << error;
  EXPECT_EQ(listDir(dir), std::vector<std::string>{"target"});
}

TEST(FileIo, CountsBlocks) {
  EXPECT_EQ(blockCount(0), 0u);
  EXPECT_EQ(blockCount(2048), 1u);
  EXPECT_EQ(blockCount(4097), 3u);
  EXPECT_EQ(blockCount(0x7FFFFFFFu), 0x100000u);
}

static std::vector<uint8_t> matrixBytes(uint32_t columns, uint32_t rows, const std::vector<int32_t>& counts) {
  std::vector<uint8_t> bytes(8 + 4 * counts.size());
  storeU32LE(columns, &bytes[0]);
  storeU32LE(rows, &bytes[4]);
  for (size_t i = 0; i < counts.size(); i++) storeU32LE(uint32_t(counts[i]), &bytes[8 + 4 * i]);
  bytes.resize(bytes.size() + 4);  // readWholeFile's padding
  return bytes;
}

TEST(FileIo, ParsesCountMatricesAndRefusesShortOnes) {
  CountMatrix matrix;
  std::string error;
  std::vector<uint8_t> good = matrixBytes(2, 2, {1, -2, 3, 4});
  ASSERT_TRUE(parseCountMatrix(good.data(), uint32_t(good.size() - 4), &matrix, &error)) << error;
  EXPECT_EQ(matrix.columns, 2u);
  EXPECT_EQ(matrix.rows, 2u);
  EXPECT_EQ(matrix.counts[1], -2);
  EXPECT_EQ(matrix.counts[3], 4);

  std::vector<uint8_t> header = matrixBytes(256, 0, {});
  EXPECT_TRUE(parseCountMatrix(header.data(), 8, &matrix, &error)) << "n = 0 is the header alone";

  std::vector<uint8_t> shortOne = matrixBytes(2, 3, {1, 2, 3, 4});
  EXPECT_FALSE(parseCountMatrix(shortOne.data(), uint32_t(shortOne.size() - 4), &matrix, &error));
  EXPECT_FALSE(parseCountMatrix(shortOne.data(), 7, &matrix, &error));
  // K*n = 2^32 wraps to 0 in 32 bits; it must still be refused.
  std::vector<uint8_t> wrapping = matrixBytes(0x10000u, 0x10000u, {1});
  EXPECT_FALSE(parseCountMatrix(wrapping.data(), uint32_t(wrapping.size() - 4), &matrix, &error));
  std::vector<uint8_t> emptyColumns = matrixBytes(0, 0xFFFFFFFFu, {});
  EXPECT_TRUE(parseCountMatrix(emptyColumns.data(), 8, &matrix, &error)) << "K = 0 needs no counts";
}
