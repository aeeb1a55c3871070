#include <getopt.h>

#include <cstdio>
#include <cstdlib>

#include "driver/options.h"
#include "self/self.h"

namespace {

enum builder_value { OPTION_VERSION = 1, OPTION_HELP = 2, OPTION_CREATE = 10 };

}  // namespace

void print_builder_usage(const char* name) { printf("Usage: %s --create <INSTALLER_NAME> <TAR_FILE>\n", name); }

int parse_builder_options(int argc, char** argv, installer_options* options) {
  const auto name = get_program_name(argv[0]);
  if (!name) return -1;

  int value = 0;
  const struct option table[] = {
      {"version", no_argument, &value, OPTION_VERSION},
      {"help", no_argument, &value, OPTION_HELP},
      {"create", required_argument, &value, OPTION_CREATE},
      {nullptr, 0, nullptr, 0},
  };

  // Only the first option counts; whatever follows a complete --create is
  // ignored.
  const int c = getopt_long(argc, argv, "h", table, nullptr);
  if (c == -1) return 0;
  if (c == '?') return -1;
  if (c == 'h') {
    print_builder_usage(name->c_str());
    exit(0);
  }
  if (c != 0) {
    fprintf(stderr, "Cannot get option %o\n", static_cast<unsigned>(c));
    return -1;
  }
  switch (value) {
    case OPTION_HELP:
      print_builder_usage(name->c_str());
      exit(0);
    case OPTION_VERSION:
      print_version();
      exit(0);
    case OPTION_CREATE:
      options->create = 1;
      if (optind >= argc) {
        print_builder_usage(name->c_str());
        return -1;
      }
      options->installer_name = optarg;
      options->tar_name = argv[optind++];
      return 0;
    default:
      fprintf(stderr, "Unknown option %d\n", value);
      return -1;
  }
}
