#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/options.h"
#include "self/self.h"

namespace {

enum builder_value {
  OPTION_VERSION = 1,
  OPTION_HELP = 2,
  OPTION_CREATE = 10,
  OPTION_SIGNER = 15,
  OPTION_LABEL = 16,
  OPTION_LICENSE = 17,
  OPTION_SIGN = 18,
  OPTION_INSPECT = 19,
  OPTION_STUB = 20,
};

}  // namespace

// The first line is the one scripts have always matched; the settings go
// on a line of their own below it.
void print_builder_usage(const char* name) {
  printf("Usage: %s --create <INSTALLER_NAME> <TAR_FILE>\n", name);
  const int indent = static_cast<int>(std::strlen(name)) + 8;
  printf("%*s[--label <TEXT>] [--license <FILE>] [--sign <KEY>]\n", indent, "");
  printf("%*s[--stub <FILE>]\n", indent, "");
  printf("%*s%s --inspect <PACKAGE> [--signer <FINGERPRINT | KEY_LIST>]\n", 7, "", name);
}

int parse_builder_options(int argc, char** argv, installer_options* options) {
  const auto name = get_program_name(argv[0]);
  if (!name) return -1;

  int value = 0;
  const struct option table[] = {
      {"version", no_argument, &value, OPTION_VERSION},   {"help", no_argument, &value, OPTION_HELP},
      {"create", required_argument, &value, OPTION_CREATE}, {"label", required_argument, &value, OPTION_LABEL},
      {"license", required_argument, &value, OPTION_LICENSE}, {"sign", required_argument, &value, OPTION_SIGN},
      {"inspect", required_argument, &value, OPTION_INSPECT}, {"signer", required_argument, &value, OPTION_SIGNER},
      {"stub", required_argument, &value, OPTION_STUB},
      {nullptr, 0, nullptr, 0},
  };

  // The first of --help, --version, --create and --inspect decides what
  // the run does; the settings may come before or after it.
  bool decided = false;
  for (;;) {
    const int c = getopt_long(argc, argv, "h", table, nullptr);
    if (c == -1) return 0;
    if (c == '?') return -1;
    if (c == 'h') {
      if (decided) continue;
      print_builder_usage(name->c_str());
      exit(0);
    }
    if (c != 0) {
      fprintf(stderr, "Cannot get option %o\n", static_cast<unsigned>(c));
      return -1;
    }
    switch (value) {
      case OPTION_HELP:
        if (decided) break;
        print_builder_usage(name->c_str());
        exit(0);
      case OPTION_VERSION:
        if (decided) break;
        print_version();
        exit(0);
      case OPTION_CREATE:
        if (decided) break;
        decided = true;
        options->create = 1;
        if (optind >= argc) {
          print_builder_usage(name->c_str());
          return -1;
        }
        options->installer_name = optarg;
        // The word after the package's name is the tar file, whatever it
        // looks like.
        options->tar_name = argv[optind++];
        break;
      case OPTION_INSPECT:
        if (decided) break;
        decided = true;
        options->inspect = optarg;
        break;
      case OPTION_LABEL:
        options->label = optarg;
        break;
      case OPTION_LICENSE:
        options->license_file = optarg;
        break;
      case OPTION_SIGN:
        options->sign_key = optarg;
        break;
      case OPTION_STUB:
        options->stub_file = optarg;
        break;
      case OPTION_SIGNER:
        options->signers.emplace_back(optarg);
        break;
      default:
        fprintf(stderr, "Unknown option %d\n", value);
        return -1;
    }
  }
}
