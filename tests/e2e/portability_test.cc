// What differs between hosts: the stub's ELF class and byte order, and the
// host's tar. The stub is read as the ELF file it is (32- or 64-bit, little-
// or big-endian) and the package header must sit where its section headers
// say the image ends; QUARNEL_EXPECT_ELF_CLASS=32 or 64 and
// QUARNEL_EXPECT_BYTE_ORDER=little or big make sure the intended stub is
// tested. Where tars differ (empty input, stopping at the end-of-archive
// blocks), the expectation is derived from the tar first in PATH itself.
#include <signal.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "installer_support.h"
#include "package_bytes.h"

namespace e2e {
namespace {

uint64_t le(const std::string& bytes, std::size_t at, std::size_t width) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(static_cast<unsigned char>(bytes.at(at + i))) << (8 * i);
  return value;
}

uint64_t be(const std::string& bytes, std::size_t at, std::size_t width) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = value << 8 | static_cast<unsigned char>(bytes.at(at + i));
  return value;
}

struct elf_facts {
  int bits = 0;            // 32 or 64
  bool big = false;        // EI_DATA 2: the headers are big-endian
  uint64_t table_end = 0;  // e_shoff + e_shentsize * e_shnum
};

elf_facts read_elf(const std::string& file) {
  elf_facts facts;
  if (file.size() < 64 || file.compare(0, 4, "\x7f" "ELF") != 0) return facts;
  const bool is32 = file[4] == 1;
  facts.bits = is32 ? 32 : file[4] == 2 ? 64 : 0;
  facts.big = file[5] == 2;
  const auto field = [&](std::size_t at, std::size_t width) { return facts.big ? be(file, at, width) : le(file, at, width); };
  const uint64_t shoff = is32 ? field(32, 4) : field(40, 8);
  const uint64_t shentsize = field(is32 ? 46 : 58, 2), shnum = field(is32 ? 48 : 60, 2);
  facts.table_end = shoff + shentsize * shnum;
  return facts;
}

void expect_stub_as_announced(const elf_facts& elf) {
  const char* want_bits = getenv("QUARNEL_EXPECT_ELF_CLASS");
  if (want_bits != nullptr && *want_bits != '\0') {
    EXPECT_EQ(std::to_string(elf.bits), want_bits);
  }
  const char* want_order = getenv("QUARNEL_EXPECT_BYTE_ORDER");
  if (want_order != nullptr && *want_order != '\0') {
    EXPECT_EQ(elf.big ? "big" : "little", std::string(want_order));
  }
}

class ElfClassTest : public E2eTest {};

TEST_F(ElfClassTest, PackageHeaderFollowsTheImageEndOfEitherClass) {
  const std::string stub = read_file(stub_path());
  const elf_facts elf = read_elf(stub);
  ASSERT_NE(elf.bits, 0) << stub_path() << " is not a 32- or 64-bit ELF file";
  expect_stub_as_announced(elf);
  // The linker puts the section header table last: the stub ends where it ends.
  ASSERT_EQ(elf.table_end, stub.size());

  const std::string tar = read_file(make_tar("payload.tar", {{"install.sh", "echo ran \"$@\"\n"}}));
  const std::string package = read_file(make_package("setup.run", "payload.tar"));
  ASSERT_EQ(package.size(), elf.table_end + 24 + tar.size());
  EXPECT_EQ(read_elf(package).bits, elf.bits);
  EXPECT_EQ(read_elf(package).table_end, elf.table_end);
  EXPECT_EQ(package.substr(elf.table_end, 8), le64(tar.size()));
  EXPECT_EQ(package.substr(elf.table_end + 8, 16), unhex(md5_hex(tar)));
  EXPECT_RUN(run_in_dir("setup.run", {"--", "x"}),
             "Verifying archive integrity... Succeed.\nUncompressing in setup.run.dir...\nran x\n", "", 0);
}

