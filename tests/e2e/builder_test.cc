// Builder mode end to end: the bare stub's command line, finding its own
// file, the bytes it writes from files, pipes and FIFOs, its failures, and
// the unsafe builds it refuses (clobbering an input, packing a directory,
// writing into something that is not a file, a write error that shows only
// at close).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "harness.h"
#include "package_bytes.h"
#include "../help_text.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

const std::string VERIFIED = "Verifying archive integrity... Succeed.\n";

class BuilderTest : public E2eTest {
 protected:
  std::string tar_bytes = "not even a tar archive\n";
  void SetUp() override { write_file(path("payload.tar"), tar_bytes); }

  run_spec in_dir(const std::string& program, std::vector<std::string> args) {
    run_spec job;
    job.program = program;
    job.args = std::move(args);
    job.cwd = dir.path();
    return job;
  }
  /// The stub run as "my-builder", found along PATH through a link to it.
  run_result run_named(std::vector<std::string> args) {
    fs::create_symlink(stub_path(), path("bin/my-builder"));
    run_spec job = in_dir(stub_path(), std::move(args));
    job.argv0 = "my-builder";
    job.env = {{"PATH=" + path("bin"), "LC_ALL=C"}};
    const run_result result = run(job);
    fs::remove(path("bin/my-builder"));
    return result;
  }
  /// program (the stub by default) run through /bin/sh after the shell has run prelude.
  run_result run_with_shell(const std::string& prelude, const std::string& args, std::string program = stub_path()) {
    return run(in_dir("/bin/sh", {"-c", prelude + "; exec '" + program + "' " + args}));
  }
};

TEST_F(BuilderTest, CommandLine) {
  fs::create_directory(path("bin"));
  const std::string usage = builder_usage("my-builder");
  const std::string no_archive = "This installer does not contain an embedded archive\n";
  struct row {
    std::vector<std::string> args;
    std::string out, err;
    int status;
  };
  const row rows[] = {
      {{}, "", no_archive, 255},
      {{"foo"}, "", no_archive, 255},  // no option at all: not a build
      {{"--help"}, usage, "", 0},
      {{"-h"}, usage, "", 0},
      {{"--he"}, usage, "", 0},
      {{"--version"}, "Quarnel Installer 1.0.0\n", "", 0},
      {{"--version", "--bogus"}, "Quarnel Installer 1.0.0\n", "", 0},  // only the first option counts
      {{"--bogus"}, "", "my-builder: unrecognized option '--bogus'\n", 255},
      {{"-x"}, "", "my-builder: invalid option -- 'x'\n", 255},
      {{"--version=2"}, "", "my-builder: option '--version' doesn't allow an argument\n", 255},
      {{"--create"}, "", "my-builder: option '--create' requires an argument\n", 255},
      {{"--create", "out.run"}, usage, "", 255},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(r.args));
    EXPECT_RUN(run_named(r.args), r.out, r.err, r.status);
    EXPECT_FALSE(fs::exists(path("out.run")));
  }
  // Scripts match the first line as it has always been, word for word.
  for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"--create", "out.run"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    const std::string out = run_named(args).out;
    EXPECT_EQ(out.substr(0, out.find('\n') + 1), "Usage: my-builder --create <INSTALLER_NAME> <TAR_FILE>\n");
  }
}

TEST_F(BuilderTest, CreateSpellings) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"--create", "out.run", "payload.tar", "extra"},
                                                                {"--create=out.run", "payload.tar"},
                                                                {"--cr", "out.run", "payload.tar"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_RUN(run_in_dir(stub_path(), args), "", "", 0);
    EXPECT_PACKAGE(path("out.run"), tar_bytes);
    EXPECT_FALSE(fs::exists(path("extra")));
    fs::remove(path("out.run"));
  }
}

TEST_F(BuilderTest, StubFoundAlongPath) {
  // An earlier entry holds a same-named file that is not executable: skipped.
  fs::create_directories(path("a"));
  fs::create_directories(path("bin"));
  write_file(path("a/qstub"), "junk", 0644);
  copy_stub(path("bin/qstub"));
  run_spec job = in_dir(path("bin/qstub"), {"--create", "out.run", "payload.tar"});
  job.argv0 = "qstub";
  job.env = {{"PATH=" + path("a") + ":" + path("bin"), "LC_ALL=C"}};
  EXPECT_RUN(run(job), "", "", 0);
  EXPECT_PACKAGE(path("out.run"), tar_bytes);
}

