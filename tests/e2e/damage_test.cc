// Damaged packages and damaged stubs. A package that was cut short, had a
// bit flipped or got bytes appended must end with the one message its damage
// calls for, create nothing and run no script; a stub whose section headers
// are garbage must end with a message or run, and never crash or hang.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <set>

#include "harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

const std::string VERIFYING = "Verifying archive integrity... ";
const std::string FAILED = VERIFYING + "Failed.\n";

struct outcome {
  std::string out, err;
  int status;
};

std::set<std::string> entries(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename());
  return names;
}

class DamageTest : public E2eTest {
 protected:
  void SetUp() override {
    // The script leaves a mark beside the package, outside the directory
    // that is removed after it.
    make_script_package("setup.run", "echo installed\ntouch ../script-ran\n", {{"data/file.txt", "payload\n"}});
    package = read_file(path("setup.run"));
    image_end = stub_size();
    ASSERT_GT(package.size(), image_end + 24 + 1000);
  }

  // Runs bytes as ./setup.run in an empty directory, once with --check and
  // once without options, and compares both runs; a run that fails must
  // leave nothing beside the package.
  void expect_damaged(const std::string& bytes, const outcome& check, const outcome& full, bool installs = false) {
    const std::string where = path("case");
    fs::remove_all(where);
    fs::create_directory(where);
    write_file(where + "/setup.run", bytes, 0755);
    for (const bool checking : {true, false}) {
      SCOPED_TRACE(checking ? "--check" : "full run");
      run_spec job;
      job.program = where + "/setup.run";
      job.argv0 = "./setup.run";
      job.cwd = where;
      if (checking) job.args = {"--check"};
      const run_result result = run(job);
      const outcome& want = checking ? check : full;
      EXPECT_RUN(result, want.out, want.err, want.status);
      EXPECT_EQ(result.signal, 0);
    }
    std::set<std::string> want{"setup.run"};
    if (installs) want.insert("script-ran");
    EXPECT_EQ(entries(where), want);
  }

  std::string package;
  std::size_t image_end = 0;
};

TEST_F(DamageTest, CutShortAroundTheHeader) {
  for (std::size_t length = image_end - 1; length <= image_end + 30; ++length) {
    SCOPED_TRACE("cut at image end + " + std::to_string(static_cast<long>(length - image_end)));
    const std::string cut = package.substr(0, length);
    if (length < image_end) {
      // The section header table is the last thing in the stub, so the
      // image end itself can no longer be found.
      const outcome fails{"", "ELF section header read error: Success\n", 255};
      expect_damaged(cut, fails, fails);
    } else if (length == image_end) {
      // A bare stub again: builder mode, which knows no --check.
      expect_damaged(cut, {"", "./setup.run: unrecognized option '--check'\n", 255},
                     {"", "This installer does not contain an embedded archive\n", 255});
    } else if (length < image_end + 8) {
      const outcome fails{"", "Archive size read error\n", 255};
      expect_damaged(cut, fails, fails);
    } else if (length < image_end + 24) {
      const outcome fails{"", "Archive checksum read error\n", 255};
      expect_damaged(cut, fails, fails);
    } else {
      expect_damaged(cut, {FAILED, "", 255}, {FAILED, "", 255});
    }
  }
}

TEST_F(DamageTest, CutShortInsideTheArchive) {
  const std::size_t archive = image_end + 24, length = package.size() - archive;
  for (const std::size_t keep : {std::size_t{512}, length / 2, length - 512, length - 1}) {
    SCOPED_TRACE("archive cut to " + std::to_string(keep) + " bytes");
    expect_damaged(package.substr(0, archive + keep), {FAILED, "", 255}, {FAILED, "", 255});
  }
}

TEST_F(DamageTest, FlippedHeaderBits) {
  for (std::size_t at = 0; at < 24; ++at) {
    SCOPED_TRACE("header byte " + std::to_string(at));
    std::string flipped = package;
    flipped[image_end + at] = static_cast<char>(flipped[image_end + at] ^ (1 << (at % 8)));
    if (at < 8) {
      // The size field is for display only: the package still verifies and
      // installs.
      expect_damaged(flipped, {VERIFYING + "Succeed.\n", "", 0},
                     {VERIFYING + "Succeed.\nUncompressing in setup.run.dir...\ninstalled\n", "", 0}, true);
    } else {
      expect_damaged(flipped, {FAILED, "", 255}, {FAILED, "", 255});
    }
  }
}

