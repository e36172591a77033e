// What every tool's main shares: its name in messages, the one-line failure
// report, and the reading of its command line.
//
// Command lines follow the usual conventions: options may stand anywhere
// before "--", which ends them (every later argument is an operand, even one
// that starts with "-"); a lone "-" is an operand. -h/--help prints the help
// text and --version the version, both on stdout with exit status 0, and
// they win over anything else on the line. An unknown option, or too few or
// too many operands, is a usage error: one line on stderr that names the
// problem and gives the usage, and exit status 2.
#pragma once

#include <string>
#include <vector>

// Exit status of a usage error; a failed run exits with 1.
constexpr int kUsageErrorStatus = 2;

// Name printed before every message, such as "blockcode"; also names the
// tool's temporary files and prepares its signal handling (setOutputOwner).
void setToolName(const char* name);

// Prints "tool: message" on stderr, erases the progress line, removes
// pending temporary outputs and exits with status 1.
[[noreturn]] void failWith(const std::string& message);

// An option that takes no value, such as "-d" or "--inverse".
struct OptionFlag {
  const char* name;
  bool* given;  // set to true when the option is on the command line
};

// The shape of a tool's command line.
struct CommandLine {
  const char* synopsis;  // one line after "usage: ", such as "remix DATA ORDER"
  const char* help;      // the -h/--help text
  const OptionFlag* flags = nullptr;
  int flagCount = 0;
  int minOperands = 0;
  int maxOperands = 0;
};

// Reads argv[1..argc) as described above: sets the flags that are given and
// returns the operands in order. Exits on -h/--help and --version (status 0)
// and on a usage error (status 2).
std::vector<const char*> parseCommandLine(int argc, char** argv, const CommandLine& commandLine);

// Prints "tool: message; usage: SYNOPSIS" on stderr and exits with status 2.
// For checks that depend on the flags, after parseCommandLine has run.
[[noreturn]] void failUsage(const std::string& message);
