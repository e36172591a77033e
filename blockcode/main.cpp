#include <cstdio>

#include "tool.h"

int main(int argc, char** argv) {
  setToolName("blockcode");
  if (handleStandardOptions(argc, argv, "usage: blockcode\n")) return 0;
  failWith("not built yet");
}
