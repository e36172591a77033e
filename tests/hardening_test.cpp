// The three programs, run end to end on bad input. Every refusal must print
// one line on stderr, exit with status 1, or 2 for a bad command line (not a
// signal, not a sanitizer abort, not a timeout) and leave the working folder
// exactly as it was:
// earlier outputs byte for byte, no temporary file behind. A run ended by a
// signal must leave the folder as it was too. The valid edge cases beside
// them must still succeed.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "fileio.h"
#include "test_support.h"

namespace {

// Every run is capped at 4 GiB, so that a header promising a huge matrix
// ends in a failed allocation, not in a machine that swaps, and at 300 s.
std::string limits() { return memoryCapPrefix(4096) + "timeout 300 "; }

std::string tool(const std::string& name) { return "'" + toolPath(name) + "'"; }

// Names in a folder with their contents; a subfolder shows as its listing.
using Snapshot = std::map<std::string, std::string>;

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

struct RunResult {
  int status = 0;
  std::string err;
};

RunResult runTool(const std::string& dir, const std::string& commandLine,
                  const std::string& standardOutput = "/dev/null") {
  RunResult result;
  result.status = runIn(dir, limits() + commandLine + " > " + standardOutput, &result.err);
  return result;
}

// Runs `commandLine` in `dir` and checks it is refused as described above.
void expectRefusal(const std::string& dir, const std::string& toolName, const std::string& commandLine,
                   const std::string& standardOutput = "/dev/null", int status = 1) {
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

// ---------------------------------------------------------------- blockcode

// A folder with an input and the outputs of an earlier run.
std::string blockcodeFolder(const std::string& name) {
  std::string dir = makeScratchDir("hardening/" + name);
  writeFileBytes(dir + "/book1bwt.", pseudoRandomBytes(5000, 1));
  writeFileBytes(dir + "/book1bwt.frq", text("earlier matrix"));
  writeFileBytes(dir + "/book1bwt.bar", text("earlier stream"));
  return dir;
}

TEST(BlockcodeRefuses, MissingInput) {
  std::string dir = blockcodeFolder("blockcode-missing");
  remove((dir + "/book1bwt.").c_str());
  expectRefusal(dir, "blockcode", tool("blockcode"));
}

TEST(BlockcodeRefuses, InputIsAFolder) {
  std::string dir = blockcodeFolder("blockcode-input-folder");
  remove((dir + "/book1bwt.").c_str());
  mkdirOrFail(dir + "/book1bwt.");
  expectRefusal(dir, "blockcode", tool("blockcode"));
}

TEST(BlockcodeRefuses, UndottedInputIsAFolder) {
  std::string dir = blockcodeFolder("blockcode-undotted-folder");
  remove((dir + "/book1bwt.").c_str());
  mkdirOrFail(dir + "/book1bwt");
  expectRefusal(dir, "blockcode", tool("blockcode"));
}

TEST(BlockcodeRefuses, InputOf2GiB) {
  std::string dir = blockcodeFolder("blockcode-huge");
  makeHugeSparseFile(dir + "/book1bwt.");
  expectRefusal(dir, "blockcode", tool("blockcode"));
}

TEST(BlockcodeRefuses, OutputNamesAFolder) {
  for (const char* output : {"book1bwt.frq", "book1bwt.bar"}) {
    std::string dir = blockcodeFolder(std::string("blockcode-output-folder-") + output);
    remove((dir + "/" + output).c_str());
    mkdirOrFail(dir + "/" + output);
    expectRefusal(dir, "blockcode", tool("blockcode"));
  }
}

TEST(BlockcodeRefuses, UnknownOptionsAndExtraArguments) {
  std::string dir = blockcodeFolder("blockcode-arguments");
  expectUsageError(dir, "blockcode", tool("blockcode") + " --bogus");
  expectUsageError(dir, "blockcode", tool("blockcode") + " book1bwt. extra");
  expectRefusal(dir, "blockcode", tool("blockcode") + " absent");
}

TEST(BlockcodeAccepts, EmptyInput) {
  std::string dir = blockcodeFolder("blockcode-empty");
  writeFileBytes(dir + "/book1bwt.", {});
  expectSuccess(dir, tool("blockcode"));
  EXPECT_EQ(readFileBytes(dir + "/book1bwt.frq"), matrixBytes(256, 0, {}));
  EXPECT_EQ(listDir(dir), (std::vector<std::string>{"book1bwt.", "book1bwt.bar", "book1bwt.frq"}));
}

// A FIFO that nobody writes to: opening it to read would wait forever.
void makeFifo(const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }

// Runs that would hang on a FIFO end by this timeout instead, failing.
const std::string kNoHang = "timeout 20 ";

TEST(BlockcodeRefuses, InputsThatAreNoRegularFiles) {
  for (const char* device : {"/dev/zero", "/dev/urandom"}) {
    std::string dir = blockcodeFolder("blockcode-device");
    remove((dir + "/book1bwt.").c_str());
    ASSERT_EQ(symlink(device, (dir + "/book1bwt.").c_str()), 0);
    expectRefusal(dir, "blockcode", kNoHang + tool("blockcode"));
  }
  std::string dir = blockcodeFolder("blockcode-fifo");
  remove((dir + "/book1bwt.").c_str());
  makeFifo(dir + "/book1bwt.");
  expectRefusal(dir, "blockcode", kNoHang + tool("blockcode"));
  RunResult run = runTool(dir, kNoHang + tool("blockcode"));
  EXPECT_EQ(run.err, "blockcode: cannot read \"book1bwt.\": it is a FIFO, not a regular file\n");
}

// Beyond the file size limit a write fails (SIGXFSZ would end the run
// without a word): one line names the file.
TEST(BlockcodeRefuses, OutputsBeyondTheFileSizeLimit) {
  std::string dir = blockcodeFolder("blockcode-file-size-limit");
  std::string command = "sh -c \"ulimit -f 2 && exec " + tool("blockcode") + "\"";
  expectRefusal(dir, "blockcode", command);
  EXPECT_EQ(runTool(dir, command).err, "blockcode: cannot write \"book1bwt.frq\": File too large\n");
}

// Signals whose default action ends a process, sent to runs in progress.
const int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF};

// Starts `program` with `arguments` in `dir`, its stdout on `standardOutput`,
// every signal at its default action. Returns the process id.
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

// The name of a temporary file in `dir`, or "" when there is none.
std::string temporaryFileIn(const std::string& dir) {
  for (const std::string& name : listDir(dir))
    if (name.find(".tmp") != std::string::npos) return name;
  return "";
}

TEST(BlockcodeInterrupted, LeavesNoTemporaryFile) {
  // 256 MiB of zeros (sparse): the run takes long enough to be caught with
  // its temporary outputs open.
  std::vector<int> signals(std::begin(kInterruptions), std::end(kInterruptions));
  signals.push_back(SIGRTMIN + 3);
  for (int signalNumber : signals) {
    SCOPED_TRACE(strsignal(signalNumber));
    std::string dir = blockcodeFolder("blockcode-interrupted");
    writeFileBytes(dir + "/book1bwt.", {});
    ASSERT_EQ(truncate((dir + "/book1bwt.").c_str(), off_t(1) << 28), 0);
    Snapshot before = snapshot(dir);
    int devNull = open("/dev/null", O_WRONLY);
    pid_t pid = startIn(dir, toolPath("blockcode"), {}, devNull);
    close(devNull);
    ASSERT_GT(pid, 0);
    int status = 0;
    bool exited = false;
    std::string temporary;
    for (int wait = 0; wait < 20000 && (temporary = temporaryFileIn(dir)).empty(); wait++) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        exited = true;
        break;
      }
      usleep(1000);
    }
    if (!temporary.empty()) {
      // Named after its target, the tool and the process that owns it.
      EXPECT_EQ(temporary.rfind("book1bwt.bar.tmp-blockcode-" + std::to_string(pid) + "-", 0), 0u) << temporary;
    }
    if (!exited) {
      kill(pid, signalNumber);
      waitpid(pid, &status, 0);
    }
    if (!WIFSIGNALED(status)) {
      // The run ended before the signal came: nothing to check this time.
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      continue;
    }
    EXPECT_EQ(WTERMSIG(status), signalNumber);
    Snapshot after = snapshot(dir);
    EXPECT_EQ(names(after), names(before));
    EXPECT_TRUE(after == before) << "earlier outputs changed";
  }
}

