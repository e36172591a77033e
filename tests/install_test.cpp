// The installed tree: `cmake --install` into a fresh prefix, the chain run
// from there, and the man pages against each program's --help.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

#include "fileio.h"
#include "test_support.h"

namespace {

std::vector<std::string> installedPrograms() {
  std::vector<std::string> programs = {"blockcode", "make_sample", "morvalen", "remix"};
  if (fileExists(toolPath("bwt"))) programs.insert(programs.begin() + 1, "bwt");
  return programs;
}

// Installs the build into `name`/prefix under the scratch root; each test
// has its own, so that they may run side by side.
std::string installInto(const std::string& name) {
  std::string dir = makeScratchDir(name);
  std::string prefix = dir + "/prefix";
  std::string log;
  EXPECT_EQ(runIn(dir, "'" CMAKE_COMMAND "' --install '" TOOLS_DIR "' --prefix '" + prefix + "' > install.log", &log), 0)
      << log;
  return prefix;
}

bool isExecutable(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IXUSR);
}

std::string textOf(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(InstalledTree, HoldsTheProgramsTheirManPagesAndTheScripts) {
  std::string prefix = installInto("install_layout");
  EXPECT_EQ(listDir(prefix + "/bin"), installedPrograms());
  std::vector<std::string> pages;
  for (const std::string& program : installedPrograms()) {
    EXPECT_TRUE(isExecutable(prefix + "/bin/" + program)) << program;
    pages.push_back(program + ".1");
  }
  EXPECT_EQ(listDir(prefix + "/share/man/man1"), pages);
  EXPECT_EQ(listDir(prefix + "/share/blockcluster"),
            (std::vector<std::string>{"draw_counts.py", "merge_report.py", "merge_report_plots.py"}));
  for (const char* script : {"draw_counts.py", "merge_report.py"})
    EXPECT_TRUE(isExecutable(prefix + "/share/blockcluster/" + script)) << script;
  EXPECT_EQ(listDir(prefix), (std::vector<std::string>{"bin", "share"}));
}

TEST(InstalledTree, RunsTheChainFromThePrefix) {
  // The installed programs, found on PATH from another folder, give the
  // build's outputs byte for byte.
  std::string prefix = installInto("install_chain");
  std::string dir = makeScratchDir("install_chain_run");
  ASSERT_EQ(runIn(dir, "mkdir installed built"), 0);
  std::string path = "PATH='" + prefix + "/bin':\"$PATH\" ";
  bool withBwt = fileExists(toolPath("bwt"));
  std::string sample = withBwt ? "make_sample sample 150000 3 && bwt sample" : "make_sample book1bwt. 150000 3";
  std::string chain = " && blockcode && morvalen book1bwt.frq > merges.txt && remix book1bwt. morvalen.ord";
  std::string errors;
  ASSERT_EQ(runIn(dir + "/installed", path + "sh -c '" + sample + chain + "'", &errors), 0) << errors;
  EXPECT_EQ(errors, "");
  std::string built = "PATH='" + std::string(TOOLS_DIR) + "':\"$PATH\" ";
  ASSERT_EQ(runIn(dir + "/built", built + "sh -c '" + sample + chain + "'", &errors), 0) << errors;
  for (const char* file : {"book1bwt.", "book1bwt.frq", "book1bwt.bar", "merges.txt", "morvalen.ord",
                           "morvalen.frq", "remixed.dmp"}) {
    std::vector<uint8_t> fromPrefix = readFileBytes(dir + "/installed/" + file);
    EXPECT_FALSE(fromPrefix.empty()) << file;
    EXPECT_TRUE(fromPrefix == readFileBytes(dir + "/built/" + file)) << file;
  }
  EXPECT_EQ(readFileBytes(dir + "/installed/remixed.dmp").size(), 150000u);
  // man(1) finds the pages beside the programs on PATH.
  if (runIn(dir, "command -v man") == 0) {
    for (const std::string& program : installedPrograms()) {
      ASSERT_EQ(runIn(dir, path + "man -w " + program + " > page.txt"), 0) << program;
      EXPECT_EQ(textOf(readFileBytes(dir + "/page.txt")), prefix + "/share/man/man1/" + program + ".1\n");
    }
  }
}

TEST(InstalledTree, DrawsWithTheInstalledScript) {
  std::string prefix = installInto("install_picture");
  std::string dir = makeScratchDir("install_picture_run");
  if (runIn(dir, "/usr/bin/python3 -c 'import matplotlib, numpy'") != 0)
    GTEST_SKIP() << "/usr/bin/python3 has no matplotlib (python3-matplotlib)";
  writeFileBytes(dir + "/a.frq", blockHistogramMatrix(bwtLikeBytes(40000, 1)));
  std::string errors;
  ASSERT_EQ(runIn(dir, "'" + prefix + "/share/blockcluster/draw_counts.py' a.frq a.frq -o a.png", &errors), 0)
      << errors;
  std::vector<uint8_t> png = readFileBytes(dir + "/a.png");
  ASSERT_GE(png.size(), 8u);
  EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
}

// The options a --help text lists: the first word of each indented line of
// its "Options:" section ("-h, --help" gives both).
std::vector<std::string> helpOptions(const std::string& help) {
  std::vector<std::string> options;
  size_t section = help.find("\nOptions:\n");
  if (section == std::string::npos) return options;
  size_t end = help.find("\n\n", section + 1);
  std::string body = help.substr(section + 10, end == std::string::npos ? std::string::npos : end - section - 10);
  size_t start = 0;
  while (start < body.size()) {
    size_t lineEnd = std::min(body.find('\n', start), body.size());
    std::string line = body.substr(start, lineEnd - start);
    start = lineEnd + 1;
    size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos || line[first] != '-') continue;
    std::string names = line.substr(first, line.find("  ", first) - first);
    for (size_t at = 0; at < names.size();) {
      size_t comma = std::min(names.find(", ", at), names.size());
      options.push_back(names.substr(at, comma - at));
      at = comma + 2;
    }
  }
  return options;
}

