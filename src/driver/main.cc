#include <cstdlib>

#include "driver/options.h"

int main(int argc, char** argv) {
  // Started with an empty argument vector, the program still needs a name
  // to look itself up by; an empty one fails with a message.
  static char empty[] = "";
  static char* fallback[] = {empty, nullptr};
  if (argc < 1 || argv[0] == nullptr) {
    argc = 1;
    argv = fallback;
  }
  exit(run_program(argc, argv));
}
