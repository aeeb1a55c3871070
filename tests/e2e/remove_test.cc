// Removing the extraction directory, and keeping one that was not ours:
// a directory that existed before the run is kept.
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

}  // namespace
}  // namespace e2e
