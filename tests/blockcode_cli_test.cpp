// The blockcode program: files, fallbacks, messages and atomic outputs.
#include <gtest/gtest.h>

#include <random>

#include "blockcode_reference.h"
#include "fileio.h"
#include "test_support.h"

using Bytes = std::vector<uint8_t>;

static const std::string kRun = "'" + toolPath("blockcode") + "'";

static Bytes sampleInput() {
  std::mt19937 random(21);
  Bytes data(5000);
  for (uint8_t& byte : data) byte = uint8_t("abcab  e\n"[random() % 9]);
  return data;
}

static Bytes expectedMatrix(const ReferenceResult& result, uint32_t rows) {
  Bytes bytes(8 + 4 * result.rows.size());
  storeU32LE(256, &bytes[0]);
  storeU32LE(rows, &bytes[4]);
  for (size_t i = 0; i < result.rows.size(); i++) storeU32LE(uint32_t(result.rows[i]), &bytes[8 + 4 * i]);
  return bytes;
}

TEST(BlockcodeProgram, WritesTheCountMatrixAndTheStream) {
  std::string dir = makeScratchDir("blockcode_run");
  Bytes input = sampleInput();
  writeFileBytes(dir + "/book1bwt.", input);
  std::string errors;
  ASSERT_EQ(runIn(dir, kRun, &errors), 0) << errors;
  EXPECT_EQ(errors, "");
  ReferenceResult reference = referenceBlockcode(input.data(), uint32_t(input.size()));
  EXPECT_EQ(readFileBytes(dir + "/book1bwt.bar"), reference.stream);
  EXPECT_EQ(readFileBytes(dir + "/book1bwt.frq"), expectedMatrix(reference, 3));
  EXPECT_EQ(listDir(dir), (std::vector<std::string>{"book1bwt.", "book1bwt.bar", "book1bwt.frq"}));
}

