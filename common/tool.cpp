#include "tool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fileio.h"

static const char* toolName = "tool";

void setToolName(const char* name) { toolName = name; }

void failWith(const std::string& message) {
  fflush(stdout);
  discardPendingOutputs();
  fprintf(stderr, "%s: %s\n", toolName, message.c_str());
  exit(1);
}

bool handleStandardOptions(int argc, char** argv, const char* usage) {
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
      fputs(usage, stdout);
      return true;
    }
    if (strcmp(argv[i], "--version") == 0) {
      printf("%s %s\n", toolName, TOOL_VERSION);
      return true;
    }
  }
  return false;
}
