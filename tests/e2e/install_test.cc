// The installer: a full run, its options, the extraction directory's
// failures, ownership, and the command line's messages.
#include <sys/stat.h>

#include <cstdio>

#include "../help_text.h"
#include "installer_support.h"

namespace e2e {
namespace {

class InstallTest : public InstallerTest {};

TEST_F(InstallTest, FullRunPassesArgumentsUnchangedInsideTheDirectoryAndRemovesIt) {
  const std::vector<std::string> args{"a b", "  lead", "$HOME", "*", "'\"", ";|&>x", "", "--keep", "tab\there"};
  std::vector<std::string> argv{"--"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string want = VERIFIED + uncompressing("setup.run.dir") + dir.path() + "/setup.run.dir\n";
  for (const std::string& arg : args) want += "[" + arg + "]\n";
  // install.sh is packed with mode 0644: it needs no execute permission.
  const run_result r = run_script("pwd; printf '[%s]\\n' \"$@\"\n", argv);
  EXPECT_EQ(host_listing(path("setup.run.tar")).substr(0, 10), "-rw-r--r--");
  EXPECT_RUN(r, want, "", 0);
  EXPECT_FALSE(exists(path("setup.run.dir")));
  EXPECT_FALSE(exists(path("x")));
  // Words before "--" are permuted behind it; "--" alone gives no arguments.
  const std::string head = VERIFIED + uncompressing("setup.run.dir") + dir.path() + "/setup.run.dir\n";
  EXPECT_RUN(run_package("setup.run", {"foo", "--", "bar"}), head + "[foo]\n[bar]\n", "", 0);
  EXPECT_RUN(run_package("setup.run", {"--"}), head + "[]\n", "", 0);
}

TEST_F(InstallTest, ExitStatusIsTheScriptsOr255WhenKilled) {
  const struct {
    const char* script;
    int status;
  } rows[] = {
      {"exit 0\n", 0}, {"echo out; echo err >&2; exit 3\n", 3}, {"kill -9 $$\n", 255}, {"kill -TERM $$\n", 255}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.script);
    const bool talks = row.status == 3;
    EXPECT_RUN(run_script(row.script), VERIFIED + uncompressing("setup.run.dir") + (talks ? "out\n" : ""),
               talks ? "err\n" : "", row.status);
    EXPECT_FALSE(exists(path("setup.run.dir")));
  }
}

TEST_F(InstallTest, KeepNoexecAndTarget) {
  make_script_package("setup.run", "echo ran; exit 3\n");
  const std::string ran = VERIFIED + uncompressing("setup.run.dir") + "ran\n";

  EXPECT_RUN(run_package("setup.run", {"--keep"}), ran, "", 3);
  EXPECT_EQ(read_file(path("setup.run.dir/install.sh")), "echo ran; exit 3\n");
  std::filesystem::remove_all(path("setup.run.dir"));

  EXPECT_RUN(run_package("setup.run", {"--noexec"}), VERIFIED + uncompressing("setup.run.dir"), "", 0);
  EXPECT_TRUE(exists(path("setup.run.dir/install.sh")));
  std::filesystem::remove_all(path("setup.run.dir"));

  EXPECT_RUN(run_package("setup.run", {"--target", "out"}), VERIFIED + uncompressing("out") + "ran\n", "", 3);
  EXPECT_FALSE(exists(path("out")));

  const std::string absolute = path("abs");
  EXPECT_RUN(run_package("setup.run", {"--target", absolute}), VERIFIED + uncompressing(absolute) + "ran\n", "", 3);
  EXPECT_FALSE(exists(absolute));

  EXPECT_RUN(run_package("setup.run", {"--target", "first", "--keep", "--target=second"}),
             VERIFIED + uncompressing("second") + "ran\n", "", 3);
  EXPECT_FALSE(exists(path("first")));
  EXPECT_TRUE(exists(path("second/install.sh")));
  EXPECT_FALSE(exists(path("setup.run.dir")));
}

// The script learns, as absolute paths, where the run started, which
// package it is and where it runs, whatever the environment said before.
TEST_F(InstallTest, ScriptKnowsWhereTheRunStarted) {
  make_script_package("setup.run", "printf '%s\\n' \"$QUARNEL_START_DIR\" \"$QUARNEL_PACKAGE\" \"$QUARNEL_TARGET_DIR\"\n");
  std::filesystem::create_directory(path("sub"));
  const std::string d = dir.path();
  const struct {
    std::string program, argv0, cwd;
    std::vector<std::string> args;
    std::string start, package, target, shown;
  } rows[] = {
      {"setup.run", "./setup.run", d, {}, d, d + "/setup.run", d + "/setup.run.dir", "setup.run.dir"},
      {"setup.run", "../setup.run", d + "/sub", {}, d + "/sub", d + "/sub/../setup.run", d + "/sub/setup.run.dir",
       "setup.run.dir"},
      {"setup.run", d + "/setup.run", d + "/sub", {"--target", "out"}, d + "/sub", d + "/setup.run", d + "/sub/out",
       "out"},
      {"setup.run", "setup.run", d + "/sub", {"--target", d + "/abs"}, d + "/sub", d + "/setup.run", d + "/abs",
       d + "/abs"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.argv0 + " in " + row.cwd);
    run_spec job;
    job.program = path(row.program);
    job.argv0 = row.argv0;
    job.args = row.args;
    job.cwd = row.cwd;
    // Found along PATH when argv[0] has no slash; stale values are replaced.
    job.env = {"PATH=" + d + ":/usr/bin:/bin", "LC_ALL=C", "QUARNEL_START_DIR=stale", "QUARNEL_TARGET_DIR="};
    EXPECT_RUN(run(job), VERIFIED + uncompressing(row.shown) + row.start + "\n" + row.package + "\n" + row.target + "\n",
               "", 0);
  }
}

// The screen that raw terminal output leaves: \r and \b move the cursor,
// ESC [ K erases to the line's end.
std::string render(const std::string& raw) {
  std::vector<std::string> screen{""};
  std::size_t column = 0;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    std::string& line = screen.back();
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      screen.emplace_back();
      column = 0;
    } else if (c == '\b') {
      if (column == 0) return "backspace at the start of a line in " + raw;
      --column;
    } else if (raw.compare(i, 3, "\x1b[K") == 0) {
      line.resize(column);
      i += 2;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      return "unexpected control byte in " + raw;
    } else {
      if (column < line.size()) line[column] = c; else line += c;
      ++column;
    }
  }
  std::string rendered;
  for (const std::string& line : screen) rendered += line + "\n";
  return rendered;
}

