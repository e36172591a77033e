// What every tool's main shares: its name in messages, the one-line failure
// report, and the standard -h/--help and --version options.
#pragma once

#include <string>

// Name printed before every message, such as "blockcode".
void setToolName(const char* name);

// Prints "tool: message" on stderr, removes pending temporary outputs and
// exits with status 1.
[[noreturn]] void failWith(const std::string& message);

// Handles -h/--help (prints `usage` to stdout) and --version when any
// argument is one of them. Returns true when the tool should exit with 0.
bool handleStandardOptions(int argc, char** argv, const char* usage);