TEST_F(BuilderTest, PackageFoundAlongPath) {
  make_package("setup.run", "payload.tar");
  fs::create_directories(path("bin"));
  fs::copy_file(path("setup.run"), path("bin/setup.run"));
  struct row {
    std::optional<std::string> path_env;
    std::string out, err;
    int status;
  };
  const row rows[] = {
      {std::nullopt, "", "Cannot find PATH env\n", 255},  // even though it lies in the cwd
      {"/nonexistent", "", "Cannot find setup.run executable\n", 255},
      {"/nonexistent:" + path("bin"), VERIFIED, "", 0},
      {"/nonexistent::/bin", VERIFIED, "", 0},  // the empty entry is the cwd
      {":/bin", VERIFIED, "", 0},
      {"/bin:", VERIFIED, "", 0},
      {"", VERIFIED, "", 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.path_env.value_or("(unset)"));
    run_spec job = in_dir(path("setup.run"), {"--check"});
    job.argv0 = "setup.run";
    job.env = {{"LC_ALL=C"}};
    if (r.path_env) job.env->push_back("PATH=" + *r.path_env);
    EXPECT_RUN(run(job), r.out, r.err, r.status);
  }
}

TEST_F(BuilderTest, LayoutForSeveralTarFiles) {
  const std::string real_tar = read_file(make_tar("real.tar", {{"install.sh", "exit 0\n"}}));
  for (const std::string& content :
       {std::string(), pattern_bytes(1), pattern_bytes(4095), pattern_bytes(4096), pattern_bytes(8192),
        pattern_bytes(4097), real_tar}) {
    SCOPED_TRACE(content.size());
    write_file(path("payload.tar"), content);
    EXPECT_RUN(run_in_dir(stub_path(), {"--create", "setup.run", "payload.tar"}), "", "", 0);
    EXPECT_PACKAGE(path("setup.run"), content);
    EXPECT_EQ(file_mode(path("setup.run")), 0755);
    EXPECT_RUN(run_in_dir("setup.run", {"--check"}), VERIFIED, "", 0);
  }
  // The empty tar file: stub + eight zero bytes + the MD5 of nothing.
  write_file(path("payload.tar"), "");
  make_package("empty.run", "payload.tar");
  const std::string stub = read_file(stub_path());
  EXPECT_TRUE(read_file(path("empty.run")) ==
              stub + std::string(8, '\0') + unhex("d41d8cd98f00b204e9800998ecf8427e"));
}

TEST_F(BuilderTest, ModeIs0755WhateverTheUmask) {
  for (const char* mask : {"077", "000", "027", "777"}) {
    SCOPED_TRACE(mask);
    // An existing output of another mode is overwritten and set to 0755 too.
    write_file(path("out.run"), "old contents that are longer than nothing", 0600);
    EXPECT_RUN(run_with_shell(std::string("umask ") + mask, "--create out.run payload.tar"), "", "", 0);
    EXPECT_EQ(file_mode(path("out.run")), 0755);
    EXPECT_PACKAGE(path("out.run"), tar_bytes);
  }
}