// On a terminal both long steps show a percentage after their "...", drawn
// in place and erased, so the finished screen reads as it does off one.
TEST_F(InstallTest, ProgressOnATerminalOnly) {
  make_script_package("setup.run", "echo ran\n", {{"big", std::string(3 << 20, 'x')}});
  const std::string raw = shell("cd '" + dir.path() + "' && script -qec './setup.run' /dev/null");
  EXPECT_NE(raw.find("  0%"), std::string::npos) << raw;
  EXPECT_EQ(render(raw), VERIFIED + uncompressing("setup.run.dir") + "ran\n\n");
  // Off a terminal not one byte changes.
  EXPECT_RUN(run_package("setup.run", {}), VERIFIED + uncompressing("setup.run.dir") + "ran\n", "", 0);
  // The share follows what tar has read of the package: one that reads
  // 1 MiB and pauses shows that share while it pauses.
  std::filesystem::create_directory(path("bin"));
  write_file(path("bin/tar"), "#!/bin/sh\ndd bs=1048576 count=1 of=/dev/null status=none\nsleep 1\ncat >/dev/null\n",
             0755);
  const std::string paused =
      shell("cd '" + dir.path() + "' && PATH=\"$PWD/bin:$PATH\" script -qec './setup.run --noexec' /dev/null");
  const uint64_t archive = std::filesystem::file_size(path("setup.run")) - stub_size() - 24;
  char share[16];
  std::snprintf(share, sizeof share, "%3d%%", static_cast<int>((1 << 20) / (archive / 100 + 1)));
  EXPECT_NE(paused.find(share, paused.find("Uncompressing")), std::string::npos) << share << " in " << paused;
  EXPECT_EQ(render(paused), VERIFIED + uncompressing("setup.run.dir") + "\n");
}