TEST(BlockcodeProgram, EmptyInputGivesTheHeaderAndTheFlushWords) {
  std::string dir = makeScratchDir("blockcode_empty");
  writeFileBytes(dir + "/book1bwt.", {});
  ASSERT_EQ(runIn(dir, kRun), 0);
  EXPECT_EQ(readFileBytes(dir + "/book1bwt.frq"), (Bytes{0, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(readFileBytes(dir + "/book1bwt.bar"), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0}));
}

TEST(BlockcodeProgram, ReadsTheUndottedNameOnlyWhenTheDottedOneIsMissing) {
  std::string dir = makeScratchDir("blockcode_undotted");
  writeFileBytes(dir + "/book1bwt", {'a'});
  ASSERT_EQ(runIn(dir, kRun), 0);
  EXPECT_EQ(readFileBytes(dir + "/book1bwt.frq").size(), 8u + 1024u);
  writeFileBytes(dir + "/book1bwt.", {});
  ASSERT_EQ(runIn(dir, kRun), 0);
  EXPECT_EQ(readFileBytes(dir + "/book1bwt.frq").size(), 8u) << "the dotted name wins";
}

TEST(BlockcodeProgram, CodesANamedInputToOutputsNamedAfterIt) {
  std::string dir = makeScratchDir("blockcode_named");
  ASSERT_EQ(runIn(dir, "mkdir in work"), 0);
  Bytes input = sampleInput();
  ReferenceResult reference = referenceBlockcode(input.data(), uint32_t(input.size()));
  // A trailing dot is dropped from the name, as in the usual "book1bwt.";
  // other names keep their dots; the outputs go to the working folder.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"book1bwt.", "book1bwt"}, {"x.bwt", "x.bwt"}, {"-dash", "-dash"}, {"plain", "plain"}};
  for (const auto& [name, stem] : cases) {
    SCOPED_TRACE(name);
    writeFileBytes(dir + "/in/" + name, input);
    std::string errors;
    ASSERT_EQ(runIn(dir + "/work", kRun + " -- '../in/" + name + "'", &errors), 0) << errors;
    EXPECT_EQ(errors, "");
    EXPECT_EQ(readFileBytes(dir + "/work/" + stem + ".bar"), reference.stream);
    EXPECT_EQ(readFileBytes(dir + "/work/" + stem + ".frq"), expectedMatrix(reference, 3));
  }
  EXPECT_EQ(listDir(dir + "/work"), (std::vector<std::string>{"-dash.bar", "-dash.frq", "book1bwt.bar",
                                                              "book1bwt.frq", "plain.bar", "plain.frq",
                                                              "x.bwt.bar", "x.bwt.frq"}));
  // A named input is read as named: no fallback to the undotted name.
  std::string errors;
  EXPECT_EQ(runIn(dir + "/work", kRun + " ../in/plain.", &errors), 1);
  EXPECT_EQ(errors, "blockcode: cannot open \"../in/plain.\": No such file or directory\n");
}

TEST(BlockcodeProgram, HelpAndVersionTouchNoFile) {
  std::string dir = makeScratchDir("blockcode_help");
  for (const char* option : {"-h", "--help", "--version"}) {
    ASSERT_EQ(runIn(dir, kRun + " " + option + " > ../blockcode_help.out"), 0) << option;
    EXPECT_TRUE(listDir(dir).empty()) << option;
    Bytes out = readFileBytes(dir + "/../blockcode_help.out");
    std::string text(out.begin(), out.end());
    EXPECT_EQ(text.rfind(option[1] == 'h' || option[2] == 'h' ? "usage: blockcode" : "blockcode ", 0), 0u)
        << text;
  }
}

// A failed run reports one line, exits nonzero, and leaves earlier outputs
// exactly as they were, with no temporary file behind.
static void expectFailureLeavesOutputs(const std::string& dir, const std::string& message) {
  writeFileBytes(dir + "/book1bwt.frq", {'o', 'l', 'd'});
  std::string errors;
  EXPECT_EQ(runIn(dir, kRun, &errors), 1);
  EXPECT_EQ(errors, "blockcode: " + message + "\n");
  EXPECT_EQ(readFileBytes(dir + "/book1bwt.frq"), (Bytes{'o', 'l', 'd'}));
  for (const std::string& name : listDir(dir)) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

TEST(BlockcodeProgram, MissingInputIsReported) {
  std::string dir = makeScratchDir("blockcode_missing");
  writeFileBytes(dir + "/book1bwt.bar", {'b', 'a', 'r'});
  expectFailureLeavesOutputs(dir, "cannot open \"book1bwt.\": No such file or directory");
  EXPECT_EQ(readFileBytes(dir + "/book1bwt.bar"), (Bytes{'b', 'a', 'r'}));
  EXPECT_EQ(listDir(dir), (std::vector<std::string>{"book1bwt.bar", "book1bwt.frq"}));
}

TEST(BlockcodeProgram, FolderAsInputIsReported) {
  std::string dir = makeScratchDir("blockcode_folder_input");
  ASSERT_EQ(runIn(dir, "mkdir book1bwt."), 0);
  expectFailureLeavesOutputs(dir, "cannot read \"book1bwt.\": Is a directory");
}

TEST(BlockcodeProgram, AnUnreplaceableOutputLeavesTheOtherOneAlone) {
  std::string dir = makeScratchDir("blockcode_folder_output");
  writeFileBytes(dir + "/book1bwt.", sampleInput());
  ASSERT_EQ(runIn(dir, "mkdir book1bwt.bar"), 0);
  expectFailureLeavesOutputs(dir, "cannot replace \"book1bwt.bar\": Is a directory");
}

TEST(BlockcodeProgram, InputsOfTwoGigabytesAreRefused) {
  std::string dir = makeScratchDir("blockcode_large");
  // A sparse file: no disk space is used.
  if (runIn(dir, "truncate -s 2147483648 book1bwt.") != 0) GTEST_SKIP() << "cannot make a sparse file";
  expectFailureLeavesOutputs(
      dir, "\"book1bwt.\" is too large: 2147483648 bytes, the limit is 2147483647");
  remove((dir + "/book1bwt.").c_str());
}