TEST_F(BuilderTest, OpenFailures) {
  // The output is opened first: the missing tar file is never looked at.
  fs::remove(path("payload.tar"));
  EXPECT_RUN(run_in_dir(stub_path(), {"--create", "nodir/out.run", "payload.tar"}), "",
             "Cannot open nodir/out.run: No such file or directory\n", 255);
  EXPECT_FALSE(fs::exists(path("nodir")));
  // An existing output is truncated before the tar file fails to open.
  write_file(path("out.run"), "previous package", 0644);
  EXPECT_RUN(run_in_dir(stub_path(), {"--create", "out.run", "payload.tar"}), "",
             "Cannot open payload.tar: No such file or directory\n", 255);
  EXPECT_EQ(read_file(path("out.run")), "");
  EXPECT_EQ(file_mode(path("out.run")), 0644);
  // A closed standard input is a tar file that cannot be opened. Under
  // qemu-user it is not closed: binfmt_misc hands qemu the program on the
  // lowest free descriptor, 0, and qemu leaves that open for the guest.
  if (!stub_is_emulated()) {
    write_file(path("out.run"), "previous package", 0755);
    EXPECT_RUN(run_with_shell(":", "--create out.run - <&-"), "", "Cannot open -: Bad file descriptor\n", 255);
    EXPECT_EQ(fs::file_size(path("out.run")), 0u);
    EXPECT_EQ(file_mode(path("out.run")), 0644);
  }
  // A read error in the tar file (reading a process's memory at address 0
  // fails with EIO) leaves the stub and a blank header, not runnable.
  write_file(path("out.run"), "previous package", 0755);
  EXPECT_RUN(run_in_dir(stub_path(), {"--create", "out.run", "/proc/self/mem"}), "", "Read file error\n", 255);
  EXPECT_EQ(fs::file_size(path("out.run")), stub_size() + 24);
  EXPECT_EQ(file_mode(path("out.run")), 0644);
  // Who may write into a runnable file but not change its mode could not
  // set 0755 at the end either: the build stops before truncating it.
  write_file(path("out.run"), "previous package", 0777);
  run_spec job = in_dir(stub_path(), {"--create", "out.run", "payload.tar"});
  job.unprivileged = true;
  EXPECT_RUN(run(job), "", "Cannot chmod 0755 out.run: Operation not permitted\n", 255);
  EXPECT_EQ(read_file(path("out.run")), "previous package");
  EXPECT_EQ(file_mode(path("out.run")), 0777);
}

// Mended fault 1: an output that is the input is refused before anything is truncated.
TEST_F(BuilderTest, RefusesToOverwriteItsInputs) {
  copy_stub(path("qstub"));
  fs::create_symlink("payload.tar", path("link.run"));
  fs::create_hard_link(path("payload.tar"), path("hard.run"));
  fs::create_symlink("qstub", path("self.run"));
  const std::string stub = read_file(stub_path());
  struct row {
    std::string output, tar, input;
  };
  const row rows[] = {
      {"payload.tar", "payload.tar", "payload.tar"}, {"./payload.tar", "payload.tar", "payload.tar"},
      {"link.run", "payload.tar", "payload.tar"},    {"hard.run", "payload.tar", "payload.tar"},
      {"qstub", "payload.tar", "./qstub"},           {"self.run", "payload.tar", "./qstub"},
      {"qstub", "missing.tar", "./qstub"},           {"payload.tar", "- < payload.tar", "-"},
      {"link.run", "- < hard.run", "-"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.output);
    // Under a 4 MiB file size limit: a builder that copied a file onto
    // itself would otherwise grow it until the disk is full.
    EXPECT_RUN(run_with_shell("ulimit -f 8192", "--create " + r.output + " " + r.tar, "./qstub"), "",
               "Cannot create " + r.output + ": it is the same file as " + r.input + "\n", 255);
    ASSERT_EQ(fs::file_size(path("payload.tar")), tar_bytes.size());
    EXPECT_EQ(read_file(path("payload.tar")), tar_bytes);
    ASSERT_EQ(fs::file_size(path("qstub")), stub.size());
    EXPECT_TRUE(read_file(path("qstub")) == stub);
    EXPECT_EQ(file_mode(path("payload.tar")), 0644);
  }
}

// Mended fault 2: a directory cannot be packed, and an output that is not a
// regular file (opening a FIFO for writing used to wait for ever) is refused
// before it is opened. The tar file is looked at first, as it always was.
TEST_F(BuilderTest, RefusesWhatItCannotPackOrWrite) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
  fs::create_directory(path("dir.tar"));
  fs::create_directory(path("dir.out"));
  fs::create_symlink("fifo", path("link.out"));
  struct row {
    std::string output, tar, err;
  };
  const row rows[] = {
      {"out.run", "dir.tar", "Cannot pack dir.tar: not a regular file\n"},
      {"out.run", "- < dir.tar", "Cannot pack -: not a regular file\n"},
      {"fifo", "payload.tar", "Cannot create fifo: not a regular file\n"},
      {"link.out", "payload.tar", "Cannot create link.out: not a regular file\n"},
      {"dir.out", "payload.tar", "Cannot create dir.out: not a regular file\n"},
      {"/dev/null", "payload.tar", "Cannot create /dev/null: not a regular file\n"},
      {"fifo", "dir.tar", "Cannot pack dir.tar: not a regular file\n"},
      {"fifo", "missing.tar", "Cannot create fifo: not a regular file\n"},
      {"fifo", "fifo", "Cannot create fifo: not a regular file\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.output + " " + r.tar);
    run_spec job = in_dir("/bin/sh", {"-c", "exec '" + stub_path() + "' --create " + r.output + " " + r.tar});
    job.timeout_seconds = 10;
    EXPECT_RUN(run(job), "", r.err, 255);
    EXPECT_FALSE(fs::exists(path("out.run")));
    EXPECT_TRUE(fs::is_fifo(path("fifo")));
    EXPECT_TRUE(fs::is_empty(path("dir.out")));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
  }
}