// ----------------------------------------------------------------- morvalen

// A folder holding earlier outputs of morvalen; inputs go beside it, so
// the run folder must stay exactly as it is after a refusal.
std::string morvalenFolder(const std::string& name) {
  std::string dir = makeScratchDir("hardening/" + name);
  mkdirOrFail(dir + "/run");
  writeFileBytes(dir + "/run/morvalen.ord", text("earlier order"));
  writeFileBytes(dir + "/run/morvalen.frq", text("earlier matrix"));
  return dir;
}

void expectMorvalenRefuses(const std::string& name, const std::vector<uint8_t>& matrix) {
  SCOPED_TRACE(name);
  std::string dir = morvalenFolder("morvalen-" + name);
  writeFileBytes(dir + "/input.frq", matrix);
  expectRefusal(dir + "/run", "morvalen", tool("morvalen") + " ../input.frq");
}

TEST(MorvalenRefuses, MissingArgumentFileAndFolder) {
  std::string dir = morvalenFolder("morvalen-arguments");
  writeFileBytes(dir + "/input.frq", matrixBytes(2, 3, {10, 0, 0, 10, 10, 0}));
  expectUsageError(dir + "/run", "morvalen", tool("morvalen"));
  expectUsageError(dir + "/run", "morvalen", tool("morvalen") + " ../input.frq extra");
  expectUsageError(dir + "/run", "morvalen", tool("morvalen") + " --bogus ../input.frq");
  expectRefusal(dir + "/run", "morvalen", tool("morvalen") + " ../absent.frq");
  expectRefusal(dir + "/run", "morvalen", tool("morvalen") + " ..");
}

