// Removing the extraction directory, and keeping one that was not ours:
// a directory that existed before the run is kept. One that another user
// owns, can write to or leads to through a link is refused, and one that
// another run is using too.
#include "installer_support.h"

namespace e2e {
namespace {

class RemoveTest : public InstallerTest {};

TEST_F(RemoveTest, LinksAndReadOnlyFilesGoTargetsStay) {
  REQUIRE_ROOT();
  make_script_package("setup.run",
                      "ln -s \"$1/outside.txt\" file_link\n"
                      "ln -s \"$1/outside_dir\" dir_link\n"
                      "ln -s nowhere dangling\n"
                      "mkdir -p sub/deeper && ln -s ../../gone sub/deeper/dangling && ln -s \"$1\" sub/up\n"
                      "echo ro > readonly.txt && chmod 444 readonly.txt install.sh\n"
                      "mkdir rodir && echo ro > rodir/f && chmod 444 rodir/f\n",
                      {{"data/payload.txt", "payload\n"}});
  for (const bool as_nobody : {false, true}) {
    SCOPED_TRACE(as_nobody ? "unprivileged" : "root");
    write_file(path("outside.txt"), "outside\n");
    std::filesystem::create_directories(path("outside_dir"));
    write_file(path("outside_dir/inner.txt"), "inner\n");
    EXPECT_RUN(run_package("setup.run", {"--", dir.path()}, as_nobody ? unprivileged() : how()),
               VERIFIED + uncompressing("setup.run.dir"), "", 0);
    EXPECT_FALSE(exists(path("setup.run.dir")));
    EXPECT_EQ(read_file(path("outside.txt")), "outside\n");
    EXPECT_EQ(read_file(path("outside_dir/inner.txt")), "inner\n");
    EXPECT_TRUE(exists(path("setup.run")));
  }
}

// As an ordinary user, so that permissions hold. "sub" gets mode m after a
// file was made in it; the script then exits with its second argument.
class UnremovableTest : public RemoveTest {
 protected:
  void SetUp() override {
    REQUIRE_ROOT();
    make_script_package("setup.run", "mkdir sub && echo x > sub/file && chmod \"$1\" sub\nexit \"$2\"\n");
  }
  run_result run_with(const std::string& mode, const std::string& status) {
    return run_package("setup.run", {"--", mode, status}, unprivileged());
  }
};

const std::string NOT_REMOVED = "Directory `setup.run.dir' has not been removed\n";

TEST_F(UnremovableTest, UnwritableSubdirectory) {
  const std::string err = "Cannot remove `setup.run.dir/sub/file': Permission denied\n" + NOT_REMOVED;
  EXPECT_RUN(run_with("555", "0"), VERIFIED + uncompressing("setup.run.dir"), err, 255);
  EXPECT_TRUE(exists(path("setup.run.dir/sub/file")));
  std::filesystem::permissions(path("setup.run.dir/sub"), std::filesystem::perms::owner_all);
  std::filesystem::remove_all(path("setup.run.dir"));
  // A nonzero script status is never overwritten.
  EXPECT_RUN(run_with("555", "3"), VERIFIED + uncompressing("setup.run.dir"), err, 3);
}

TEST_F(UnremovableTest, UnreadableSubdirectory) {
  // glibc's nftw reports a directory it cannot open as FTW_DNR (no read bit)
  // and, with read but no search permission, the entries inside as FTW_NS.
  // The failed opendir's errno is cleared before the message, so no
  // "Cannot remove" line follows.
  const struct {
    const char *mode, *err;
  } rows[] = {
      {"000", "Error: Directory `setup.run.dir/sub' is not readable\n"},
      {"300", "Error: Directory `setup.run.dir/sub' is not readable\n"},
      {"444", "Error: Cannot stat `setup.run.dir/sub/file'\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.mode);
    for (const char* status : {"0", "3"}) {
      EXPECT_RUN(run_with(row.mode, status), VERIFIED + uncompressing("setup.run.dir"), row.err + NOT_REMOVED,
                 status[0] == '0' ? 255 : 3);
      std::filesystem::permissions(path("setup.run.dir/sub"), std::filesystem::perms::owner_all);
      std::filesystem::remove_all(path("setup.run.dir"));
    }
  }
}

// The mend: only a directory this run created is removed.
class KeptTest : public RemoveTest {
 protected:
  void SetUp() override { make_script_package("setup.run", "echo ran; ls; exit 3\n"); }
  static std::string kept(const std::string& dir) {
    return "Directory `" + dir + "' existed before extraction and has been kept\n";
  }
};

TEST_F(KeptTest, PreExistingDirectory) {
  std::filesystem::create_directories(path("setup.run.dir/mine"));
  write_file(path("setup.run.dir/user.txt"), "user\n");
  write_file(path("setup.run.dir/mine/deep.txt"), "deep\n");
  EXPECT_RUN(run_package("setup.run", {}),
             VERIFIED + uncompressing("setup.run.dir") + "ran\ninstall.sh\nmine\nuser.txt\n", kept("setup.run.dir"), 3);
  EXPECT_EQ(read_file(path("setup.run.dir/user.txt")), "user\n");
  EXPECT_EQ(read_file(path("setup.run.dir/mine/deep.txt")), "deep\n");
  EXPECT_TRUE(exists(path("setup.run.dir/install.sh")));
  // A second run over the leftover of the first.
  make_script_package("setup.run", "echo again\n");
  EXPECT_RUN(run_package("setup.run", {}), VERIFIED + uncompressing("setup.run.dir") + "again\n", kept("setup.run.dir"),
             0);
  EXPECT_EQ(read_file(path("setup.run.dir/user.txt")), "user\n");
}

TEST_F(KeptTest, TargetDot) {
  std::filesystem::create_directories(path("work/sub"));
  write_file(path("work/user.txt"), "user\n");
  write_file(path("work/sub/deep.txt"), "deep\n");
  EXPECT_RUN(run_package(path("setup.run"), {"--target", "."}, from_dir(path("work"))),
             VERIFIED + uncompressing(".") + "ran\ninstall.sh\nsub\nuser.txt\n", kept("."), 3);
  EXPECT_EQ(read_file(path("work/user.txt")), "user\n");
  EXPECT_EQ(read_file(path("work/sub/deep.txt")), "deep\n");
  EXPECT_TRUE(exists(path("setup.run")));
}

TEST_F(KeptTest, TargetThatIsALinkToADirectory) {
  std::filesystem::create_directories(path("real"));
  write_file(path("real/user.txt"), "user\n");
  std::filesystem::create_directory_symlink("real", path("link"));
  EXPECT_RUN(run_package("setup.run", {"--target", "link"}),
             VERIFIED + uncompressing("link") + "ran\ninstall.sh\nuser.txt\n", kept("link"), 3);
  EXPECT_TRUE(std::filesystem::is_symlink(path("link")));
  EXPECT_EQ(read_file(path("real/user.txt")), "user\n");
  EXPECT_TRUE(exists(path("real/install.sh")));
  // An absolute path to an existing directory is named as given, too.
  EXPECT_RUN(run_package("setup.run", {"--target", path("real")}),
             VERIFIED + uncompressing(path("real")) + "ran\ninstall.sh\nuser.txt\n", kept(path("real")), 3);
  EXPECT_EQ(read_file(path("real/user.txt")), "user\n");
}

// Directories and links planted by user 65534 in a shared, sticky
// directory, and --target directories the runner may not trust, are
// refused before anything is extracted and left as they were; the user's
// own, direct or through a link of theirs or root's, are used.
class SharedDirectoryTest : public RemoveTest {
 protected:
  std::string shared;
  void SetUp() override {
    REQUIRE_ROOT();
    shared = path("shared");
    std::filesystem::create_directory(shared);
    std::filesystem::permissions(shared, std::filesystem::perms(01777));
    make_script_package("setup.run", "echo ran\n");
  }
  /// Runs command through /bin/sh in the shared directory as 65534, with
  /// the package's path as $1.
  void as_nobody(const std::string& command) {
    run_spec job;
    job.program = "/bin/sh";
    job.args = {"-c", command, "sh", path("setup.run")};
    job.cwd = shared;
    job.unprivileged = true;
    EXPECT_RUN(run(job), "", "", 0);
  }
  /// Owner, group, mode and link words of everything in the shared directory.
  std::string snapshot() {
    return shell("cd '" + shared + "' && find . -exec stat -c '%n %u %g %a %N' {} + | sort");
  }
};

TEST_F(SharedDirectoryTest, OnlyTheUsersOwnDirectoryIsUsed) {
  const std::string own = "; use --target with a directory of your own\n";
  const std::string others_write =
      "' is writable by its group or by others; use --target with a directory only you can write to\n";
  const struct {
    const char* label;
    std::string as_root, as_nobody;  // shell commands run in the shared directory first
    std::vector<std::string> args;
    bool unprivileged;  // the package runs as 65534
    std::string err;    // the refusal, or "" when it runs
  } rows[] = {
      // What the other user plants where root runs the package.
      {"planted 0777 directory", "", "mkdir -m 0777 setup.run.dir && echo 'echo theirs' > setup.run.dir/install.sh",
       {}, false, "Directory `setup.run.dir' belongs to another user (65534)" + own},
      {"planted link", "mkdir victim && echo mine > victim/own.txt", "ln -s victim setup.run.dir", {}, false,
       "Directory `setup.run.dir' is a symbolic link owned by another user (65534)" + own},
      {"root's link to another user's directory", "ln -s theirs link", "mkdir theirs", {"--target", "link"}, false,
       "Directory `link' belongs to another user (65534)" + own},
      {"--target of another user", "", "mkdir theirs", {"--target", "theirs"}, false,
       "Directory `theirs' belongs to another user (65534)" + own},
      {"--target of root writable by its group", "mkdir -m 0775 mine", "", {"--target", "mine"}, false,
       "Directory `mine" + others_write},
      {"--target of root writable by others, sticky", "mkdir -m 1777 mine", "", {"--target", "mine"}, false,
       "Directory `mine" + others_write},
      {"the user's --target of root", "mkdir mine", "", {"--target", "mine"}, true,
       "Directory `mine' belongs to another user (0)" + own},
      // The user's own.
      {"own --target", "mkdir mine && echo mine > mine/own.txt", "", {"--target", "mine"}, false, ""},
      {"own link to own directory", "mkdir mine && ln -s mine link", "", {"--target", "link"}, false, ""},
      {"the user's link to their directory", "", "mkdir mine && ln -s mine link", {"--target", "link"}, true, ""},
      {"root's link to the user's directory", "ln -s mine link", "mkdir mine", {"--target", "link"}, true, ""},
      {"kept by --keep, run again", "", "\"$1\" --keep >/dev/null", {}, true, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    shell("rm -rf '" + shared + "'/* && cd '" + shared + "' && " + (row.as_root.empty() ? ":" : row.as_root));
    if (!row.as_nobody.empty()) as_nobody(row.as_nobody);
    const std::string before = snapshot();
    how h = from_dir(shared);
    h.unprivileged = row.unprivileged;
    const run_result r = run_package(path("setup.run"), row.args, h);
    const std::string target = row.args.empty() ? "setup.run.dir" : row.args[1];
    if (row.err.empty()) {
      EXPECT_RUN(r, VERIFIED + uncompressing(target) + "ran\n",
                 "Directory `" + target + "' existed before extraction and has been kept\n", 0);
    } else {
      EXPECT_RUN(r, VERIFIED, row.err, 255);
      EXPECT_EQ(snapshot(), before);
    }
  }
}

// Two runs of one package in one directory at the same time: the first
// run's script starts the second, which finds the directory locked.
TEST_F(RemoveTest, SecondRunRefusesADirectoryInUse) {
  REQUIRE_ROOT();
  make_script_package("setup.run",
                      "if [ \"$1\" = first ]; then\n"
                      "  (cd \"$QUARNEL_START_DIR\" && \"$QUARNEL_PACKAGE\" -- second) > ../second.out 2> ../second.err\n"
                      "  echo $? > ../second.status\n"
                      "fi\n"
                      "echo \"$1\"; cat data.txt\n",
                      {{"data.txt", "data\n"}});
  for (const bool as_nobody : {false, true}) {
    SCOPED_TRACE(as_nobody ? "unprivileged" : "root");
    for (const char* name : {"second.out", "second.err", "second.status"}) std::filesystem::remove(path(name));
    EXPECT_RUN(run_package("setup.run", {"--", "first"}, as_nobody ? unprivileged() : how()),
               VERIFIED + uncompressing("setup.run.dir") + "first\ndata\n", "", 0);
    EXPECT_EQ(read_file(path("second.out")), VERIFIED);
    EXPECT_EQ(read_file(path("second.err")),
              "Directory `setup.run.dir' is in use by another run; wait until it has ended, or use --target with "
              "another directory\n");
    EXPECT_EQ(read_file(path("second.status")), "255\n");
    EXPECT_FALSE(exists(path("setup.run.dir")));
  }
}

// A script that changes where its directory's name leads: the removal
// empties the directory it entered, wherever that now is, and nothing
// the name leads to instead.
TEST_F(RemoveTest, NameChangedDuringTheRun) {
  const std::string not_removed = "Directory `setup.run.dir' has not been removed\n";
  const std::string moved = "Cannot remove `setup.run.dir': moved or replaced during the run\n";
  const struct {
    const char* script;
    std::string err;
  } rows[] = {
      {"mv \"$PWD\" ../moved && ln -s victim ../setup.run.dir\n", moved + not_removed},
      {"mv \"$PWD\" ../moved && mkdir ../setup.run.dir && echo x > ../setup.run.dir/new\n", moved + not_removed},
      {"mv \"$PWD\" ../moved\n", not_removed},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.script);
    for (const char* name : {"setup.run.dir", "moved", "victim"}) std::filesystem::remove_all(path(name));
    std::filesystem::create_directories(path("victim/inner"));
    write_file(path("victim/inner/own.txt"), "mine\n");
    make_script_package("setup.run", row.script, {{"data/file.txt", "data\n"}});
    EXPECT_RUN(run_package("setup.run", {}), VERIFIED + uncompressing("setup.run.dir"), row.err,
               row.err.empty() ? 0 : 255);
    EXPECT_EQ(read_file(path("victim/inner/own.txt")), "mine\n");
    // What the run unpacked is gone from the moved directory too.
    EXPECT_FALSE(exists(path("moved/data")));
    EXPECT_FALSE(exists(path("moved/install.sh")));
  }
}

}  // namespace
}  // namespace e2e