TEST_F(InstallTest, InfoShowsSizesAndSkipsTheCheck) {
  const struct {
    std::size_t bytes;
    const char* kb;
  } rows[] = {{0, "0"}, {1, "1"}, {1024, "1"}, {1025, "2"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bytes);
    write_file(path("payload"), std::string(row.bytes, 'x'));
    make_package("setup.run", "payload");
    EXPECT_RUN(run_package("setup.run", {"--info"}),
               std::string("TAR size: ") + row.kb +
                   " KB \nTarget directory: setup.run.dir \nScript to run after the extraction: ./install.sh\n"
                   "directory setup.run.dir is permanent\n" + architecture_line(),
               "", 0);
  }
  // The archive is corrupted here; --info never reads it, and stops parsing.
  std::string bytes = read_file(path("setup.run"));
  bytes.back() ^= 1;
  write_file(path("setup.run"), bytes, 0755);
  EXPECT_RUN(run_package("setup.run", {"--confirm", "--target", "t d", "--info", "--keep", "--bogus"}),
             "TAR size: 2 KB \nTarget directory: t d \nScript to run after the extraction: ./install.sh\n"
             "directory t d is permanent\n" + architecture_line(),
             "", 0);
  EXPECT_RUN(run_package("setup.run", {"--check"}), "Verifying archive integrity... Failed.\n", "", 255);
}

TEST_F(InstallTest, ListAndTarCommands) {
  make_script_package("setup.run", "echo ran\n", {{"data/file.txt", "data\n"}});
  const std::string listing = host_listing(path("setup.run.tar"));
  ASSERT_NE(listing.find("data/file.txt"), std::string::npos);

  EXPECT_RUN(run_package("setup.run", {"--list", "--bogus"}), VERIFIED + listing, "", 0);
  // "Run: ..." stays in the buffer while tar writes to the same file.
  EXPECT_RUN(run_package("setup.run", {"--tar", "tvf"}), VERIFIED + listing + "Run: tar tvf -\n", "", 0);
  EXPECT_FALSE(exists(path("setup.run.dir")));

  // --tar unpacks into the current directory; later words name members.
  EXPECT_RUN(run_package("setup.run", {"--tar", "xf", "data/file.txt"}), VERIFIED + "Run: tar xf - data/file.txt\n", "",
             0);
  EXPECT_EQ(read_file(path("data/file.txt")), "data\n");
  EXPECT_FALSE(exists(path("install.sh")));
  EXPECT_RUN(run_package("setup.run", {"--tar", "xf"}), VERIFIED + "Run: tar xf -\n", "", 0);
  EXPECT_EQ(read_file(path("install.sh")), "echo ran\n");
  EXPECT_FALSE(exists(path("setup.run.dir")));
}

TEST_F(InstallTest, ConfirmIsAskedBeforeListAndTar) {
  make_script_package("setup.run", "echo ran\n");
  const std::string listing = host_listing(path("setup.run.tar"));
  const std::string question = "About to extract " +
                               std::to_string((std::filesystem::file_size(path("setup.run.tar")) + 1023) / 1024) +
                               " KB in setup.run.dir ... Proceed? [y/n] ";
  EXPECT_RUN(run_package("setup.run", {"--confirm", "--list"}, with_input("n\n")), VERIFIED + question, "", 0);
  EXPECT_RUN(run_package("setup.run", {"--confirm", "--list"}, with_input("y\n")), VERIFIED + question + listing, "",
             0);
  // The question flushes the "Run:" line printed before it.
  EXPECT_RUN(run_package("setup.run", {"--conf", "--tar", "xf"}, with_input("n\n")),
             VERIFIED + "Run: tar xf -\n" + question, "", 0);
  EXPECT_FALSE(exists(path("install.sh")));
  EXPECT_RUN(run_package("setup.run", {"--confirm", "--tar", "tvf"}, with_input("y\n")),
             VERIFIED + "Run: tar tvf -\n" + question + listing, "", 0);
  EXPECT_FALSE(exists(path("setup.run.dir")));
}