TEST(MorvalenRefuses, MatricesShorterThanTheirHeader) {
  expectMorvalenRefuses("empty", {});
  expectMorvalenRefuses("seven-bytes", {2, 0, 0, 0, 1, 0, 0});
  expectMorvalenRefuses("one-row-short", matrixBytes(256, 2, std::vector<int32_t>(256, 1)));
  std::vector<uint8_t> lastByteMissing = matrixBytes(2, 2, {1, 2, 3, 4});
  lastByteMissing.pop_back();
  expectMorvalenRefuses("last-byte-missing", lastByteMissing);
}

TEST(MorvalenRefuses, HeadersWhoseSizeOverflows32Bits) {
  // 65536 x 65537 counts: the product wraps to 65536 in 32 bits, and the
  // file is long enough for that many, so only an exact check refuses it.
  std::vector<uint8_t> wraps = matrixBytes(0x10000, 0x10001, std::vector<int32_t>(0x10000, 1));
  expectMorvalenRefuses("k-times-n-wraps", wraps);
  // 2^30 x 4 counts wrap to 0, and 4 * 2^30 * 4 bytes to 0 as well.
  expectMorvalenRefuses("k-times-n-wraps-to-zero", words({0x40000000, 4}));
  expectMorvalenRefuses("huge-k", matrixBytes(0xFFFFFFFF, 1, {1, 2, 3}));
  expectMorvalenRefuses("huge-n", matrixBytes(2, 0xFFFFFFFF, {1, 2, 3, 4}));
}

TEST(MorvalenRefuses, NoColumnsButHugeRowCount) {
  // A valid header by size (no counts at all), but its order file alone
  // would be 16 GiB: beyond what the tools write or can allocate.
  expectMorvalenRefuses("k0-huge-n", words({0, 0xFFFFFFFF}));
}

TEST(MorvalenRefuses, InputOf2GiB) {
  std::string dir = morvalenFolder("morvalen-huge");
  makeHugeSparseFile(dir + "/input.frq");
  expectRefusal(dir + "/run", "morvalen", tool("morvalen") + " ../input.frq");
}

TEST(MorvalenRefuses, OutputNamesAFolder) {
  for (const char* output : {"morvalen.ord", "morvalen.frq"}) {
    std::string dir = morvalenFolder(std::string("morvalen-output-folder-") + output);
    writeFileBytes(dir + "/input.frq", matrixBytes(2, 3, {10, 0, 0, 10, 10, 0}));
    remove((dir + "/run/" + output).c_str());
    mkdirOrFail(dir + "/run/" + output);
    expectRefusal(dir + "/run", "morvalen", tool("morvalen") + " ../input.frq");
  }
}

