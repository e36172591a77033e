#include <cstdio>

#include "tool.h"

int main(int argc, char** argv) {
  setToolName("morvalen");
  if (handleStandardOptions(argc, argv, "usage: morvalen\n")) return 0;
  failWith("not built yet");
}
