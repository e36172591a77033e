// What the end-to-end refusal tests share: running a program in a folder,
// snapshots of the folder before and after, and the small inputs they build.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

// Every run is capped at 4 GiB, so that a header promising a huge matrix
// ends in a failed allocation, not in a machine that swaps, and at 300 s.
std::string limits();

std::string tool(const std::string& name);

// Names in a folder with their contents; a subfolder shows as its listing.
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(const std::string& dir);
std::string names(const Snapshot& snap);

struct RunResult {
  int status = 0;
  std::string err;
};

RunResult runTool(const std::string& dir, const std::string& commandLine,
                  const std::string& standardOutput = "/dev/null");

// Runs `commandLine` in `dir` and checks it is refused: one line on stderr
// that starts with the tool's name, exit `status`, the folder unchanged.
void expectRefusal(const std::string& dir, const std::string& toolName, const std::string& commandLine,
                   const std::string& standardOutput = "/dev/null", int status = 1);

// A command line the tool cannot take: refused with status 2 and the usage.
void expectUsageError(const std::string& dir, const std::string& toolName, const std::string& commandLine);

void expectSuccess(const std::string& dir, const std::string& commandLine);

std::vector<uint8_t> words(std::initializer_list<uint32_t> values);
std::vector<uint8_t> matrixBytes(uint32_t columns, uint32_t rows, const std::vector<int32_t>& counts);
std::vector<uint8_t> text(const std::string& s);

// A file of 2^31 bytes that takes no disk space.
void makeHugeSparseFile(const std::string& path);
void mkdirOrFail(const std::string& path);

// A FIFO that nobody writes to: opening it to read would wait forever.
void makeFifo(const std::string& path);

// Runs that would hang on a FIFO end by this timeout instead, failing.
extern const std::string kNoHang;

// The name of a temporary file in `dir`, or "" when there is none.
std::string temporaryFileIn(const std::string& dir);

// A folder holding earlier outputs of morvalen in its subfolder "run";
// inputs go beside "run", which must stay exactly as it is after a refusal.
std::string morvalenFolder(const std::string& name);

// Signals whose default action ends a process, sent to runs in progress.
extern const std::vector<int> kInterruptions;

// Starts `program` with `arguments` in `dir`, its stdout on `standardOutput`,
// every signal at its default action. Returns the process id.
pid_t startIn(const std::string& dir, const std::string& program, const std::vector<std::string>& arguments,
              int standardOutput);
