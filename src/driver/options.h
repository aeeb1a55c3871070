// The run's choices and the two command-line grammars.
//
// Help and version requests print and end the process with status 0 from
// inside the parsers; every other outcome is returned.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "extract/extract.h"

constexpr const char* INSTALLER_VERSION = "1.0.0";

/// Filled by the parsers, read by the driver.
struct installer_options {
  int confirm = 0;                        ///< --confirm
  int check = 0;                          ///< --check
  int info = 0;                           ///< --info
  int keep = 0;                           ///< --keep
  int noexec = 0;                         ///< --noexec
  int create = 0;                         ///< --create (builder)
  std::string installer_name;             ///< --create's argument
  std::string tar_name;                   ///< the word after it
  std::optional<std::string> target_dir;  ///< --target; unset means the default
  std::string tar_command;                ///< composed from --tar
  std::vector<std::string> script_args;   ///< the words after --
  enum tar_action tar_action = TAR_EXTRACT;  ///< --list, --tar
  int accept = 0;                         ///< --accept: the license without showing or asking
  int show_license = 0;                   ///< --show-license
  int quiet = 0;                          ///< --quiet
  std::vector<std::string> signers;       ///< --signer, both modes: fingerprints or key lists a signature must match
  int skip_space_check = 0;               ///< --skip-space-check
  std::optional<std::string> label;       ///< --label (builder)
  std::optional<std::string> license_file;  ///< --license (builder)
  std::optional<std::string> sign_key;    ///< --sign (builder)
  std::optional<std::string> inspect;     ///< --inspect's package (builder)
  std::optional<std::string> stub_file;   ///< --stub: the stub to build from instead of this program (builder)
};

/// The exit status of a run whose license the user did not accept.
constexpr int LICENSE_DECLINED_STATUS = 254;

/// Prints "Quarnel Installer <version>".
void print_version();

/// The installer's help text, for program_name.
void print_help(const char* program_name);

/// The builder's usage lines, for program_name: the --create line, the
/// settings and --stub under it, then the --inspect line.
void print_builder_usage(const char* program_name);

/// "tar " arg1 " -" and " " word for every later word, unquoted.
std::string compose_tar_command(const char* arg1, char* const* rest, int rest_count);

/// Fills options from an installer command line. Returns 0, or -1 after one
/// message (getopt_long's own for unknown or ambiguous options). Permutes
/// argv as getopt_long does.
int parse_installer_options(int argc, char** argv, installer_options* options);

/// Fills options from a builder command line. The settings options may
/// stand before or after --create; the first of --help, --version, --create
/// and --inspect decides, and once --create or --inspect has been read the
/// others are ignored, as are words that are not options. Returns 0 (create
/// clear and inspect unset when there was neither), or -1 after one message.
int parse_builder_options(int argc, char** argv, installer_options* options);

/// The whole program: returns the exit status (-1 for the program's own
/// failures, which exit turns into 255).
int run_program(int argc, char** argv);
