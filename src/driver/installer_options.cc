#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/options.h"
#include "self/self.h"

namespace {

// Values stored by the option table; --create (10) belongs to the builder.
enum option_value {
  OPTION_VERSION = 1,
  OPTION_HELP = 2,
  OPTION_LIST = 3,
  OPTION_TAR = 4,
  OPTION_INFO = 5,
  OPTION_CHECK = 6,
  OPTION_CONFIRM = 7,
  OPTION_NOEXEC = 8,
  OPTION_TARGET = 9,
  OPTION_KEEP = 11,
  OPTION_ACCEPT = 12,
  OPTION_SHOW_LICENSE = 13,
  OPTION_QUIET = 14,
  OPTION_SIGNER = 15,
  OPTION_SKIP_SPACE_CHECK = 16,
};

// Words left once the options end belong to the script only when "--"
// stands right before them.
int take_script_args(int argc, char** argv, installer_options* options) {
  if (optind >= argc) return 0;
  if (optind <= 1 || std::strcmp(argv[optind - 1], "--") != 0) {
    fprintf(stderr, "Unknown argument %s\n", argv[optind]);
    return -1;
  }
  options->script_args.assign(argv + optind, argv + argc);
  return 0;
}

}  // namespace

void print_version() { printf("Quarnel Installer %s\n", INSTALLER_VERSION); }

void print_help(const char* name) {
  printf("1. Get help or info about %s:\n", name);
  fputs(" --help     show this help on switches\n"
        " --info     show extended information on the package:\n"
        "            title, default target directory, embedded script, etc.\n"
        " --list     show the list of files in the installation package\n"
        " --check    check integrity of the installation package\n"
        " --show-license    show the package's license\n"
        "\n",
        stdout);
  printf("2. Run %s:\n", name);
  printf(" %s [options] [--] [additional arguments to embedded script]\n", name);
  fputs(" with the following options (in this order)\n"
        " --confirm    ask before running embedded script\n"
        " --keep       do not remove temporary directory\n"
        " --noexec     do not run embedded script\n"
        " --target <directory>    extract the installation package to the <directory>\n"
        " --tar <arg1> [<arg2> ...]    access the package content via the tar command\n"
        " --accept     accept the package's license without showing it\n"
        " --quiet      print nothing but questions, the script's output and errors\n"
        " --signer <fingerprint>    refuse a package not signed by that key\n"
        " --signer <key list>    refuse a package not signed by a key in that file\n"
        " --skip-space-check    extract even when the free space looks too small\n"
        " --    the following arguments will be passed to the embedded script\n",
        stdout);
}

std::string compose_tar_command(const char* arg1, char* const* rest, int rest_count) {
  std::string command = "tar ";
  command += arg1;
  command += " -";
  for (int i = 0; i < rest_count; ++i) {
    command += ' ';
    command += rest[i];
  }
  return command;
}

int parse_installer_options(int argc, char** argv, installer_options* options) {
  const auto name = get_program_name(argv[0]);
  if (!name) return -1;

  int value = 0;
  const struct option table[] = {
      {"version", no_argument, &value, OPTION_VERSION}, {"help", no_argument, &value, OPTION_HELP},
      {"list", no_argument, &value, OPTION_LIST},       {"tar", required_argument, &value, OPTION_TAR},
      {"info", no_argument, &value, OPTION_INFO},       {"check", no_argument, &value, OPTION_CHECK},
      {"confirm", no_argument, &value, OPTION_CONFIRM}, {"keep", no_argument, &value, OPTION_KEEP},
      {"noexec", no_argument, &value, OPTION_NOEXEC},   {"target", required_argument, &value, OPTION_TARGET},
      // Named so that every prefix that worked before still means what it did.
      {"accept", no_argument, &value, OPTION_ACCEPT},   {"show-license", no_argument, &value, OPTION_SHOW_LICENSE},
      {"quiet", no_argument, &value, OPTION_QUIET},     {"signer", required_argument, &value, OPTION_SIGNER},
      {"skip-space-check", no_argument, &value, OPTION_SKIP_SPACE_CHECK},
      {nullptr, 0, nullptr, 0},
  };

  for (;;) {
    const int c = getopt_long(argc, argv, "h", table, nullptr);
    if (c == -1) return take_script_args(argc, argv, options);
    if (c == '?') return -1;
    if (c == 'h') {
      print_help(name->c_str());
      exit(0);
    }
    if (c != 0) {
      fprintf(stderr, "Cannot get option %o\n", static_cast<unsigned>(c));
      return -1;
    }
    switch (value) {
      case OPTION_VERSION:
        print_version();
        exit(0);
      case OPTION_HELP:
        print_help(name->c_str());
        exit(0);
      // --list, --tar, --info and --show-license end the parsing: later
      // words are ignored.
      case OPTION_LIST:
        options->tar_action = TAR_LIST;
        return 0;
      case OPTION_TAR:
        options->tar_action = TAR_CUSTOM;
        options->tar_command = compose_tar_command(optarg, argv + optind, argc - optind);
        return 0;
      case OPTION_INFO:
        options->info = 1;
        return 0;
      case OPTION_SHOW_LICENSE:
        options->show_license = 1;
        return 0;
      case OPTION_ACCEPT:
        options->accept = 1;
        break;
      case OPTION_QUIET:
        options->quiet = 1;
        break;
      case OPTION_SIGNER:
        options->signers.emplace_back(optarg);
        break;
      case OPTION_SKIP_SPACE_CHECK:
        options->skip_space_check = 1;
        break;
      case OPTION_CHECK:
        options->check = 1;
        break;
      case OPTION_CONFIRM:
        options->confirm = 1;
        break;
      case OPTION_KEEP:
        options->keep = 1;
        break;
      case OPTION_NOEXEC:
        options->noexec = 1;
        break;
      case OPTION_TARGET:
        options->target_dir = optarg;
        break;
      default:
        fprintf(stderr, "Unknown number of action option %d\n", value);
        return -1;
    }
  }
}
