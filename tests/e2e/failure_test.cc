// The installer's own failures that need a hostile environment: a chown that
// fails, a starting directory that disappears, one too deep for the saved
// path, a tar that is missing while SIGPIPE is ignored, and no process left
// for tar.
#include <filesystem>

#include "installer_support.h"

namespace e2e {
namespace {

class FailureTest : public InstallerTest {
 protected:
  run_spec job_in_dir(std::vector<std::string> args) {
    run_spec job;
    job.program = path("setup.run");
    job.args = std::move(args);
    job.cwd = dir.path();
    return job;
  }
  /// An environment whose PATH starts with bin, a directory of the temp dir.
  std::vector<std::string> env_with_bin_first() {
    std::vector<std::string> env = default_env();
    env[0] = "PATH=" + path("bin") + ":" + env[0].substr(5);
    return env;
  }
};

TEST_F(FailureTest, ChownThatFailsEndsTheRunAndKeepsTheDirectory) {
  REQUIRE_ROOT();
  make_script_package("setup.run", "echo ran\n");
  std::filesystem::create_directory(path("bin"));
  write_file(path("bin/chown"), "#!/bin/sh\necho \"chown $*\" >&2\nexit 1\n", 0755);
  run_spec job = job_in_dir({});
  job.env = env_with_bin_first();
  EXPECT_RUN(run(job), VERIFIED + uncompressing("setup.run.dir"), "chown -R 0:0 .\nchown error\n", 255);
  EXPECT_TRUE(exists(path("setup.run.dir/install.sh")));
}

TEST_F(FailureTest, StartingDirectoryRemovedByTheScript) {
  make_script_package("setup.run", "rmdir \"$1\"\n");
  std::filesystem::create_directory(path("start"));
  run_spec job = job_in_dir({"--target", path("ext"), "--", path("start")});
  job.cwd = path("start");
  EXPECT_RUN(run(job), VERIFIED + uncompressing(path("ext")), "Cannot change directory to `" + path("start") + "'\n",
             255);
  EXPECT_TRUE(exists(path("ext/install.sh")));
}

TEST_F(FailureTest, WorkingDirectoryTooLongToSave) {
  make_script_package("setup.run", "echo ran\n");
  std::string deep = dir.path();
  while (deep.size() < 1024) deep += "/" + std::string(100, 'd');
  std::filesystem::create_directories(deep);
  run_spec job = job_in_dir({});
  job.cwd = deep;
  EXPECT_RUN(run(job), VERIFIED, "Cannot get current working directory: Numerical result out of range\n", 255);
  EXPECT_FALSE(exists(deep + "/setup.run.dir"));
}

TEST_F(FailureTest, MissingTarWithSigpipeIgnoredIsAWriteError) {
  make_script_package("setup.run", "echo ran\n", {{"big", std::string(1 << 20, 'x')}});
  std::filesystem::create_directory(path("bin"));
  run_spec job = job_in_dir({});
  job.env = {"PATH=" + path("bin"), "LC_ALL=C"};
  job.ignore_sigpipe = true;
  const run_result r = run(job);
  EXPECT_EQ(r.out, VERIFIED + uncompressing("setup.run.dir"));
  const std::string ours = "Write to tar pipe error\n";
  ASSERT_GE(r.err.size(), ours.size()) << r.err;
  EXPECT_EQ(r.err.substr(r.err.size() - ours.size()), ours);
  EXPECT_NE(r.err.find("tar"), r.err.size() - ours.size()) << "the shell's own line comes first";
  EXPECT_EQ(r.status, 255);
}

TEST_F(FailureTest, NoProcessLeftForTar) {
  REQUIRE_ROOT();
  make_script_package("setup.run", "echo ran\n");
  run_spec job = job_in_dir({});
  job.unprivileged = true;
  // qemu-user starts a thread of its own, which counts against the limit.
  job.max_processes = stub_is_emulated() ? 2 : 1;
  // A sanitized stub's leak check needs a thread of its own at exit.
  job.env = default_env();
  job.env->push_back("ASAN_OPTIONS=detect_leaks=0");
  // The line is printed before the pipe is tested, so it shows here too.
  // Which error number the C library reports for a failed spawn is its own
  // affair (glibc says ENOMEM): one perror line is what matters.
  const run_result r = run(job);
  EXPECT_EQ(r.out, VERIFIED + uncompressing("setup.run.dir"));
  EXPECT_EQ(r.err.rfind("Open tar pipe error: ", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(exists(path("setup.run.dir")));
}

}  // namespace
}  // namespace e2e
