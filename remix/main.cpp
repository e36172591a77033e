#include <cstdio>

#include "tool.h"

int main(int argc, char** argv) {
  setToolName("remix");
  if (handleStandardOptions(argc, argv, "usage: remix\n")) return 0;
  failWith("not built yet");
}
