// Helpers shared by the test programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A fresh, empty folder under the build tree, named after the test.
std::string makeScratchDir(const std::string& name);

// Paths of the Calgary and Canterbury files, extracted once into the build
// tree. Empty when ../shared/corpus is absent (a user's clone): tests that
// need real data skip then.
const std::vector<std::string>& corpusFiles();

// Path of a built program, such as toolPath("blockcode").
std::string toolPath(const std::string& tool);

// True in an AddressSanitizer build, whose stack frames are many times the
// usual size.
bool builtWithAddressSanitizer();

// A prefix for a runIn command that caps the memory of the program it starts
// at `mebibytes`, so that a header promising a huge matrix ends in a failed
// allocation: "ulimit -v N && ", or, in an AddressSanitizer build (which
// reserves terabytes of address space up front), a cap on each allocation,
// with the sanitizer's own messages sent to a file in the temporary folder.
std::string memoryCapPrefix(unsigned mebibytes);

// True in a build with AddressSanitizer, which the programs share.
bool builtWithAddressSanitizer();

// Runs `command` with /bin/sh inside `dir`; returns its exit status, or -1
// when it died from a signal. Standard error goes to *stderrText if given.
int runIn(const std::string& dir, const std::string& command, std::string* stderrText = nullptr);

// Runs `command` with /bin/sh inside `dir`, its stderr on a new
// pseudo-terminal, and its stdout too when `stdoutOnTerminal`. Returns the
// exit status (-1 when it died from a signal) and puts every byte the
// terminal received in *terminalBytes. The terminal is read only after
// `readDelayMs`: a program that writes more than its buffer holds waits
// until then.
int runOnTerminal(const std::string& dir, const std::string& command, bool stdoutOnTerminal,
                  std::string* terminalBytes, unsigned readDelayMs = 0);

// The lines a terminal shows once it has received `bytes`: a carriage return
// goes back to the start of the line, a line end to the next line, and every
// other byte overwrites the one under the cursor. Trailing spaces are
// dropped, and so is a last line left empty.
std::vector<std::string> screenLines(const std::string& bytes);

// Data shaped like the Burrows-Wheeler transform of text: stretches of one
// favourite byte with a few neighbours and some noise. Deterministic.
std::vector<uint8_t> bwtLikeBytes(uint32_t length, uint32_t seed);

// Generated stand-ins for the corpus files, for the checks that need no
// real file and so run on every clone: BWT-like text and the demo's
// interleaved sample (text, a table, binary records, random bytes), each in
// several sizes, 1.9 MB in all.
struct GeneratedFile {
  std::string name;
  std::vector<uint8_t> bytes;
};
const std::vector<GeneratedFile>& generatedFiles();

// Block histograms (256 counts per 2048-byte block) of `data`, as the bytes
// of a count matrix file.
std::vector<uint8_t> blockHistogramMatrix(const std::vector<uint8_t>& data);

std::vector<uint8_t> readFileBytes(const std::string& path);

// `count` bytes of 37 printable values, the same for the same seed.
std::vector<uint8_t> pseudoRandomBytes(size_t count, uint32_t seed);
void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool fileExists(const std::string& path);

// Names in `dir` other than . and .., sorted.
std::vector<std::string> listDir(const std::string& dir);
