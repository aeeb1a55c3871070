// The installer's own failures that need a hostile environment: a chown that
// fails, a starting directory that disappears, one too deep for the saved
// path, a tar that is missing while SIGPIPE is ignored, and no process left
// for tar. A failed extraction removes the directory this run made, and
// keeps one that was there before or that --keep asks for.
#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>

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

TEST_F(FailureTest, FailedTarOrChownRemovesOnlyTheDirectoryThisRunMade) {
  REQUIRE_ROOT();
  make_script_package("setup.run", "echo ran\n");
  std::filesystem::create_directory(path("bin"));
  const std::string kept = "Directory `setup.run.dir' existed before extraction and has been kept\n";
  const struct {
    const char* tool;  // replaced by a failing script in bin
    const char* err;   // what that failure prints
    bool existed;      // the directory is there before the run
    std::vector<std::string> args;
    bool left;  // the directory is there after the run
  } rows[] = {
      {"chown", "chown -R 0:0 .\nchown error\n", false, {}, false},
      {"chown", "chown -R 0:0 .\nchown error\n", true, {}, true},
      {"chown", "chown -R 0:0 .\nchown error\n", false, {"--keep"}, true},
      {"chown", "chown -R 0:0 .\nchown error\n", false, {"--noexec"}, false},
      {"tar", "tar -xf -\nClose tar pipe error: Success\n", false, {}, false},
      {"tar", "tar -xf -\nClose tar pipe error: Success\n", true, {}, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.tool) + (row.existed ? " existed" : "") + (row.args.empty() ? "" : " " + row.args[0]));
    std::filesystem::remove_all(path("setup.run.dir"));
    if (row.existed) std::filesystem::create_directory(path("setup.run.dir"));
    std::filesystem::remove_all(path("bin"));
    std::filesystem::create_directory(path("bin"));
    write_file(path("bin/") + row.tool, "#!/bin/sh\ncat >/dev/null\necho \"$0 $*\" | sed 's,.*/,,' >&2\nexit 1\n",
               0755);
    run_spec job = job_in_dir(row.args);
    job.env = env_with_bin_first();
    EXPECT_RUN(run(job), VERIFIED + uncompressing("setup.run.dir"), row.err + std::string(row.existed ? kept : ""),
               255);
    EXPECT_EQ(exists(path("setup.run.dir")), row.left);
  }
}