// The text of a man page with the escapes that hide option names undone:
// "\-" is a minus sign, "\fB" and the like switch fonts.
std::string manText(const std::string& page) {
  std::string text;
  for (size_t i = 0; i < page.size(); i++) {
    if (page.compare(i, 2, "\\-") == 0) {
      text += '-';
      i++;
    } else if (page.compare(i, 2, "\\f") == 0 && i + 2 < page.size()) {
      i += 2;
    } else {
      text += page[i];
    }
  }
  return text;
}

// The words of the page's lines that start with `macro` (".B" takes ".BR"
// and ".BI" too), split at spaces and quotes.
std::vector<std::string> macroWords(const std::string& page, const std::string& macro) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start < page.size()) {
    size_t end = std::min(page.find('\n', start), page.size());
    std::string line = page.substr(start, end - start);
    start = end + 1;
    if (line.rfind(macro, 0) != 0) continue;
    std::string word;
    for (char c : line.substr(line.find(' ') == std::string::npos ? line.size() : line.find(' ')) + " ") {
      if (c == ' ' || c == '"') {
        if (!word.empty()) words.push_back(word);
        word.clear();
      } else {
        word += c;
      }
    }
  }
  return words;
}

TEST(ManPages, NameEveryOptionOfTheHelp) {
  std::string dir = makeScratchDir("man_pages");
  for (const std::string& program : installedPrograms()) {
    SCOPED_TRACE(program);
    ASSERT_EQ(runIn(dir, "'" + toolPath(program) + "' --help > help.txt"), 0);
    std::string help = textOf(readFileBytes(dir + "/help.txt"));
    std::vector<std::string> options = helpOptions(help);
    EXPECT_GE(options.size(), 4u) << "-h, --help, --version and -- at least:\n" << help;
    std::string page = manText(textOf(readFileBytes(std::string(TOOLS_DIR) + "/man/" + program + ".1")));
    std::string upper = program;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return char(toupper(c)); });
    EXPECT_EQ(page.rfind(".TH " + upper + " 1 \"\" \"blockcluster " TOOL_VERSION "\"", 0), 0u) << page.substr(0, 80);
    std::vector<std::string> boldWords = macroWords(page, ".B");
    for (const std::string& option : options)
      EXPECT_NE(std::find(boldWords.begin(), boldWords.end(), option), boldWords.end())
          << option << " is not described in " << program << ".1";
    if (help.find("MORVALEN_THREADS") != std::string::npos) {
      EXPECT_NE(page.find(".B MORVALEN_THREADS"), std::string::npos);
    }
  }
}

TEST(ManPages, RenderWithoutWarnings) {
  std::string dir = makeScratchDir("man_render");
  if (runIn(dir, "command -v groff") != 0) GTEST_SKIP() << "groff is not installed (groff-base)";
  for (const std::string& program : installedPrograms()) {
    std::string warnings;
    EXPECT_EQ(runIn(dir, "groff -man -Tutf8 -ww -z '" + std::string(TOOLS_DIR) + "/man/" + program + ".1'", &warnings),
              0)
        << program;
    EXPECT_EQ(warnings, "") << program;
  }
}

}  // namespace
