// Helpers shared by the installer's end-to-end tests (install_test.cc,
// prompt_test.cc, remove_test.cc): the fixed progress lines and a fixture
// that runs a package with a chosen input, user and working directory.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "harness.h"

namespace e2e {

/// For tests that switch to user 65534 or look at ownership as the superuser.
#define REQUIRE_ROOT() \
  if (getuid() != 0) GTEST_SKIP() << "needs to run as root"

/// The line every run after a passed integrity check starts with.
inline const std::string VERIFIED = "Verifying archive integrity... Succeed.\n";

inline std::string uncompressing(const std::string& dir) { return "Uncompressing in " + dir + "...\n"; }

/// Whether anything (a dangling link included) is at path.
inline bool exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

/// The host tar's verbose listing of tar_file, in the environment the program runs in.
inline std::string host_listing(const std::string& tar_file) {
  std::string env = "env -i";
  for (const std::string& var : default_env()) env += " '" + var + "'";
  return shell(env + " tar -tvf '" + tar_file + "'");
}

/// How a package is run: from the temp dir, as root, with empty input unless said otherwise.
struct how {
  std::string input;
  bool unprivileged = false;
  std::string cwd;  ///< the temp dir when empty
};
inline how with_input(std::string input) {
  how h;
  h.input = std::move(input);
  return h;
}
inline how unprivileged() {
  how h;
  h.unprivileged = true;
  return h;
}
inline how from_dir(std::string cwd) {
  how h;
  h.cwd = std::move(cwd);
  return h;
}

class InstallerTest : public E2eTest {
 protected:
  /// Runs package (a name in the temp dir, or a path) with args.
  run_result run_package(const std::string& package, std::vector<std::string> args, const how& h = how()) {
    run_spec job;
    job.program = package.find('/') == std::string::npos ? "./" + package : package;
    job.args = std::move(args);
    job.input = h.input;
    job.unprivileged = h.unprivileged;
    job.cwd = h.cwd.empty() ? dir.path() : h.cwd;
    return run(job);
  }

  /// setup.run with install.sh = script, run with args.
  run_result run_script(const std::string& script, std::vector<std::string> args = {}, const how& h = how()) {
    make_script_package("setup.run", script);
    return run_package("setup.run", std::move(args), h);
  }
};

}  // namespace e2e
