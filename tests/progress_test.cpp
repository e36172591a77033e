// The progress line: drawn on a terminal stderr only, erased at the end,
// never in the way of standard output.
#include <gtest/gtest.h>

#include <chrono>

#include "progress.h"
#include "test_support.h"

namespace {

std::string textOf(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(ProgressLine, ReadsAsCountsTimesAndAnEstimate) {
  ProgressPlan merges;
  merges.label = "morvalen";
  merges.unit = "merges";
  merges.total = 16714;
  EXPECT_EQ(progressLine(merges, 1200, 4.2, 31.4), "morvalen: 1200 of 16714 merges, 0:04 elapsed, about 0:31 left");
  EXPECT_EQ(progressLine(merges, 0, 65, -1), "morvalen: 0 of 16714 merges, 1:05 elapsed");
  EXPECT_EQ(progressLine(merges, 3, 3725, 7200), "morvalen: 3 of 16714 merges, 1:02:05 elapsed, about 2:00:00 left");
  ProgressPlan bytes;
  bytes.label = "blockcode";
  bytes.unit = "MB coded";
  bytes.total = 734003200;
  bytes.inMegabytes = true;
  EXPECT_EQ(progressLine(bytes, 12500000, 1, 57), "blockcode: 12.5 of 734.0 MB coded, 0:01 elapsed, about 0:57 left");
  ProgressPlan unknown;
  unknown.label = "bwt";
  unknown.unit = "transforming 12.0 MB";
  EXPECT_EQ(progressLine(unknown, 0, 2, 9), "bwt: transforming 12.0 MB, 0:02 elapsed");
}

TEST(ProgressLine, EstimatesExactlyWhenTheWorkFollowsThePace) {
  // Unit k of a shrinking run costs n + 1 - k seconds (n units): the rate
  // seen between any two moments predicts the rest exactly.
  ProgressPlan plan;
  plan.total = 1000;
  plan.pace = ProgressPace::kShrinking;
  auto secondsFor = [&](double units) { return units * 1001 - units * (units - 1) / 2; };
  for (uint64_t done : {2u, 10u, 500u, 999u}) {
    double left = progressTimeLeft(plan, 1, secondsFor(1), done, secondsFor(double(done)));
    EXPECT_NEAR(left, secondsFor(1000) - secondsFor(double(done)), 1e-6) << done;
  }
  plan.pace = ProgressPace::kEven;
  EXPECT_NEAR(progressTimeLeft(plan, 100, 7, 300, 9), 7, 1e-9);
  EXPECT_LT(progressTimeLeft(plan, 100, 7, 100, 9), 0) << "no rate without units done in between";
  EXPECT_EQ(progressTimeLeft(plan, 100, 7, 1000, 9), 0);
}

// A matrix of block histograms that morvalen needs about a second for, and
// whose pass lines (about 100 KB) overflow a pipe: a reader that waits holds
// the run up for as long as it waits.
std::string writeProgressMatrix(const std::string& dir) {
  writeFileBytes(dir + "/in.frq", blockHistogramMatrix(bwtLikeBytes(2000 * 2048, 77)));
  return "'" + toolPath("morvalen") + "' in.frq";
}

TEST(MorvalenProgress, OnlyOnATerminalAndNeverInStandardOutput) {
  std::string dir = makeScratchDir("progress_morvalen");
  std::string morvalen = writeProgressMatrix(dir);
  // stderr not a terminal: nothing on it, although the run takes over a second.
  std::string errors;
  ASSERT_EQ(runIn(dir, morvalen + " | (sleep 1; cat > plain.txt)", &errors), 0) << errors;
  EXPECT_EQ(errors, "");
  std::string plain = textOf(readFileBytes(dir + "/plain.txt"));
  ASSERT_EQ(std::count(plain.begin(), plain.end(), '\n'), 1999);

  // stderr a terminal: the line shows the merges and the time, and is gone
  // at the end; stdout is the same bytes.
  std::string terminal;
  ASSERT_EQ(runOnTerminal(dir, morvalen + " | (sleep 1; cat > piped.txt)", false, &terminal), 0) << terminal;
  EXPECT_EQ(textOf(readFileBytes(dir + "/piped.txt")), plain);
  EXPECT_TRUE(contains(terminal, "morvalen: ") && contains(terminal, " of 1999 merges, 0:0")) << terminal;
  EXPECT_TRUE(contains(terminal, " elapsed")) << terminal;
  EXPECT_EQ(screenLines(terminal), std::vector<std::string>{}) << "the line is erased: " << terminal;
}

TEST(MorvalenProgress, SharesATerminalWithThePassLines) {
  // stdout and stderr on one terminal, read late so that the run waits for
  // it: at the end the screen holds exactly the pass lines.
  std::string dir = makeScratchDir("progress_morvalen_shared");
  std::string morvalen = writeProgressMatrix(dir);
  ASSERT_EQ(runIn(dir, morvalen + " > plain.txt"), 0);
  std::string plain = textOf(readFileBytes(dir + "/plain.txt"));
  std::string terminal;
  ASSERT_EQ(runOnTerminal(dir, morvalen, true, &terminal, 1000), 0);
  EXPECT_TRUE(contains(terminal, " of 1999 merges")) << "no progress line was drawn";
  std::vector<std::string> expected;
  for (size_t start = 0, end; (end = plain.find('\n', start)) != std::string::npos; start = end + 1)
    expected.push_back(plain.substr(start, end - start));
  EXPECT_EQ(screenLines(terminal), expected);
}

TEST(BlockcodeProgress, OnlyOnATerminalAndNeverInTheOutputs) {
  // 40 MB: about half a second to a second of coding here. The line must
  // show once the run has lasted well beyond the half second of quiet; a
  // faster machine may finish before it is due.
  std::string dir = makeScratchDir("progress_blockcode");
  ASSERT_EQ(runIn(dir, "mkdir plain terminal"), 0);
  std::vector<uint8_t> part = bwtLikeBytes(1000000, 5), input;
  for (int i = 0; i < 40; i++) input.insert(input.end(), part.begin(), part.end());
  writeFileBytes(dir + "/plain/book1bwt.", input);
  ASSERT_EQ(runIn(dir, "ln plain/book1bwt. terminal/book1bwt."), 0);
  std::string errors;
  ASSERT_EQ(runIn(dir + "/plain", "'" + toolPath("blockcode") + "'", &errors), 0);
  EXPECT_EQ(errors, "");
  std::string terminal;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(runOnTerminal(dir + "/terminal", "'" + toolPath("blockcode") + "'", true, &terminal), 0) << terminal;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (seconds > 1.5) {
    EXPECT_TRUE(contains(terminal, " of 40.0 MB coded, ")) << seconds << " s: " << terminal;
  }
  EXPECT_EQ(screenLines(terminal), std::vector<std::string>{}) << terminal;
  for (const char* output : {"book1bwt.frq", "book1bwt.bar"})
    EXPECT_TRUE(readFileBytes(dir + "/plain/" + output) == readFileBytes(dir + "/terminal/" + output)) << output;
}

TEST(ToolsOnATerminal, PrintNothingExtraOnQuickRuns) {
  // Runs shorter than the half second of quiet show no line at all; messages
  // stay one clean line.
  std::string dir = makeScratchDir("progress_quick");
  writeFileBytes(dir + "/book1bwt.", bwtLikeBytes(9000, 3));
  std::string terminal;
  EXPECT_EQ(runOnTerminal(dir, "'" + toolPath("blockcode") + "'", true, &terminal), 0);
  EXPECT_EQ(terminal, "");
  EXPECT_EQ(runOnTerminal(dir, "'" + toolPath("morvalen") + "' book1bwt.frq > /dev/null", false, &terminal), 0);
  EXPECT_EQ(terminal, "");
  EXPECT_EQ(runOnTerminal(dir, "'" + toolPath("morvalen") + "' absent.frq", true, &terminal), 1);
  EXPECT_EQ(screenLines(terminal),
            std::vector<std::string>{"morvalen: cannot open \"absent.frq\": No such file or directory"});
  if (fileExists(toolPath("bwt"))) {
    EXPECT_EQ(runOnTerminal(dir, "'" + toolPath("bwt") + "' book1bwt. x.bwt", true, &terminal), 0);
    EXPECT_EQ(terminal, "");
  }
}

}  // namespace