TEST(MorvalenRefuses, StandardOutputThatCannotBeWritten) {
  std::string dir = morvalenFolder("morvalen-stdout-full");
  writeFileBytes(dir + "/input.frq", matrixBytes(2, 3, {10, 0, 0, 10, 10, 0}));
  expectRefusal(dir + "/run", "morvalen", tool("morvalen") + " ../input.frq", "/dev/full");
}

TEST(MorvalenRefuses, StandardOutputWithoutReader) {
  // The reader of the pass lines is gone before the first one is written
  // (morvalen ... | head, say): the run ends by SIGPIPE and leaves neither
  // a temporary file nor a changed output behind.
  std::string dir = morvalenFolder("morvalen-stdout-no-reader");
  writeFileBytes(dir + "/input.frq", matrixBytes(2, 3, {10, 0, 0, 10, 10, 0}));
  Snapshot before = snapshot(dir + "/run");
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  pid_t pid = startIn(dir + "/run", toolPath("morvalen"), {"../input.frq"}, ends[1]);
  close(ends[1]);
  ASSERT_GT(pid, 0);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << "status " << status;
  Snapshot after = snapshot(dir + "/run");
  EXPECT_EQ(names(after), names(before));
  EXPECT_TRUE(after == before) << "earlier outputs changed";
}

TEST(MorvalenRefuses, InputsThatAreNoRegularFiles) {
  std::string dir = morvalenFolder("morvalen-not-regular");
  makeFifo(dir + "/fifo");
  for (const char* input : {"/dev/zero", "../fifo", "/proc/self/status"})
    expectRefusal(dir + "/run", "morvalen", kNoHang + tool("morvalen") + " " + input);
  RunResult run = runTool(dir + "/run", kNoHang + tool("morvalen") + " /proc/self/status");
  EXPECT_EQ(run.err.rfind("morvalen: cannot read \"/proc/self/status\": it holds more than the 0 bytes its size", 0),
            0u)
      << run.err;
}

// A matrix of 2 columns and `rows` rows, all different, with a pass line
// of about 50 bytes for each row but one. With 2000 rows the lines fill a
// pipe nobody reads, so the run waits in the middle of its passes, with
// its worker threads started.
std::vector<uint8_t> matrixOfManyPasses(int32_t rows = 2000) {
  std::vector<int32_t> counts;
  for (int32_t r = 0; r < rows; r++) {
    counts.push_back(r % 13 + 1);
    counts.push_back(r % 7);
  }
  return matrixBytes(2, uint32_t(rows), counts);
}

TEST(MorvalenRefuses, StandardOutputBeyondTheFileSizeLimit) {
  std::string dir = morvalenFolder("morvalen-stdout-file-size-limit");
  writeFileBytes(dir + "/input.frq", matrixOfManyPasses(300));
  std::string command = "sh -c \"ulimit -f 2 && exec " + tool("morvalen") + " ../input.frq\"";
  expectRefusal(dir + "/run", "morvalen", command, "../stdout.txt");
  EXPECT_EQ(runTool(dir + "/run", command, "../stdout.txt").err,
            "morvalen: cannot write to standard output: File too large\n");
}

// The signal mask of thread `task` of process `pid`, from /proc.
uint64_t blockedSignals(pid_t pid, const std::string& task) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/task/" + task + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
  return 0;
}

bool blocks(uint64_t mask, int signalNumber) { return (mask >> (signalNumber - 1)) & 1; }

