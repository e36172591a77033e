#include "tool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fileio.h"
#include "progress.h"

static const char* toolName = "tool";
// The synopsis of the command line being read, for usage errors.
static const char* toolSynopsis = nullptr;

void setToolName(const char* name) {
  toolName = name;
  setOutputOwner(name);
}

void failWith(const std::string& message) {
  endProgress();
  fflush(stdout);
  discardPendingOutputs();
  // Names are quoted with their control characters escaped already; this
  // keeps any other text from breaking the one line too.
  fprintf(stderr, "%s: %s\n", toolName, printable(message).c_str());
  exit(1);
}

void failUsage(const std::string& message) {
  endProgress();
  fflush(stdout);
  discardPendingOutputs();
  if (toolSynopsis)
    fprintf(stderr, "%s: %s; usage: %s\n", toolName, printable(message).c_str(), toolSynopsis);
  else
    fprintf(stderr, "%s: %s\n", toolName, printable(message).c_str());
  exit(kUsageErrorStatus);
}

static bool isOption(const char* argument) { return argument[0] == '-' && argument[1] != '\0'; }

// -h/--help and --version anywhere before "--" answer at once, whatever
// else is on the line.
static void answerHelpAndVersion(int argc, char** argv, const CommandLine& commandLine) {
  for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; i++) {
    if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
      fputs(commandLine.help, stdout);
      exit(fflush(stdout) == 0 ? 0 : 1);
    }
    if (strcmp(argv[i], "--version") == 0) {
      printf("%s %s\n", toolName, TOOL_VERSION);
      exit(fflush(stdout) == 0 ? 0 : 1);
    }
  }
}

static const OptionFlag* findFlag(const CommandLine& commandLine, const char* argument) {
  for (int f = 0; f < commandLine.flagCount; f++)
    if (strcmp(commandLine.flags[f].name, argument) == 0) return &commandLine.flags[f];
  return nullptr;
}

std::vector<const char*> parseCommandLine(int argc, char** argv, const CommandLine& commandLine) {
  toolSynopsis = commandLine.synopsis;
  answerHelpAndVersion(argc, argv, commandLine);
  std::vector<const char*> operands;
  bool optionsEnded = false;
  for (int i = 1; i < argc; i++) {
    const char* argument = argv[i];
    if (optionsEnded || !isOption(argument)) {
      operands.push_back(argument);
    } else if (strcmp(argument, "--") == 0) {
      optionsEnded = true;
    } else if (const OptionFlag* flag = findFlag(commandLine, argument)) {
      *flag->given = true;
    } else {
      failUsage("unknown option " + quotedName(argument));
    }
  }
  int count = int(operands.size());
  if (count < commandLine.minOperands)
    failUsage(commandLine.minOperands - count == 1 ? "missing argument" : "missing arguments");
  if (count > commandLine.maxOperands)
    failUsage("unexpected argument " + quotedName(operands[size_t(commandLine.maxOperands)]));
  return operands;
}
