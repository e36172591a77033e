// Every program's command line: help, version, unknown options, wrong
// operand counts and "--", all before any file is touched.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

struct Program {
  std::string name;
  std::string synopsis;    // as in usage errors
  std::string tooMany;     // arguments one beyond what it takes
  std::string dashHelp;    // a valid command line with the operand "--help"
};

std::vector<Program> programs() {
  std::vector<Program> list = {
      {"blockcode", "blockcode [INPUT]", "a b", "-- --help"},
      {"morvalen", "morvalen MATRIX", "a b", "-- --help"},
      {"remix", "remix DATA ORDER or remix --inverse REMIXED ORDER", "a b c", "-- --help --help"},
      {"make_sample", "make_sample OUTPUT [LENGTH [SEED]]", "a 1 2 3", "-- --help x"},
  };
  if (fileExists(toolPath("bwt")))
    list.push_back({"bwt", "bwt INPUT [OUTPUT] or bwt -d INPUT OUTPUT", "a b c", "-- --help"});
  return list;
}

struct ProgramRun {
  int status;
  std::string out;
  std::string err;
};

ProgramRun runProgram(const std::string& dir, const Program& program, const std::string& arguments) {
  ProgramRun result;
  result.status = runIn(dir, "'" + toolPath(program.name) + "' " + arguments + " > out.txt", &result.err);
  std::vector<uint8_t> out = readFileBytes(dir + "/out.txt");
  result.out.assign(out.begin(), out.end());
  remove((dir + "/out.txt").c_str());
  return result;
}

TEST(CommandLine, RefusesUnknownOptionsAndExtraArgumentsWithStatus2) {
  std::string dir = makeScratchDir("command_line_refusals");
  for (const Program& program : programs()) {
    SCOPED_TRACE(program.name);
    std::string usage = "; usage: " + program.synopsis + "\n";
    for (const char* option : {"--bogus", "-x", "--help=yes", "--versions"}) {
      ProgramRun refused = runProgram(dir, program, std::string(option) + " a");
      EXPECT_EQ(refused.status, 2);
      EXPECT_EQ(refused.err, program.name + ": unknown option \"" + option + "\"" + usage);
      EXPECT_EQ(refused.out, "");
    }
    ProgramRun extra = runProgram(dir, program, program.tooMany);
    EXPECT_EQ(extra.status, 2);
    std::string last = program.tooMany.substr(program.tooMany.rfind(' ') + 1);
    EXPECT_EQ(extra.err, program.name + ": unexpected argument \"" + last + "\"" + usage);
    if (program.name != "blockcode") {
      ProgramRun missing = runProgram(dir, program, "");
      EXPECT_EQ(missing.status, 2);
      EXPECT_EQ(missing.err.rfind(program.name + ": missing argument", 0), 0u) << missing.err;
      EXPECT_NE(missing.err.find(usage), std::string::npos) << missing.err;
    }
    EXPECT_EQ(listDir(dir), std::vector<std::string>{}) << "a refused command line touches no file";
  }
}

TEST(CommandLine, UsageErrorsStayOnOneLineWhateverTheArgumentsHold) {
  std::string dir = makeScratchDir("command_line_control_characters");
  for (const Program& program : programs()) {
    SCOPED_TRACE(program.name);
    std::string usage = "; usage: " + program.synopsis + "\n";
    ProgramRun refused = runProgram(dir, program, "'--bo\ngus\t' a");
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, program.name + ": unknown option \"--bo\\ngus\\t\"" + usage);
  }
}

TEST(CommandLine, HelpAndVersionWinAndDoubleDashEndsTheOptions) {
  std::string dir = makeScratchDir("command_line_help");
  for (const Program& program : programs()) {
    SCOPED_TRACE(program.name);
    for (const char* arguments : {"--help", "-h", "a --bogus -h", "a b c d --help"}) {
      ProgramRun help = runProgram(dir, program, arguments);
      EXPECT_EQ(help.status, 0) << arguments;
      EXPECT_EQ(help.out.rfind("usage: " + program.name, 0), 0u) << arguments << ": " << help.out;
      EXPECT_NE(help.out.find("--version"), std::string::npos) << "the help lists the options";
      EXPECT_EQ(help.err, "");
    }
    ProgramRun version = runProgram(dir, program, "x --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, program.name + " " + TOOL_VERSION + "\n");
    // After "--", "--help" is a file name like any other.
    ProgramRun operand = runProgram(dir, program, program.dashHelp);
    EXPECT_EQ(operand.status, program.name == "make_sample" ? 2 : 1) << operand.err;
    EXPECT_EQ(operand.out, "");
    if (program.name == "make_sample")
      EXPECT_EQ(operand.err.rfind("make_sample: bad length \"x\"", 0), 0u) << operand.err;
    else
      EXPECT_EQ(operand.err.rfind(program.name + ": cannot open \"", 0), 0u) << operand.err;
    EXPECT_EQ(listDir(dir), std::vector<std::string>{});
  }
}

TEST(CommandLine, OperandsMayStartWithADashAfterTheDoubleDash) {
  std::string dir = makeScratchDir("command_line_dash");
  std::string sample = "'" + toolPath("make_sample") + "'";
  ASSERT_EQ(runIn(dir, sample + " -- -data 5000"), 0);
  ASSERT_EQ(runIn(dir, sample + " -- - 100"), 0) << "a lone dash is an operand";
  ASSERT_EQ(runIn(dir, "'" + toolPath("blockcode") + "' -- -data"), 0);
  ASSERT_EQ(runIn(dir, "'" + toolPath("morvalen") + "' -- -data.frq > /dev/null"), 0);
  ASSERT_EQ(runIn(dir, "'" + toolPath("remix") + "' -- -data morvalen.ord"), 0);
  EXPECT_EQ(readFileBytes(dir + "/remixed.dmp").size(), 5000u);
  EXPECT_EQ(readFileBytes(dir + "/-").size(), 100u);
}

}  // namespace
