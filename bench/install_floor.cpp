// The floor of an installation as a program of its own, started as
// velnor-sim install is: install_floor PACKAGE COPY.
#include "bench/install_floor.h"

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: install_floor PACKAGE COPY\n");
    return 2;
  }
  // Kept, so that the CRCs' work is done.
  volatile uLong sink = floor_install(argv[1], argv[2]);
  (void)sink;
  return 0;
}