// SIGINT, SIGTERM and SIGHUP once the directory exists: the script or tar
// gets the signal too, the directory this run made
// goes unless --keep, and the run ends with 128 + N. A signal ignored at
// start stays ignored.
TEST_F(FailureTest, InterruptedRunsCleanUp) {
  // A tar that starts reading only after a while, so the copy is still
  // waiting on the pipe when the signal comes.
  std::filesystem::create_directory(path("bin"));
  write_file(path("bin/tar"), "#!/bin/sh\n: > ../tar-started\nsleep 1\nPATH=${PATH#*:} exec tar \"$@\"\n", 0755);
  // And a chown that takes its time, for the superuser's runs.
  write_file(path("bin/chown"), "#!/bin/sh\n: > ../chown-started\nsleep 1\nPATH=${PATH#*:} exec chown \"$@\"\n", 0755);
  make_script_package("setup.run",
                      "trap 'echo \"$1\" > ../script-got-it; exit 9' TERM HUP INT\n: > ../script-started\n"
                      "sleep 30 &\nwait\necho finished > ../script-got-it\n",
                      {{"big", std::string(2 << 20, 'x')}});
  // One whose script ends on its own, for the run that must not stop.
  make_script_package("quick.run", "echo finished > ../script-got-it\n", {{"big", std::string(2 << 20, 'x')}});
  const std::string kept = "Directory `setup.run.dir' existed before extraction and has been kept\n";
  const struct {
    const char* label;
    int signal_number;
    const char* when;  // the file whose appearance triggers the signal
    std::vector<std::string> args;
    bool existed, ignored;
    std::string err_end;
    int status;
    const char* script_saw;  // nullptr: the script never ran
    bool left;
  } rows[] = {
      {"term in script", SIGTERM, "script-started", {"--", "term"}, false, false, "Interrupted by signal 15\n", 143,
       "term", false},
      {"hup in script, kept", SIGHUP, "script-started", {"--keep", "--", "hup"}, false, false,
       "Interrupted by signal 1\n", 129, "hup", true},
      {"term in script, existed", SIGTERM, "script-started", {"--", "x"}, true, false, kept + "Interrupted by signal 15\n",
       143, "x", true},
      {"int in extraction", SIGINT, "tar-started", {}, false, false, "Interrupted by signal 2\n", 130, nullptr, false},
      {"term in noexec extraction", SIGTERM, "tar-started", {"--noexec"}, false, false, "Interrupted by signal 15\n",
       143, nullptr, false},
      {"int in chown", SIGINT, "chown-started", {}, false, false, "Interrupted by signal 2\n", 130, nullptr, false},
      {"int ignored at start", SIGINT, "tar-started", {}, false, true, "", 0, "finished", false},
      // Not caught: the directory stays, and (on Linux) tar ends too rather
      // than go on reading the package into it.
      {"kill in extraction", SIGKILL, "tar-started", {}, false, false, "", -1, nullptr, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    // Only the superuser's runs reset ownership.
    if (std::string(row.when) == "chown-started" && getuid() != 0) {
      std::cout << "[ SKIPPED  ] row \"" << row.label << "\": needs to run as root\n";
      continue;
    }
    for (const char* name : {"setup.run.dir", "tar-started", "chown-started", "script-started", "script-got-it"})
      std::filesystem::remove_all(path(name));
    if (row.existed) std::filesystem::create_directory(path("setup.run.dir"));
    run_spec job = job_in_dir(row.args);
    if (row.ignored) {
      // As nohup would: the shell sets the disposition, exec keeps it.
      job.program = "/bin/sh";
      job.args = {"-c", "trap '' INT; exec ./quick.run"};
    }
    job.env = env_with_bin_first();
    job.signal_number = row.signal_number;
    job.signal_when = path(row.when);
    const run_result r = run(job);
    // SIGKILL takes the line still in the output buffer with it.
    EXPECT_EQ(r.out, VERIFIED + (row.signal_number == SIGKILL
                                     ? ""
                                     : uncompressing(row.ignored ? "quick.run.dir" : "setup.run.dir")));
    ASSERT_GE(r.err.size(), row.err_end.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - row.err_end.size()), row.err_end) << r.err;
    EXPECT_EQ(r.status, row.status) << r.err;
    if (row.script_saw == nullptr) {
      EXPECT_FALSE(exists(path("script-got-it")));
    } else {
      EXPECT_EQ(read_file(path("script-got-it")), std::string(row.script_saw) + "\n");
    }
    EXPECT_EQ(exists(path("setup.run.dir")), row.left);
    EXPECT_FALSE(exists(path("quick.run.dir")));
    if (row.signal_number == SIGKILL) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      EXPECT_FALSE(exists(path("setup.run.dir/install.sh")));
    }
  }
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

// The shell that finds no tar exits without reading: its status decides,
// whatever SIGPIPE's disposition.
TEST_F(FailureTest, MissingTarWithSigpipeIgnoredEndsOnTheShellsStatus) {
  make_script_package("setup.run", "echo ran\n", {{"big", std::string(1 << 20, 'x')}});
  std::filesystem::create_directory(path("bin"));
  run_spec job = job_in_dir({});
  job.env = {"PATH=" + path("bin"), "LC_ALL=C"};
  job.ignore_sigpipe = true;
  const run_result r = run(job);
  EXPECT_EQ(r.out, VERIFIED + uncompressing("setup.run.dir"));
  EXPECT_FALSE(exists(path("setup.run.dir")));
  const std::string ours = "Close tar pipe error: Success\n";
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
  EXPECT_FALSE(exists(path("setup.run.dir")));
}

}  // namespace
}  // namespace e2e
