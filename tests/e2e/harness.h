// Runs the built stub and the packages it makes as real processes and
// captures what they print, for tests that compare output byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace e2e {

/// One process to run. Only program is required.
struct run_spec {
  std::string program;                          ///< path given to execve
  std::vector<std::string> args;                ///< argv[1] onwards
  std::optional<std::string> argv0;             ///< argv[0]; program by default
  std::string cwd;                              ///< working directory; inherited when empty
  std::optional<std::vector<std::string>> env;  ///< whole environment; default_env() when unset
  std::string input;                            ///< standard input's bytes (a file, so it ends)
  bool unprivileged = false;                    ///< run as user and group 65534 (65533 with max_processes) with no groups,
                                                ///< from a copy in /tmp if that user cannot reach program; cwd must be reachable
  bool ignore_sigpipe = false;                  ///< start with SIGPIPE ignored instead of default
  long max_processes = -1;                      ///< RLIMIT_NPROC when >= 0 (binds ordinary users only)
  int timeout_seconds = 60;                     ///< killed with SIGKILL after this
  int signal_number = 0;                        ///< sent to the program once signal_when exists
  std::string signal_when;                      ///< a path polled while the program runs
};

struct run_result {
  std::string out;       ///< standard output
  std::string err;       ///< standard error
  int status = -1;       ///< exit status, or -1 when ended by a signal
  int signal = 0;        ///< the signal that ended it, or 0
  bool timed_out = false;
};

run_result run(const run_spec& job);

/// PATH=/usr/sbin:/usr/bin:/sbin:/bin (or $QUARNEL_TEST_PATH when set) and LC_ALL=C.
std::vector<std::string> default_env();

/// The stub under test: $QUARNEL_STUB, else the one this build made.
std::string stub_path();
/// True when QUARNEL_STUB_EMULATED=1 says the stub runs under qemu-user
/// (scripts/matrix), whose own loader and threads differ from the kernel's.
bool stub_is_emulated();

/// The "Architecture: ..." line --info and --inspect print for a package
/// of the stub under test, from what readelf says of that stub.
std::string architecture_line();

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes, unsigned mode = 0644);
/// Runs a shell command line and returns its standard output; fails the test on a nonzero status.
std::string shell(const std::string& command);
/// Lowercase hexadecimal MD5 of bytes, computed by the host's md5sum.
std::string md5_hex(const std::string& bytes);
/// The bytes of a hexadecimal string.
std::string unhex(const std::string& hex);

/// A scoped temporary directory, readable and writable by everybody so
/// that unprivileged runs can work in it; removed with everything in it.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// Fixture: a temp dir, a copy of the stub in it, and helpers to make payloads and packages there.
class E2eTest : public ::testing::Test {
 protected:
  temp_dir dir;

  std::string path(const std::string& name) const { return dir / name; }
  /// Runs program (relative names resolve in the temp dir) with args, from the temp dir.
  run_result run_in_dir(const std::string& program, std::vector<std::string> args, const std::string& input = "");
  /// Makes a tar file from files (name -> content) with the host's tar; install.sh is not added by itself.
  std::string make_tar(const std::string& tar_name, const std::vector<std::pair<std::string, std::string>>& files);
  /// Builds package_name from tar_name with the stub under test; fails the test if the build fails.
  std::string make_package(const std::string& package_name, const std::string& tar_name);
  /// A package whose install.sh is script (plus any extra files).
  std::string make_script_package(const std::string& package_name, const std::string& script,
                                  const std::vector<std::pair<std::string, std::string>>& extra = {});
  /// Size in bytes of the stub under test, which is where a package's header starts.
  uint64_t stub_size() const;
};

/// Compares all of a result at once, so a failure shows every difference.
#define EXPECT_RUN(result, want_out, want_err, want_status) \
  do {                                                      \
    const ::e2e::run_result& r_ = (result);                 \
    EXPECT_EQ(r_.out, want_out);                            \
    EXPECT_EQ(r_.err, want_err);                            \
    EXPECT_EQ(r_.status, want_status);                      \
    EXPECT_FALSE(r_.timed_out);                             \
  } while (0)

}  // namespace e2e
