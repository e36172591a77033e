// blockcode, remix and the chain of programs, run end to end on bad input.
// Every refusal must print one line on stderr, exit with status 1, or 2 for
// a bad command line (not a signal, not a sanitizer abort, not a timeout)
// and leave the working folder exactly as it was: earlier outputs byte for
// byte, no temporary file behind. A run ended by a signal must leave the
// folder as it was too. The valid edge cases beside them must still succeed.
// morvalen's cases are in morvalen_hardening_test.cpp.

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
#include "hardening_support.h"
#include "test_support.h"

namespace {

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