// A signal taken by a worker thread could end the run between the creation
// of a temporary and its entry in the list the cleanup reads; the workers
// therefore block every signal that is not a fault of their own.
TEST(MorvalenWorkers, LeaveSignalsToTheMainThread) {
  std::string dir = morvalenFolder("morvalen-worker-signals");
  writeFileBytes(dir + "/input.frq", matrixOfManyPasses());
  Snapshot before = snapshot(dir + "/run");
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  setenv("MORVALEN_THREADS", "3", 1);
  pid_t pid = startIn(dir + "/run", toolPath("morvalen"), {"../input.frq"}, ends[1]);
  unsetenv("MORVALEN_THREADS");
  close(ends[1]);
  ASSERT_GT(pid, 0);
  // Once the pipe is full, the passes are under way and the workers, which
  // start with every signal blocked until they set their own mask, are past
  // their start.
  int pending = 0;
  for (int wait = 0; wait < 20000 && (ioctl(ends[0], FIONREAD, &pending) != 0 || pending < 60000); wait++)
    usleep(1000);
  std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
  std::vector<std::string> tasks = listDir(taskDir);
  EXPECT_EQ(tasks.size(), 3u);
  for (const std::string& task : tasks) {
    uint64_t mask = blockedSignals(pid, task);
    bool worker = task != std::to_string(pid);
    for (int signalNumber : kInterruptions) EXPECT_EQ(blocks(mask, signalNumber), worker) << "thread " << task;
    // AddressSanitizer starts every thread with all signals blocked.
    if (!builtWithAddressSanitizer()) {
      EXPECT_FALSE(blocks(mask, SIGSEGV)) << "thread " << task;
    }
  }
  kill(pid, SIGTERM);
  close(ends[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
  EXPECT_TRUE(snapshot(dir + "/run") == before);
}

uint32_t wordAt(const std::string& path, uint64_t index) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(std::streamoff(index * 4));
  uint8_t bytes[4] = {};
  in.read(reinterpret_cast<char*>(bytes), 4);
  return loadU32LE(bytes);
}

TEST(MorvalenAccepts, NoColumnsInTheMemoryOfTheOrderFile) {
  // K = 0 and 2^25 rows in 8 bytes. Every row totals 0 and none is ever
  // clustered: the run needs the 128 MiB of its order and little more, and
  // fits in 512 MiB, where 28 bytes of state per row would not.
  const uint32_t kRows = 1u << 25;
  std::string dir = morvalenFolder("morvalen-k0-many-rows");
  writeFileBytes(dir + "/input.frq", words({0, kRows}));
  std::string err;
  EXPECT_EQ(runIn(dir + "/run", memoryCapPrefix(512) + "timeout 300 " + tool("morvalen") + " ../input.frq > /dev/null", &err), 0);
  EXPECT_EQ(err, "");
  std::string order = dir + "/run/morvalen.ord";
  struct stat info;
  ASSERT_EQ(stat(order.c_str(), &info), 0);
  EXPECT_EQ(uint64_t(info.st_size), uint64_t(kRows) * 4);
  EXPECT_EQ(wordAt(order, 0), kRows - 1);
  EXPECT_EQ(wordAt(order, 12345), kRows - 1 - 12345);
  EXPECT_EQ(wordAt(order, kRows - 1), 0u);
  EXPECT_EQ(readFileBytes(dir + "/run/morvalen.frq"), words({0, kRows}));
  remove(order.c_str());
}

// Names are quoted with their control characters escaped: a message stays
// one line whatever the name holds.
TEST(Messages, NamesWithControlCharactersStayOnOneLine) {
  std::string dir = morvalenFolder("control-characters");
  writeFileBytes(dir + "/data", pseudoRandomBytes(5000, 3));
  struct Case {
    std::string toolName;
    std::string commandLine;  // the names come from printf
    std::string message;
  };
  std::vector<Case> cases = {
      {"morvalen", tool("morvalen") + " \"$(printf '../no\\nsuch\\t.frq')\"",
       "morvalen: cannot open \"../no\\nsuch\\t.frq\": No such file or directory\n"},
      {"remix", tool("remix") + " ../data \"$(printf 'ord\\033\"x\\\\y')\"",
       "remix: cannot open \"ord\\x1B\\\"x\\\\y\": No such file or directory\n"},
  };
  if (fileExists(toolPath("bwt")))
    cases.push_back({"bwt", tool("bwt") + " ../data \"$(printf 'no\\ndir/out')\"",
                     "bwt: cannot create \"no\\ndir/out\": No such file or directory\n"});
  for (const Case& c : cases) {
    expectRefusal(dir + "/run", c.toolName, c.commandLine);
    EXPECT_EQ(runTool(dir + "/run", c.commandLine).err, c.message);
  }
}

// A matrix that changes between the two reads: MorvalenTool's
// RefusesAnInputThatChangedBetweenTheReads holds the program mid-run with a
// full pipe and covers it deterministically.

TEST(MorvalenAccepts, ValidEdgeCases) {
  std::string dir = morvalenFolder("morvalen-valid");
  std::string run = dir + "/run";
  // No rows: empty order, header-only matrix; the columns need no memory.
  for (uint32_t columns : {256u, 0xFFFFFFFFu}) {
    writeFileBytes(dir + "/input.frq", matrixBytes(columns, 0, {}));
    expectSuccess(run, tool("morvalen") + " ../input.frq");
    EXPECT_EQ(readFileBytes(run + "/morvalen.ord").size(), 0u);
    EXPECT_EQ(readFileBytes(run + "/morvalen.frq"), matrixBytes(columns, 0, {}));
  }
  // No columns: every row totals zero and keeps the descending order.
  writeFileBytes(dir + "/input.frq", matrixBytes(0, 5, {}));
  expectSuccess(run, tool("morvalen") + " ../input.frq");
  EXPECT_EQ(readFileBytes(run + "/morvalen.ord"), words({4, 3, 2, 1, 0}));
  EXPECT_EQ(readFileBytes(run + "/morvalen.frq"), matrixBytes(0, 5, {}));
  // Columns, but every row totals 0 (the last wraps to 0): the same order.
  std::vector<int32_t> zeroTotals = {0, 0, 0, 0, INT32_MIN, INT32_MIN};
  writeFileBytes(dir + "/input.frq", matrixBytes(2, 3, zeroTotals));
  expectSuccess(run, tool("morvalen") + " ../input.frq");
  EXPECT_EQ(readFileBytes(run + "/morvalen.ord"), words({2, 1, 0}));
  EXPECT_EQ(readFileBytes(run + "/morvalen.frq"), matrixBytes(2, 3, {INT32_MIN, INT32_MIN, 0, 0, 0, 0}));
  // Negative counts and totals that wrap are taken as they stand.
  std::vector<int32_t> counts = {-5, 3, INT32_MAX, INT32_MAX, INT32_MIN, -1, 0, 0, 7, -7, 1, 1};
  writeFileBytes(dir + "/input.frq", matrixBytes(2, 6, counts));
  expectSuccess(run, tool("morvalen") + " ../input.frq");
  std::vector<uint8_t> order = readFileBytes(run + "/morvalen.ord");
  std::vector<uint8_t> permuted = readFileBytes(run + "/morvalen.frq");
  ASSERT_EQ(order.size(), 24u);
  ASSERT_EQ(permuted.size(), 8u + 48u);
  std::vector<bool> seen(6, false);
  for (uint32_t i = 0; i < 6; i++) {
    uint32_t row = loadU32LE(&order[4 * i]);
    ASSERT_LT(row, 6u);
    EXPECT_FALSE(seen[row]);
    seen[row] = true;
    EXPECT_EQ(int32_t(loadU32LE(&permuted[8 + 8 * i])), counts[2 * row]);
    EXPECT_EQ(int32_t(loadU32LE(&permuted[12 + 8 * i])), counts[2 * row + 1]);
  }
}

TEST(ChainAccepts, RunsThatReadTheirOwnEarlierOutput) {
  // Outputs replace their targets only once complete, after every read:
  // a tool may read the file it is about to replace.
  std::string dir = makeScratchDir("hardening/in-place");
  writeFileBytes(dir + "/book1bwt.", pseudoRandomBytes(9000, 5));
  expectSuccess(dir, tool("blockcode"));
  expectSuccess(dir, tool("morvalen") + " book1bwt.frq");
  std::vector<uint8_t> once = readFileBytes(dir + "/morvalen.frq");
  expectSuccess(dir, tool("morvalen") + " morvalen.frq");
  EXPECT_EQ(readFileBytes(dir + "/morvalen.frq").size(), once.size());
  expectSuccess(dir, tool("remix") + " book1bwt. morvalen.ord");
  expectSuccess(dir, tool("remix") + " remixed.dmp morvalen.ord");
  EXPECT_EQ(readFileBytes(dir + "/remixed.dmp").size(), 9000u);
}

// -------------------------------------------------------------------- remix

const uint32_t kDataLength = 5000;  // blocks of 2048, 2048 and 904 bytes

std::string remixFolder(const std::string& name, const std::vector<uint8_t>& order) {
  std::string dir = makeScratchDir("hardening/" + name);
  mkdirOrFail(dir + "/run");
  writeFileBytes(dir + "/data", pseudoRandomBytes(kDataLength, 3));
  writeFileBytes(dir + "/order", order);
  writeFileBytes(dir + "/run/remixed.dmp", text("earlier output"));
  return dir;
}

void expectRemixRefuses(const std::string& name, const std::vector<uint8_t>& order) {
  SCOPED_TRACE(name);
  std::string dir = remixFolder("remix-" + name, order);
  expectRefusal(dir + "/run", "remix", tool("remix") + " ../data ../order");
}

TEST(RemixRefuses, MissingArgumentsFilesAndFolders) {
  std::string dir = remixFolder("remix-arguments", words({2, 0, 1}));
  std::string run = dir + "/run";
  expectUsageError(run, "remix", tool("remix"));
  expectUsageError(run, "remix", tool("remix") + " ../data");
  expectUsageError(run, "remix", tool("remix") + " ../data ../order extra");
  expectUsageError(run, "remix", tool("remix") + " --bogus ../data ../order");
  expectRefusal(run, "remix", tool("remix") + " ../absent ../order");
  expectRefusal(run, "remix", tool("remix") + " ../data ../absent");
  expectRefusal(run, "remix", tool("remix") + " .. ../order");
  expectRefusal(run, "remix", tool("remix") + " ../data ..");
}

TEST(RemixRefuses, OrdersTooShortOrWithStrayBytes) {
  expectRemixRefuses("empty-order", {});
  expectRemixRefuses("two-of-three", words({2, 0}));
  std::vector<uint8_t> partial = words({2, 0, 1});
  partial.pop_back();
  expectRemixRefuses("last-entry-partial", partial);
  std::vector<uint8_t> stray = words({2, 0, 1});
  stray.push_back(0);
  expectRemixRefuses("stray-byte", stray);
}

TEST(RemixRefuses, EntriesNamingNoBlock) {
  expectRemixRefuses("out-of-range", words({0, 3, 1}));
  // 2^21 << 11 wraps to offset 0 in 32 bits: block 0 must not be read.
  expectRemixRefuses("wrapping", words({2, 1u << 21, 1}));
  expectRemixRefuses("wrapping-to-block-1", words({(1u << 21) + 1, 0, 2}));
  expectRemixRefuses("largest", words({0, 1, 0xFFFFFFFF}));
}

TEST(RemixRefuses, DataOf2GiBAndOutputFolder) {
  std::string dir = remixFolder("remix-huge", words({0}));
  makeHugeSparseFile(dir + "/data");
  expectRefusal(dir + "/run", "remix", tool("remix") + " ../data ../order");

  dir = remixFolder("remix-output-folder", words({2, 0, 1}));
  remove((dir + "/run/remixed.dmp").c_str());
  mkdirOrFail(dir + "/run/remixed.dmp");
  expectRefusal(dir + "/run", "remix", tool("remix") + " ../data ../order");
}

TEST(RemixRefuses, InputsThatAreNoRegularFiles) {
  std::string dir = remixFolder("remix-not-regular", words({2, 0, 1}));
  makeFifo(dir + "/fifo");
  for (const char* data : {"/dev/zero", "/dev/urandom", "/proc/self/status", "../fifo"})
    expectRefusal(dir + "/run", "remix", kNoHang + tool("remix") + " " + data + " ../order");
  expectRefusal(dir + "/run", "remix", kNoHang + tool("remix") + " ../data ../fifo");
  EXPECT_EQ(runTool(dir + "/run", kNoHang + tool("remix") + " /dev/zero ../order").err,
            "remix: cannot read \"/dev/zero\": it is a character device, not a regular file\n");
}

TEST(RemixAccepts, EmptyDataAndExtraEntries) {
  std::string dir = remixFolder("remix-valid", {});
  writeFileBytes(dir + "/data", {});
  expectSuccess(dir + "/run", tool("remix") + " ../data ../order");
  EXPECT_EQ(readFileBytes(dir + "/run/remixed.dmp").size(), 0u);

  std::vector<uint8_t> data = pseudoRandomBytes(kDataLength, 3);
  writeFileBytes(dir + "/data", data);
  writeFileBytes(dir + "/order", words({2, 0, 1, 0xFFFFFFFF, 7}));
  expectSuccess(dir + "/run", tool("remix") + " ../data ../order");
  std::vector<uint8_t> expected(data.begin() + 4096, data.end());
  expected.insert(expected.end(), data.begin(), data.begin() + 4096);
  EXPECT_EQ(readFileBytes(dir + "/run/remixed.dmp"), expected);
}

}  // namespace
