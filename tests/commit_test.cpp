// How the programs replace their outputs: the earlier file's mode stays, a
// symbolic link is written through, a target that cannot be replaced leaves
// the whole earlier set in place (here for real, as another user in a
// sticky folder), and temporaries of dead runs are removed.

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "fileio.h"
#include "test_support.h"

namespace {

std::vector<uint8_t> text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// A small count matrix, 2 columns by 6 rows.
std::vector<uint8_t> matrixFile() {
  std::vector<uint8_t> bytes(8 + 4 * 12);
  storeU32LE(2, &bytes[0]);
  storeU32LE(6, &bytes[4]);
  const uint32_t counts[12] = {5, 1, 0, 4, 3, 3, 9, 0, 1, 1, 0, 7};
  for (int i = 0; i < 12; i++) storeU32LE(counts[i], &bytes[8 + 4 * i]);
  return bytes;
}

mode_t modeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : mode_t(-1);
}

bool isLink(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

int run(const std::string& dir, const std::string& commandLine, std::string* err = nullptr) {
  return runIn(dir, commandLine + " > /dev/null", err);
}

std::string tool(const std::string& name) { return "'" + toolPath(name) + "'"; }

TEST(ReplacedOutputs, KeepTheEarlierFilesMode) {
  std::string dir = makeScratchDir("commit/modes");
  writeFileBytes(dir + "/book1bwt.", pseudoRandomBytes(5000, 9));
  writeFileBytes(dir + "/book1bwt.frq", text("earlier"));
  writeFileBytes(dir + "/book1bwt.bar", text("earlier"));
  chmod((dir + "/book1bwt.frq").c_str(), 0600);
  chmod((dir + "/book1bwt.bar").c_str(), 0751);
  ASSERT_EQ(run(dir, tool("blockcode")), 0);
  EXPECT_EQ(modeOf(dir + "/book1bwt.frq"), mode_t(0600));
  EXPECT_EQ(modeOf(dir + "/book1bwt.bar"), mode_t(0751));
  EXPECT_EQ(readFileBytes(dir + "/book1bwt.frq").size(), 8u + 3 * 1024);
  // A new output gets what the umask gives, as any new file.
  ASSERT_EQ(run(dir, "umask 027 && " + tool("morvalen") + " book1bwt.frq"), 0);
  EXPECT_EQ(modeOf(dir + "/morvalen.ord"), mode_t(0640));
}

TEST(ReplacedOutputs, AreWrittenThroughSymbolicLinks) {
  std::string dir = makeScratchDir("commit/links");
  ASSERT_EQ(runIn(dir, "mkdir store"), 0);
  writeFileBytes(dir + "/book1bwt.", pseudoRandomBytes(5000, 9));
  writeFileBytes(dir + "/store/matrix", text("earlier"));
  ASSERT_EQ(symlink("store/matrix", (dir + "/book1bwt.frq").c_str()), 0);
  // A link to a file not there yet: the file is created where it points.
  ASSERT_EQ(symlink("store/stream", (dir + "/book1bwt.bar").c_str()), 0);
  ASSERT_EQ(run(dir, tool("blockcode")), 0);
  EXPECT_TRUE(isLink(dir + "/book1bwt.frq"));
  EXPECT_TRUE(isLink(dir + "/book1bwt.bar"));
  EXPECT_EQ(readFileBytes(dir + "/store/matrix").size(), 8u + 3 * 1024);
  EXPECT_GT(readFileBytes(dir + "/store/stream").size(), 12u);
  EXPECT_EQ(listDir(dir), (std::vector<std::string>{"book1bwt.", "book1bwt.bar", "book1bwt.frq", "store"}));
  EXPECT_EQ(listDir(dir + "/store"), (std::vector<std::string>{"matrix", "stream"}));
}

TEST(ReplacedOutputs, RefuseLinksToWhatIsNoRegularFile) {
  std::string dir = makeScratchDir("commit/bad-links");
  writeFileBytes(dir + "/book1bwt.", pseudoRandomBytes(5000, 9));
  writeFileBytes(dir + "/book1bwt.frq", text("earlier"));
  struct Case {
    const char* pointsTo;
    const char* message;
  };
  for (const Case& c : {Case{"/dev/null", "cannot replace \"book1bwt.bar\": it is a character device, not a regular file"},
                        Case{"book1bwt.bar", "cannot follow \"book1bwt.bar\": Too many levels of symbolic links"}}) {
    SCOPED_TRACE(c.pointsTo);
    remove((dir + "/book1bwt.bar").c_str());
    ASSERT_EQ(symlink(c.pointsTo, (dir + "/book1bwt.bar").c_str()), 0);
    std::string err;
    EXPECT_EQ(run(dir, tool("blockcode"), &err), 1);
    EXPECT_EQ(err, std::string("blockcode: ") + c.message + "\n");
    EXPECT_EQ(readFileBytes(dir + "/book1bwt.frq"), text("earlier"));
    EXPECT_TRUE(isLink(dir + "/book1bwt.bar"));
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"book1bwt.", "book1bwt.bar", "book1bwt.frq"}));
  }
  struct stat info;
  ASSERT_EQ(stat("/dev/null", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
}

// Runs `program` with `arguments` in `dir` as user and group `id`.
int runAs(uid_t id, const std::string& dir, const std::string& program, const std::vector<std::string>& arguments,
          std::string* err) {
  std::string errPath = dir + "/../stderr-" + std::to_string(id);
  pid_t pid = fork();
  if (pid == 0) {
    FILE* errFile = freopen(errPath.c_str(), "w", stderr);
    if (!errFile || !freopen("/dev/null", "w", stdout) || chdir(dir.c_str()) != 0 || setgroups(0, nullptr) != 0 ||
        setgid(id) != 0 || setuid(id) != 0)
      _exit(126);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  std::vector<uint8_t> bytes = readFileBytes(errPath);
  err->assign(bytes.begin(), bytes.end());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// In a sticky folder only a file's owner may replace it. The run's user owns
// the earlier order but not the earlier matrix: the order's rename succeeds,
// the matrix's fails, and the order must be put back.
TEST(ReplacedOutputs, AnOutputAnotherUserOwnsLeavesTheWholeEarlierSet) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to two other users; the fault sweep covers the logic";
  const uid_t kRunner = 65534, kOwner = 1;  // nobody, daemon
  std::string dir = makeScratchDir("commit/sticky");
  std::string run = dir + "/run";
  ASSERT_EQ(mkdir(run.c_str(), 0777), 0);
  ASSERT_EQ(chmod(run.c_str(), 01777), 0);
  writeFileBytes(run + "/input.frq", matrixFile());
  writeFileBytes(run + "/morvalen.ord", text("earlier order"));
  writeFileBytes(run + "/morvalen.frq", text("earlier matrix"));
  ASSERT_EQ(chown((run + "/morvalen.ord").c_str(), kRunner, kRunner), 0);
  ASSERT_EQ(chown((run + "/morvalen.frq").c_str(), kOwner, kOwner), 0);
  std::string err;
  EXPECT_EQ(runAs(kRunner, run, toolPath("morvalen"), {"input.frq"}, &err), 1);
  EXPECT_EQ(err, "morvalen: cannot replace \"morvalen.frq\": Operation not permitted\n");
  EXPECT_EQ(readFileBytes(run + "/morvalen.ord"), text("earlier order"));
  EXPECT_EQ(readFileBytes(run + "/morvalen.frq"), text("earlier matrix"));
  EXPECT_EQ(listDir(run), (std::vector<std::string>{"input.frq", "morvalen.frq", "morvalen.ord"}));
}

// The id of a process that has ended.
pid_t deadProcessId() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

TEST(Temporaries, OfDeadRunsOfTheSameToolAreRemoved) {
  std::string dir = makeScratchDir("commit/stale");
  writeFileBytes(dir + "/input.frq", matrixFile());
  std::string dead = std::to_string(deadProcessId());
  std::string alive = std::to_string(getpid());
  std::vector<std::string> stale = {"morvalen.ord.tmp-morvalen-" + dead + "-0",
                                    "morvalen.frq.tmp-morvalen-" + dead + "-13", "other.tmp-morvalen-" + dead + "-2"};
  std::vector<std::string> kept = {"morvalen.ord.tmp-blockcode-" + dead + "-0",   // another tool's
                                   "morvalen.frq.tmp-morvalen-" + alive + "-1",  // a live process's
                                   "notes.tmp-morvalen-" + dead + "-x",          // not a temporary's name
                                   "notes.tmp-morvalen-" + dead};
  for (const std::string& name : stale) writeFileBytes(dir + "/" + name, text("stale"));
  for (const std::string& name : kept) writeFileBytes(dir + "/" + name, text("kept"));
  ASSERT_EQ(run(dir, tool("morvalen") + " input.frq"), 0);
  std::vector<std::string> expected = kept;
  expected.insert(expected.end(), {"input.frq", "morvalen.frq", "morvalen.ord"});
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listDir(dir), expected);
}

}  // namespace
