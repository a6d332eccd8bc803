// keltos3: the host program.  Grows a command per subsystem.
#include <cstdio>
#include <cstring>

#include "KeltoS3.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("keltos3 0.1.0\n");
    return 0;
  }
  std::fprintf(stderr, "usage: keltos3 --version\n");
  return 2;
}
