// Hostile surroundings: a disk that fills up while a package is written, and
// a host without tar.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "installer_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

class EnvironmentTest : public E2eTest {};

// Deterministic bytes that are not all alike.
std::string noise(std::size_t size) {
  std::string bytes(size, '\0');
  uint32_t x = 7;
  for (char& c : bytes) c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
  return bytes;
}

TEST_F(EnvironmentTest, DiskFillsWhileBuilding) {
  write_file(path("payload.tar"), noise(1 << 20));
  const uint64_t stub = stub_size();
  struct {
    const char* label;
    uint64_t room;
    const char* err;
  } const cases[] = {
      {"no room for the stub", stub / 2, "Write installer file error\n"},
      {"no room for the archive", stub + 64 * 1024, "Write to installer error\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string small = path(std::string("small-") + (c.room < stub ? "a" : "b"));
    fs::create_directory(small);
    const std::string size = "size=" + std::to_string((c.room + 4095) / 4096 * 4096);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, size.c_str()) != 0)
      GTEST_SKIP() << "cannot mount a tmpfs to fill up here (" << std::strerror(errno) << ")";
    const run_result built = run_in_dir(stub_path(), {"--create", small + "/setup.run", "payload.tar"});
    struct stat st {};
    const bool exists = stat((small + "/setup.run").c_str(), &st) == 0;
    umount2(small.c_str(), MNT_DETACH);
    EXPECT_RUN(built, "", c.err, 255);
    EXPECT_TRUE(exists);
    EXPECT_EQ(st.st_mode & 0111, 0u) << "a package that lost its tail must not be executable";
  }
}

// popen runs "tar" through /bin/sh, which reports the missing command
// itself and exits with 127 without reading: with nothing to write, or far
// more than the pipe holds, the run ends on the shell's status and removes
// the directory it made.
TEST_F(EnvironmentTest, NoTarInPath) {
  fs::create_directory(path("empty-bin"));
  write_file(path("small.tar"), "");
  write_file(path("large.tar"), noise(1 << 20));
  for (const char* name : {"small", "large"}) {
    SCOPED_TRACE(name);
    const std::string package = std::string(name) + ".run";
    make_package(package, std::string(name) + ".tar");
    run_spec job;
    job.program = path(package);  // found by its path, not along PATH
    job.cwd = dir.path();
    job.env = std::vector<std::string>{"PATH=" + path("empty-bin"), "LC_ALL=C"};
    const run_result r = run(job);
    EXPECT_EQ(r.out, VERIFIED + uncompressing(package + ".dir"));
    const std::string ours = "Close tar pipe error: Success\n";
    ASSERT_GT(r.err.size(), ours.size());
    EXPECT_EQ(r.err.substr(r.err.size() - ours.size()), ours);
    const std::string shells = r.err.substr(0, r.err.size() - ours.size());
    EXPECT_NE(shells.find("tar"), std::string::npos) << shells;
    EXPECT_NE(shells.find("not found"), std::string::npos) << shells;
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(exists(path(package + ".dir")));
  }
}

}  // namespace
}  // namespace e2e
