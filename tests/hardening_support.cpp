#include "hardening_support.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileio.h"
#include "test_support.h"

std::string limits() { return memoryCapPrefix(4096) + "timeout 300 "; }

std::string tool(const std::string& name) { return "'" + toolPath(name) + "'"; }

Snapshot snapshot(const std::string& dir) {
  Snapshot result;
  for (const std::string& name : listDir(dir)) {
    std::string path = dir + "/" + name;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
      result[name] = "<gone>";
    } else if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) {
      result[name] = "<special>";  // a FIFO would block the read
    } else if (S_ISDIR(info.st_mode)) {
      std::string folder = "<folder>";
      for (const std::string& inner : listDir(path)) folder += " " + inner;
      result[name] = folder;
    } else if (info.st_size > (1 << 20)) {
      // The large sparse inputs: their size stands for them.
      result[name] = "<" + std::to_string(info.st_size) + " bytes>";
    } else {
      std::vector<uint8_t> bytes = readFileBytes(path);
      result[name] = std::string(bytes.begin(), bytes.end());
    }
  }
  return result;
}

std::string names(const Snapshot& snap) {
  std::string text;
  for (const auto& entry : snap) text += entry.first + " ";
  return text;
}

RunResult runTool(const std::string& dir, const std::string& commandLine,
                  const std::string& standardOutput) {
  RunResult result;
  result.status = runIn(dir, limits() + commandLine + " > " + standardOutput, &result.err);
  return result;
}

// Runs `commandLine` in `dir` and checks it is refused as described above.
void expectRefusal(const std::string& dir, const std::string& toolName, const std::string& commandLine,
                   const std::string& standardOutput, int status) {
  SCOPED_TRACE(commandLine);
  Snapshot before = snapshot(dir);
  RunResult run = runTool(dir, commandLine, standardOutput);
  EXPECT_EQ(run.status, status) << "stderr: " << run.err;
  EXPECT_EQ(run.err.rfind(toolName + ": ", 0), 0u) << "stderr: " << run.err;
  EXPECT_TRUE(!run.err.empty() && run.err.find('\n') == run.err.size() - 1)
      << "not exactly one line: " << run.err;
  Snapshot after = snapshot(dir);
  EXPECT_EQ(names(after), names(before));
  EXPECT_TRUE(after == before) << "the folder changed";
}

// A command line the tool cannot take: refused with status 2 and the usage.
void expectUsageError(const std::string& dir, const std::string& toolName, const std::string& commandLine) {
  expectRefusal(dir, toolName, commandLine, "/dev/null", 2);
}

void expectSuccess(const std::string& dir, const std::string& commandLine) {
  SCOPED_TRACE(commandLine);
  RunResult run = runTool(dir, commandLine);
  EXPECT_EQ(run.status, 0) << "stderr: " << run.err;
  EXPECT_EQ(run.err, "");
}

std::vector<uint8_t> words(std::initializer_list<uint32_t> values) {
  std::vector<uint8_t> bytes(4 * values.size());
  size_t i = 0;
  for (uint32_t value : values) storeU32LE(value, &bytes[4 * i++]);
  return bytes;
}

std::vector<uint8_t> matrixBytes(uint32_t columns, uint32_t rows, const std::vector<int32_t>& counts) {
  std::vector<uint8_t> bytes = words({columns, rows});
  for (int32_t count : counts) {
    std::vector<uint8_t> word = words({uint32_t(count)});
    bytes.insert(bytes.end(), word.begin(), word.end());
  }
  return bytes;
}

std::vector<uint8_t> text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// A file of 2^31 bytes that takes no disk space.
void makeHugeSparseFile(const std::string& path) {
  writeFileBytes(path, {});
  ASSERT_EQ(truncate(path.c_str(), off_t(1) << 31), 0);
}

void mkdirOrFail(const std::string& path) { ASSERT_EQ(runIn(".", "mkdir -p '" + path + "'"), 0); }

// A FIFO that nobody writes to: opening it to read would wait forever.
void makeFifo(const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }

// Runs that would hang on a FIFO end by this timeout instead, failing.
extern const std::string kNoHang;
const std::string kNoHang = "timeout 20 ";

// The name of a temporary file in `dir`, or "" when there is none.
std::string temporaryFileIn(const std::string& dir) {
  for (const std::string& name : listDir(dir))
    if (name.find(".tmp") != std::string::npos) return name;
  return "";
}


// A folder holding earlier outputs of morvalen; inputs go beside it, so
// the run folder must stay exactly as it is after a refusal.
std::string morvalenFolder(const std::string& name) {
  std::string dir = makeScratchDir("hardening/" + name);
  mkdirOrFail(dir + "/run");
  writeFileBytes(dir + "/run/morvalen.ord", text("earlier order"));
  writeFileBytes(dir + "/run/morvalen.frq", text("earlier matrix"));
  return dir;
}

const std::vector<int> kInterruptions = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF};

pid_t startIn(const std::string& dir, const std::string& program, const std::vector<std::string>& arguments,
              int standardOutput) {
  pid_t pid = fork();
  if (pid == 0) {
    for (int signalNumber : kInterruptions) signal(signalNumber, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    // SIGQUIT's default action dumps core: not into the folder under test.
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    if (chdir(dir.c_str()) != 0 || dup2(standardOutput, 1) < 0) _exit(127);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}