TEST_F(InstallTest, ExtractionDirectoryFailures) {
  make_script_package("setup.run", "echo ran\n");
  write_file(path("afile"), "user data\n");
  const struct {
    std::string target, err;
  } rows[] = {
      {"afile", "Cannot chdir to afile: Not a directory\n"},
      {"a/b", "Cannot mkdir a/b: No such file or directory\n"},
      {"", "Cannot mkdir : No such file or directory\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.target);
    EXPECT_RUN(run_package("setup.run", {"--target", row.target}), VERIFIED, row.err, 255);
  }
  EXPECT_EQ(read_file(path("afile")), "user data\n");
  EXPECT_FALSE(exists(path("a")));
}

TEST_F(InstallTest, PayloadThatIsNotATarArchive) {
  write_file(path("payload"), std::string(3000, 'z'));
  make_package("setup.run", "payload");
  const run_result r = run_package("setup.run", {});
  EXPECT_EQ(r.out, VERIFIED + uncompressing("setup.run.dir"));
  EXPECT_EQ(r.status, 255);
  // tar's own diagnostics first (their wording is the host tar's), then ours;
  // errno is cleared before pclose, so the text is that of 0.
  const std::string last = "Close tar pipe error: Success\n";
  EXPECT_EQ(r.err.rfind("tar: ", 0), 0u) << r.err;
  ASSERT_GT(r.err.size(), last.size());
  EXPECT_EQ(r.err.substr(r.err.size() - last.size()), last);
  EXPECT_FALSE(exists(path("setup.run.dir")));  // a failed extraction leaves nothing
}

TEST_F(InstallTest, OwnershipIsResetOnlyForRoot) {
  REQUIRE_ROOT();
  std::filesystem::create_directories(path("tree"));
  write_file(path("tree/install.sh"), "stat -c '%u:%g' . install.sh data.txt\n");
  write_file(path("tree/data.txt"), "data\n");
  // Owned by 1234:1234 when packed, so every host tar records that owner.
  shell("cd '" + path("tree") +
        "' && chown 1234:1234 install.sh data.txt && tar -cf ../payload.tar install.sh data.txt");
  make_package("setup.run", "payload.tar");

  // The archive records 1234:1234, and --tar (no chown) keeps it as root.
  std::filesystem::create_directories(path("raw"));
  EXPECT_RUN(run_package(path("setup.run"), {"--tar", "xf"}, from_dir(path("raw"))), VERIFIED + "Run: tar xf -\n", "",
             0);
  EXPECT_EQ(shell("stat -c '%u:%g' '" + path("raw/data.txt") + "'"), "1234:1234\n");

  EXPECT_RUN(run_package("setup.run", {}), VERIFIED + uncompressing("setup.run.dir") + "0:0\n0:0\n0:0\n", "", 0);
  EXPECT_RUN(run_package("setup.run", {}, unprivileged()),
             VERIFIED + uncompressing("setup.run.dir") + "65534:65534\n65534:65534\n65534:65534\n", "", 0);
  EXPECT_FALSE(exists(path("setup.run.dir")));
}

TEST_F(InstallTest, HelpVersionAndCommandLineErrors) {
  make_script_package("setup.run", "echo ran\n");
  const std::string help = SETUP_RUN_HELP;
  const struct {
    std::vector<std::string> args;
    std::string out, err;
    int status;
  } rows[] = {
      {{"--help"}, help, "", 0},
      {{"-h"}, help, "", 0},
      {{"--keep", "--he", "--bogus"}, help, "", 0},
      {{"--version"}, "Quarnel Installer 1.0.0\n", "", 0},
      {{"--bogus"}, "", "./setup.run: unrecognized option '--bogus'\n", 255},
      {{"--ta", "x"}, "", "./setup.run: option '--ta' is ambiguous; possibilities: '--tar' '--target'\n", 255},
      {{"--target"}, "", "./setup.run: option '--target' requires an argument\n", 255},
      {{"foo"}, "", "Unknown argument foo\n", 255},
      {{"--keep", "foo"}, "", "Unknown argument foo\n", 255},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args[0]);
    EXPECT_RUN(run_package("setup.run", row.args), row.out, row.err, row.status);
  }
  // The name in the help is argv[0]'s last component.
  std::filesystem::copy_file(path("setup.run"), path("inst"));
  EXPECT_EQ(run_package("inst", {"-h"}).out.substr(0, 32), "1. Get help or info about inst:\n");
  EXPECT_FALSE(exists(path("setup.run.dir")));
}

}  // namespace
}  // namespace e2e