// The size field is little-endian on every host, while the stub reads its
// own headers in its host's order: on a big-endian stub a fault in either
// would show as a package header looked for in the wrong place or a size
// read backwards. The payload need not be a tar file; its size has a
// different value in each of its low three bytes.
TEST_F(ElfClassTest, SizeFieldIsLittleEndianWhateverTheHostsByteOrder) {
  const std::string stub = read_file(stub_path());
  const elf_facts elf = read_elf(stub);
  expect_stub_as_announced(elf);
  ASSERT_EQ(elf.table_end, stub.size());
  const uint64_t size = 0x030201;
  write_file(path("payload.bin"), std::string(size, 'q'));
  const std::string package = read_file(make_package("setup.run", "payload.bin"));
  EXPECT_EQ(package.substr(stub.size(), 8), std::string("\x01\x02\x03\0\0\0\0\0", 8));
  EXPECT_RUN(run_in_dir("setup.run", {"--check"}), VERIFIED, "", 0);
  const run_result info = run_in_dir("setup.run", {"--info"});
  EXPECT_EQ(info.out.substr(0, info.out.find('\n') + 1), "TAR size: " + std::to_string((size + 1023) >> 10) + " KB \n");
  EXPECT_EQ(info.status, 0);
}

class HostTarTest : public InstallerTest {
 protected:
  /// /bin/sh -c command in a fresh directory, with the environment the program gets.
  run_result sh_in_fresh_dir(const std::string& command, const std::string& input_file = "/dev/null") {
    std::filesystem::remove_all(path("probe"));
    std::filesystem::create_directory(path("probe"));
    run_spec job;
    job.program = "/bin/sh";
    job.argv0 = "sh";
    job.args = {"-c", "(" + command + ") < " + input_file};
    job.cwd = path("probe");
    return run(job);
  }
};

// An empty archive goes to tar as empty input: GNU and busybox tar reject
// it, bsdtar accepts it and the missing install.sh fails in the shell.
TEST_F(HostTarTest, EmptyArchiveIsWhateverTheTarMakesOfIt) {
  write_file(path("empty.tar"), "");
  make_package("setup.run", "empty.tar");
  const run_result tar = sh_in_fresh_dir("tar -xf -");
  const run_result r = run_package("setup.run", {"--", "a"});
  if (tar.status != 0) {
    EXPECT_RUN(r, VERIFIED + uncompressing("setup.run.dir"), tar.err + "Close tar pipe error: Success\n", 255);
    EXPECT_FALSE(exists(path("setup.run.dir")));
  } else {
    const run_result script = sh_in_fresh_dir("sh ./install.sh a");
    ASSERT_NE(script.status, 0);
    EXPECT_RUN(r, VERIFIED + uncompressing("setup.run.dir"), script.err, script.status);
    EXPECT_FALSE(exists(path("setup.run.dir")));
  }
}

// A listing cut short by its reader: tar meets it as it would on its own
// (GNU and busybox tar die of SIGPIPE, so they did not inherit an ignored
// one, or they would complain of a write error), and tar's status decides.
TEST_F(HostTarTest, ListingIntoAReaderThatLeaves) {
  std::vector<std::pair<std::string, std::string>> files{{"install.sh", "exit 0\n"}};
  for (int i = 0; i < 1500; ++i) files.emplace_back("member-with-a-long-name-to-fill-the-pipe-" + std::to_string(i), "");
  make_tar("payload.tar", files);
  make_package("setup.run", "payload.tar");
  // bsdtar ignores SIGPIPE itself and ends with 0; the others die of it.
  const run_result tar = sh_in_fresh_dir("{ tar -tvf ../payload.tar; echo $? >&2; } | head -1");
  const run_result r = sh_in_fresh_dir("{ ../setup.run --list; echo $? >&2; } | head -1");
  if (tar.err == "0\n") {
    EXPECT_RUN(r, VERIFIED, "0\n", 0);
  } else {
    EXPECT_EQ(tar.err, std::to_string(128 + SIGPIPE) + "\n");
    EXPECT_RUN(r, VERIFIED, "Close tar pipe error: Success\n255\n", 0);
  }
}

// Bytes after the end-of-archive blocks (here several MiB of padding): a
// tar that reads its input to the end (bsdtar, busybox) and one that stops
// at the end-of-archive blocks (GNU tar) both install; the copy ends
// quietly when the reader has gone and tar's status decides.
TEST_F(HostTarTest, TarThatStopsReadingEarly) {
  std::string tar = read_file(make_tar("payload.tar", {{"install.sh", "touch ../script-ran; exit 7\n"}}));
  tar.resize(6 << 20, '\0');
  write_file(path("payload.tar"), tar);
  make_package("setup.run", "payload.tar");
  EXPECT_RUN(run_package("setup.run", {}), VERIFIED + uncompressing("setup.run.dir"), "", 7);
  EXPECT_TRUE(exists(path("script-ran")));
  EXPECT_FALSE(exists(path("setup.run.dir")));
}

}  // namespace
}  // namespace e2e