TEST_F(DamageTest, FlippedArchiveBits) {
  const std::size_t archive = image_end + 24, last = package.size() - 1;
  for (std::size_t i = 0; i < 64; ++i) {
    const std::size_t at = archive + (last - archive) * i / 63;
    SCOPED_TRACE("archive byte " + std::to_string(at - archive));
    std::string flipped = package;
    flipped[at] = static_cast<char>(flipped[at] ^ (1 << (i % 8)));
    expect_damaged(flipped, {FAILED, "", 255}, {FAILED, "", 255});
  }
}

TEST_F(DamageTest, AppendedGarbage) {
  for (const std::string& garbage :
       {std::string(1, '\0'), std::string("\n"), std::string(100, 'x'), std::string(5000, '\xff')}) {
    SCOPED_TRACE(std::to_string(garbage.size()) + " bytes appended");
    expect_damaged(package + garbage, {FAILED, "", 255}, {FAILED, "", 255});
  }
}

class DamagedStubTest : public E2eTest {};

// Garbage in the fields and the table that locate the image end: each run
// ends with a message and status 255, or runs as the stub it is; a signal or
// a hang is a fault.
TEST_F(DamagedStubTest, SectionHeadersOverwritten) {
  // qemu-user's own loader reads the section header table before the
  // program starts and may crash on it: only a native run tests the stub.
  if (stub_is_emulated()) GTEST_SKIP() << "the stub runs under qemu-user, whose loader reads the damaged table first";
  const std::string stub = read_file(stub_path());
  ASSERT_GE(stub.size(), 64u);
  const bool wide = stub[4] == 2;
  const std::size_t shoff_at = wide ? 40 : 32, shentsize_at = wide ? 58 : 46, shnum_at = wide ? 60 : 48;
  uint64_t shoff = 0;
  std::memcpy(&shoff, stub.data() + shoff_at, wide ? 8 : 4);
  ASSERT_LT(shoff, stub.size());

  std::mt19937_64 random(20240613);
  const auto put = [](std::string& bytes, std::size_t at, uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
  };
  const std::string copy = path("stub.run");
  for (int round = 0; round < 200; ++round) {
    std::string damaged = stub;
    const int what = round % 5;  // 4 damages everything at once
    if (what == 0 || what == 4) {
      // Anywhere at all, near the real table, or inside the file.
      const uint64_t value = round % 3 == 0   ? random()
                             : round % 3 == 1 ? shoff + random() % 512 - 256
                                              : random() % stub.size();
      put(damaged, shoff_at, value, wide ? 8 : 4);
    }
    if (what == 1 || what == 4) put(damaged, shentsize_at, random(), 2);
    if (what == 2 || what == 4) put(damaged, shnum_at, random(), 2);
    if (what == 3 || what == 4) {
      const std::size_t from = shoff + random() % (stub.size() - shoff);
      const std::size_t count = 1 + random() % (stub.size() - from);
      for (std::size_t i = 0; i < count; ++i) damaged[from + i] = static_cast<char>(random());
    }
    write_file(copy, damaged, 0755);

    run_spec job;
    job.program = copy;
    job.argv0 = "./stub.run";
    job.cwd = dir.path();
    job.timeout_seconds = 10;
    const run_result result = run(job);
    SCOPED_TRACE("round " + std::to_string(round) + ", stderr: " + result.err);
    ASSERT_FALSE(result.timed_out);
    ASSERT_EQ(result.signal, 0);
    // An image end that lands inside the file makes a package of the rest,
    // whose check then fails with "Failed." on standard output.
    ASSERT_TRUE(result.status == 0 ||
                (result.status == 255 && (!result.err.empty() || result.out.ends_with("Failed.\n"))))
        << result.status << " " << result.out;
    ASSERT_FALSE(fs::exists(path("stub.run.dir")));
  }
}

}  // namespace
}  // namespace e2e
