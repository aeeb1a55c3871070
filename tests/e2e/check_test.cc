// The package header and the integrity check end to end: --check on good, tampered, extended and
// truncated packages, headers cut short, and --info on forged size fields.
#include <cstdint>
#include <filesystem>
#include <functional>

#include "harness.h"
#include "package_bytes.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

const std::string VERIFIED = "Verifying archive integrity... Succeed.\n";
const std::string FAILED = "Verifying archive integrity... Failed.\n";

std::string info_lines(uint64_t kb) {
  return "TAR size: " + std::to_string(kb) +
         " KB \nTarget directory: setup.run.dir \n"
         "Script to run after the extraction: ./install.sh\ndirectory setup.run.dir is permanent\n" + architecture_line();
}

class CheckTest : public E2eTest {
 protected:
  std::string good;  // the package as built
  uint64_t stub = 0;

  void SetUp() override {
    write_file(path("payload.tar"), pattern_bytes(3 * 4096 + 77, 3));
    good = read_file(make_package("setup.run", "payload.tar"));
    stub = stub_size();
  }
  void write_package(const std::string& bytes) { write_file(path("setup.run"), bytes, 0755); }
};

TEST_F(CheckTest, TamperedExtendedAndTruncatedPackages) {
  using edit = std::function<void(std::string&)>;
  const auto flip = [](uint64_t at) { return edit([at](std::string& b) { b[at] = static_cast<char>(b[at] ^ 0x01); }); };
  struct row {
    const char* what;
    edit change;
    bool verifies;
  };
  const row rows[] = {
      {"intact", [](std::string&) {}, true},
      {"first archive byte", flip(stub + 24), false},
      {"middle archive byte", flip(stub + 24 + 4096), false},
      {"last archive byte", flip(good.size() - 1), false},
      {"first digest byte", flip(stub + 8), false},
      {"last digest byte", flip(stub + 23), false},
      {"byte appended", [](std::string& b) { b += '\0'; }, false},
      {"cut by one byte", [](std::string& b) { b.pop_back(); }, false},
      {"cut at a block edge", [this](std::string& b) { b.resize(stub + 24 + 4096); }, false},
      {"archive cut off whole", [this](std::string& b) { b.resize(stub + 24); }, false},
      {"size field low byte", flip(stub), true},
      {"size field high byte", flip(stub + 7), true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    std::string bytes = good;
    r.change(bytes);
    write_package(bytes);
    if (r.verifies)
      EXPECT_RUN(run_in_dir("setup.run", {"--check"}), VERIFIED, "", 0);
    else
      EXPECT_RUN(run_in_dir("setup.run", {"--check"}), FAILED, "", 255);
  }
}

TEST_F(CheckTest, HeaderCutShort) {
  // One file, cut back further each round: it ends k bytes after the stub image.
  write_package(good);
  for (uint64_t k = 23; k >= 1; --k) {
    SCOPED_TRACE(k);
    fs::resize_file(path("setup.run"), stub + k);
    const std::string err = k < 8 ? "Archive size read error\n" : "Archive checksum read error\n";
    EXPECT_RUN(run_in_dir("setup.run", {"--check"}), "", err, 255);
    EXPECT_RUN(run_in_dir("setup.run", {"--info"}), "", err, 255);
    EXPECT_RUN(run_in_dir("setup.run", {}), "", err, 255);
  }
}

TEST_F(CheckTest, HeaderOnly) {
  // Exactly 24 bytes after the image: a valid package with an empty archive.
  const std::string image = good.substr(0, stub);
  write_package(image + le64(0) + unhex("d41d8cd98f00b204e9800998ecf8427e"));
  EXPECT_RUN(run_in_dir("setup.run", {"--check"}), VERIFIED, "", 0);
  EXPECT_RUN(run_in_dir("setup.run", {"--info"}), info_lines(0), "", 0);
  // The same length with a digest that is not the empty one fails the check.
  write_package(image + le64(0) + std::string(16, '\0'));
  EXPECT_RUN(run_in_dir("setup.run", {"--check"}), FAILED, "", 255);
}

TEST_F(CheckTest, InfoShowsTheSizeFieldInKiB) {
  struct row {
    uint64_t size, kb;
  };
  const row rows[] = {
      {0, 0},
      {1, 1},
      {1024, 1},
      {1025, 2},
      {21903360, 21390},
      {(5ULL << 30) + 1, (5ULL << 20) + 1},  // needs the upper 32 bits
      {UINT64_MAX, 0},                       // (n + 1023) >> 10 wraps in 64 bits
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.size);
    std::string bytes = good;
    bytes.replace(stub, 8, le64(r.size));
    write_package(bytes);
    EXPECT_RUN(run_in_dir("setup.run", {"--info"}), info_lines(r.kb), "", 0);
    // The size field is for display only.
    EXPECT_RUN(run_in_dir("setup.run", {"--check"}), VERIFIED, "", 0);
  }
  // --info does not check the digest.
  std::string bytes = good;
  bytes.back() = static_cast<char>(bytes.back() ^ 0x01);
  write_package(bytes);
  EXPECT_RUN(run_in_dir("setup.run", {"--info"}), info_lines(13), "", 0);
}

}  // namespace
}  // namespace e2e