// Read once, the tar file may be anything that can be read to its end: all
// of these give the same package, which verifies. The size field counts the
// bytes packed, even where stat knows nothing of them (/proc/version: 0).
TEST_F(BuilderTest, PacksAnythingReadable) {
  // Larger than a pipe and than one read, and not a multiple of either.
  tar_bytes = pattern_bytes((1 << 20) + 4097, 3);
  write_file(path("payload.tar"), tar_bytes);
  write_file(path("-"), tar_bytes);
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
  const std::string stub = "'" + stub_path() + "' --create out.run ";
  struct row {
    std::string command, archive;
  };
  const row rows[] = {
      {stub + "payload.tar", tar_bytes},
      {stub + "- < payload.tar", tar_bytes},
      {"cat payload.tar | " + stub + "-", tar_bytes},
      {"dd if=payload.tar bs=1000 status=none | " + stub + "-", tar_bytes},  // many short reads
      {"cat payload.tar | " + stub + "/dev/stdin", tar_bytes},
      {"cat payload.tar > fifo & " + stub + "fifo", tar_bytes},
      {stub + "./- < /dev/null", tar_bytes},
      {stub + "/dev/null", ""},
      {stub + "/proc/version", read_file("/proc/version")},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.command);
    run_spec job = in_dir("/bin/sh", {"-c", r.command});
    job.timeout_seconds = 20;
    EXPECT_RUN(run(job), "", "", 0);
    EXPECT_PACKAGE(path("out.run"), r.archive);
    EXPECT_EQ(file_mode(path("out.run")), 0755);
    EXPECT_RUN(run_in_dir("out.run", {"--check"}), VERIFIED, "", 0);
    fs::remove(path("out.run"));
  }
}

// A write error at close, and the builder's other write failures, under a file size limit
// (set in bytes with prlimit, SIGXFSZ ignored so writes fail with
// EFBIG). stdio writes the output one buffer of B bytes at a time, at
// multiples of B, and the last partial buffer only when the stream is
// closed. The sizes below hold for any power of two B from 4 KiB to 512 KiB,
// except where the limit falls inside the header: the failing write is then
// the one that fills the buffer, whichever it is. An output that existed
// keeps its mode but loses its execute bits, so that a build that fails, or
// is killed, never leaves a runnable file.
TEST_F(BuilderTest, WriteFailuresLeaveNothingExecutable) {
  const uint64_t stub = stub_size();
  // Over 2 MiB of archive, and a package size of 2049 modulo 4096: the last
  // buffer holds at least 2049 bytes, and P - 1 is a whole number of 512-byte units.
  tar_bytes = pattern_bytes((1 << 21) + (2049 + 8 * 4096 - (stub + 24) % 4096) % 4096, 5);
  write_file(path("payload.tar"), tar_bytes);
  const uint64_t package = stub + 24 + tar_bytes.size();
  ASSERT_EQ(package % 4096, 2049u);
  // Where the buffer is flushed from depends on its size: any of the write errors.
  const std::string in_header = "any write error";
  struct row {
    uint64_t limit;
    std::string err;
    int status;
    bool killed = false;  // SIGXFSZ left at its default, which ends the builder
  };
  const row rows[] = {
      {package + 511, "", 0},
      {package, "", 0},
      {package - 1, "Cannot write out.run: File too large\n", 255},     // only the close fails
      {package - 2049, "Cannot write out.run: File too large\n", 255},  // all full 4 KiB blocks fit
      {(stub + 24 + 511) / 512 * 512, "Write to installer error\n", 255},
      {stub + 24 + 100003, "Write to installer error\n", 255},
      {stub + 24, "Write to installer error\n", 255},
      {stub + 5, in_header, 255},
      {stub + 13, in_header, 255},
      {stub, in_header, 255},
      {stub - 1, in_header, 255},  // in the stub's last, buffered block
      {stub / 2 + 1, "Write installer file error\n", 255},
      {4096, "Write installer file error\n", 255},
      {stub + 24 + 100003, "", -1, true},
      {stub / 2 + 1, "", -1, true},
  };
  const std::string write_errors[] = {"Write installer file error\n", "Archive size write error: File too large\n",
                                      "MD5sum write error: File too large\n", "Write to installer error\n"};
  for (const row& r : rows) {
    for (const bool existed : {false, true}) {
      SCOPED_TRACE(std::to_string(r.limit) + (existed ? " over an executable file" : ""));
      fs::remove(path("out.run"));
      if (existed) write_file(path("out.run"), "an older package", 0755);
      const std::string prelude = (r.killed ? "" : "trap '' XFSZ; ") + std::string("umask 022");
      const run_result result = run_with_shell(
          prelude, "--fsize=" + std::to_string(r.limit) + " '" + stub_path() + "' --create out.run payload.tar",
          "/usr/bin/prlimit");
      if (r.killed) {
        EXPECT_EQ(result.signal, SIGXFSZ);
      } else if (r.err == in_header) {
        EXPECT_EQ(result.status, 255);
        EXPECT_NE(std::find(std::begin(write_errors), std::end(write_errors), result.err), std::end(write_errors))
            << result.err;
      } else {
        EXPECT_RUN(result, "", r.err, r.status);
      }
      if (r.status == 0) {
        EXPECT_PACKAGE(path("out.run"), tar_bytes);
        EXPECT_EQ(file_mode(path("out.run")), 0755);
      } else {
        EXPECT_EQ(fs::file_size(path("out.run")), r.limit);
        EXPECT_EQ(file_mode(path("out.run")), 0644);
      }
    }
  }
}

