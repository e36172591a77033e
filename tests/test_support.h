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

// A prefix for a runIn command that caps the memory of the program it starts
// at `mebibytes`, so that a header promising a huge matrix ends in a failed
// allocation: "ulimit -v N && ", or, in an AddressSanitizer build (which
// reserves terabytes of address space up front), a cap on each allocation,
// with the sanitizer's own messages sent to a file in the temporary folder.
std::string memoryCapPrefix(unsigned mebibytes);

// Runs `command` with /bin/sh inside `dir`; returns its exit status, or -1
// when it died from a signal. Standard error goes to *stderrText if given.
int runIn(const std::string& dir, const std::string& command, std::string* stderrText = nullptr);

std::vector<uint8_t> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool fileExists(const std::string& path);

// Names in `dir` other than . and .., sorted.
std::vector<std::string> listDir(const std::string& dir);