// --stub FILE: a builder writes the package that FILE, a stub of any of
// the five machines (the stub under test, under the matrix), writes itself,
// byte for byte, with every setting; the package installs, and a signed one
// (Ed25519 signatures are deterministic) checks there and inspects here. The
// stub under test builds the native stub's packages the same way, and a
// package without settings lends the stub it was built from.
TEST_F(BuilderTest, BuildsForTheStubItIsGiven) {
  make_tar("real.tar", {{"install.sh", "echo \"installed $*\"\n"}});
  write_file(path("LICENSE"), "Terms\n");
  shell("cd " + dir.path() + " && ssh-keygen -q -t ed25519 -N '' -C test -f key");
  const std::string stub = stub_path(), native = QUARNEL_STUB_PATH;
  EXPECT_RUN(run_in_dir(stub, {"--create", "plain.run", "payload.tar"}), "", "", 0);
  const struct {
    const char* what;
    std::string builder, given, maker;  // maker builds the package to compare with
    std::vector<std::string> settings;
  } rows[] = {
      {"plain", native, stub, stub, {}},
      {"label", native, stub, stub, {"--label", "Tool 2.0"}},
      {"label and license", native, stub, stub, {"--license", "LICENSE", "--label", "Tool 2.0"}},
      {"signed", native, stub, stub, {"--label", "Tool 2.0", "--license", "LICENSE", "--sign", "key"}},
      {"the other way round", stub, native, native, {"--label", "Tool 2.0", "--license", "LICENSE"}},
      {"a package lends its stub", native, "plain.run", stub, {"--label", "Tool 2.0"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    std::vector<std::string> own = {"--create", "own.run", "real.tar"};
    std::vector<std::string> lent = {"--stub", r.given, "--create", "lent.run", "real.tar"};
    own.insert(own.end(), r.settings.begin(), r.settings.end());
    lent.insert(lent.end(), r.settings.begin(), r.settings.end());
    EXPECT_RUN(run_in_dir(r.maker, own), "", "", 0);
    EXPECT_RUN(run_in_dir(r.builder, lent), "", "", 0);
    EXPECT_EQ(shell("cd " + dir.path() + " && cmp own.run lent.run && echo same"), "same\n");
    EXPECT_EQ(file_mode(path("lent.run")), 0755);
    EXPECT_RUN(run_in_dir("lent.run", {"--accept", "--quiet", "--", "x"}), "installed x\n", "", 0);
  }
  // The last package made by the stub under test, signed: it checks itself,
  // and the native builder inspects it.
  EXPECT_RUN(run_in_dir(stub, {"--stub", stub, "--sign", "key", "--create", "signed.run", "real.tar"}), "", "", 0);
  const std::string listed = shell("ssh-keygen -lf " + path("key.pub"));
  const std::string signed_by = VERIFIED + "Signed by " + listed.substr(listed.find(' ') + 1, 50) + "\n";
  EXPECT_RUN(run_in_dir("signed.run", {"--check"}), signed_by, "", 0);
  EXPECT_RUN(run_in_dir(native, {"--inspect", "signed.run"}),
             signed_by + "TAR size: " + std::to_string((fs::file_size(path("real.tar")) + 1023) / 1024) +
                 " KB \nStub size: " +
                 std::to_string(fs::file_size(path("signed.run")) - 24 - fs::file_size(path("real.tar"))) + " bytes\n" +
                 architecture_line(),
             "", 0);
}

// Only a quarnel stub of this release is a stub: anything else is refused
// in one line before the package is opened.
TEST_F(BuilderTest, StubMustBeAQuarnelStub) {
  std::string other_release = read_file(stub_path());
  const std::size_t mark = other_release.find(std::string("QRNLSTUBQRNLSET\x01", 16));
  ASSERT_NE(mark, std::string::npos);
  other_release[mark + 15] = 2;  // reads settings of a format to come
  write_file(path("other.stub"), other_release, 0755);
  write_file(path("cut.stub"), other_release.substr(0, 4096), 0755);
  write_file(path("empty"), "");
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
  EXPECT_RUN(run_in_dir(stub_path(), {"--create", "labelled.run", "payload.tar", "--label", "Tool"}), "", "", 0);
  const struct {
    std::string file, err;
  } rows[] = {
      {"/bin/ls", "Cannot use /bin/ls as a stub: it is not a quarnel program\n"},
      {"payload.tar", "Cannot use payload.tar as a stub: it is not an ELF file\n"},
      {"empty", "Cannot use empty as a stub: it is not an ELF file\n"},
      {"missing", "Cannot open missing: No such file or directory\n"},
      {"fifo", "Cannot use fifo as a stub: it is not a regular file\n"},
      {".", "Cannot use . as a stub: it is not a regular file\n"},
      {"cut.stub", "Damaged ELF headers: the section header table lies past the end of the file\n"},
      {"other.stub", "Cannot use other.stub as a stub: it is a quarnel of another release, whose settings this "
                     "builder cannot write\n"},
      {"labelled.run", "Cannot use labelled.run as a stub: it is a package with settings (label, license or "
                       "signature), not a bare stub\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.file);
    run_spec job = in_dir(stub_path(), {"--create", "out.run", "payload.tar", "--stub", r.file});
    job.timeout_seconds = 20;
    EXPECT_RUN(run(job), "", r.err, 255);
    EXPECT_FALSE(fs::exists(path("out.run")));
  }
  // Nor is the stub given overwritten by the package made from it.
  copy_stub(path("qstub"));
  EXPECT_RUN(run_in_dir(stub_path(), {"--create", "qstub", "payload.tar", "--stub", "qstub"}), "",
             "Cannot create qstub: it is the same file as qstub\n", 255);
  EXPECT_TRUE(read_file(path("qstub")) == read_file(stub_path()));
}

// A 21903360-byte archive laid out after this stub's image end.
TEST_F(BuilderTest, WorkedExample) {
  tar_bytes = pattern_bytes(21903360, 7);
  write_file(path("payload.tar"), tar_bytes);
  make_package("setup.run", "payload.tar");
  const uint64_t stub = stub_size();
  ASSERT_EQ(fs::file_size(path("setup.run")), stub + 24 + 21903360);
  const std::string package = read_file(path("setup.run"));
  EXPECT_EQ(package.substr(stub, 8), unhex("00384e0100000000"));
  EXPECT_EQ(package.substr(stub + 8, 16), unhex(md5_hex(tar_bytes)));
  EXPECT_TRUE(package.substr(stub + 24) == tar_bytes);
  EXPECT_RUN(run_in_dir("setup.run", {"--check"}), VERIFIED, "", 0);
  EXPECT_RUN(run_in_dir("setup.run", {"--info"}),
             "TAR size: 21390 KB \nTarget directory: setup.run.dir \n"
             "Script to run after the extraction: ./install.sh\ndirectory setup.run.dir is permanent\n" +
                 architecture_line(),
             "", 0);
}

}  // namespace
}  // namespace e2e
