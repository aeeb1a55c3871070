// Compressed payloads: gzip, bzip2, xz and zstd archives made with the
// usual tools are decoded by the stub, so any host tar installs, lists and
// extracts them; damaged ones fail before the script runs. And the space
// check, which reads what they unpack to without decoding them.
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "installer_support.h"

namespace e2e {
namespace {

struct format {
  std::string name;
  std::string compress;  ///< a filter from standard input to standard output
};
const format FORMATS[] = {
    {"gzip", "gzip -c"},
    {"bzip2", "bzip2 -c"},
    {"xz", "xz -c"},
    {"zstd", "zstd -q -c"},
    // Blocks that record their sizes, as xz -T writes them: decoded on
    // threads.
    {"xz", "xz -T2 --block-size=64KiB -c"},
};

// An empty zstd skippable frame (magic 0x184D2A5?, little-endian length)
// and xz stream padding, both allowed between and around their frames.
const std::string ZSTD_SKIPPABLE = std::string("\x5e\x2a\x4d\x18\x03\x00\x00\x00\x61\x62\x63", 11);
const std::string XZ_PADDING(4, '\0');

class CompressTest : public InstallerTest {
 protected:
  // Several hundred KiB of text, so that input and output cross the
  // decoders' buffers many times over.
  std::string data() const {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + " of the payload\n";
    return text;
  }

  // payload.tar: install.sh = script, and data/file.txt.
  std::string make_payload(const std::string& script = "echo ran\n") {
    return make_tar("payload.tar", {{"install.sh", script}, {"data/file.txt", data()}});
  }

  std::string compressed(const format& f, const std::string& bytes) {
    write_file(path("piece"), bytes);
    return shell(f.compress + " < '" + path("piece") + "'");
  }

  // setup.run from payload.tar compressed in pieces of part_size bytes (all
  // of it when 0), one member each, after lead and each followed by
  // separator.
  void make_compressed_package(const format& f, std::size_t part_size, const std::string& lead = "",
                               const std::string& separator = "") {
    const std::string tar = read_file(path("payload.tar"));
    std::string packed = lead;
    const std::size_t step = part_size == 0 ? tar.size() : part_size;
    for (std::size_t at = 0; at < tar.size(); at += step) packed += compressed(f, tar.substr(at, step)) + separator;
    write_file(path("payload.tar.x"), packed);
    make_package("setup.run", "payload.tar.x");
  }

  bool host_tar_is_bsdtar() {
    std::string env = "env -i";
    for (const std::string& var : default_env()) env += " '" + var + "'";
    return shell(env + " tar --version 2>&1; true").find("bsdtar") != std::string::npos;
  }

  // Full run, --list and --tar xf on setup.run, which holds payload.tar.
  void expect_installs_lists_and_extracts() {
    EXPECT_RUN(run_package("setup.run", {}), VERIFIED + uncompressing("setup.run.dir") + "ran\n", "", 0);
    EXPECT_FALSE(exists(path("setup.run.dir")));
    EXPECT_RUN(run_package("setup.run", {"--list"}), VERIFIED + host_listing(path("payload.tar")), "", 0);
    std::filesystem::remove_all(path("out"));
    std::filesystem::create_directories(path("out"));
    EXPECT_RUN(run_package(path("setup.run"), {"--tar", "xf"}, from_dir(path("out"))), VERIFIED + "Run: tar xf -\n", "",
               0);
    EXPECT_TRUE(read_file(path("out/data/file.txt")) == data());
    EXPECT_EQ(read_file(path("out/install.sh")), "echo ran\n");
  }
};

TEST_F(CompressTest, EveryFormatWholeOrInMembersInstallsListsAndExtracts) {
  make_payload();
  const auto& [gzip, bzip2, xz, zstd, xz_blocks] = FORMATS;
  const struct {
    const format& f;
    std::size_t part_size;
    std::string lead, separator;
  } rows[] = {
      {gzip, 0, "", ""},
      {bzip2, 0, "", ""},
      {xz, 0, "", ""},
      {zstd, 0, "", ""},
      {xz_blocks, 0, "", ""},
      // Many members, so that some start across the ends of read buffers.
      {gzip, 7000, "", ""},
      {bzip2, 100000, "", ""},
      {xz, 7000, "", XZ_PADDING},
      {xz_blocks, 100000, "", XZ_PADDING},
      // A skippable frame first is recognised as zstd too.
      {zstd, 7000, ZSTD_SKIPPABLE, ZSTD_SKIPPABLE},
  };
  // Pinned to one core, xz is decoded without worker threads.
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  int cpu = 0;
  while (!CPU_ISSET(cpu, &allowed)) ++cpu;
  run_spec one_core;
  one_core.program = "/usr/bin/taskset";
  one_core.args = {"-c", std::to_string(cpu), "./setup.run"};
  one_core.cwd = dir.path();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.f.compress + " in parts of " + std::to_string(row.part_size));
    make_compressed_package(row.f, row.part_size, row.lead, row.separator);
    expect_installs_lists_and_extracts();
    if (&row.f == &xz_blocks) {
      EXPECT_RUN(run(one_core), VERIFIED + uncompressing("setup.run.dir") + "ran\n", "", 0);
    }
  }
}

TEST_F(CompressTest, DamagedTruncatedOrTrailingGarbageFailsBeforeTheScript) {
  make_payload("echo ran; touch ../script-ran\n");
  std::filesystem::create_directories(path("mine"));
  write_file(path("mine/own.txt"), "user data\n");
  // LEGACY: a frame of zstd's pre-1.0 formats after a current one.
  enum damage { FLIPPED, TRUNCATED, GARBAGE, LEGACY };
  for (const format& f : FORMATS) {
    const std::string good = compressed(f, read_file(path("payload.tar")));
    const struct {
      damage kind;
      std::vector<std::string> args;
      std::string out;     // all of standard output, or its start for --list
      std::string detail;  // the whole message when not empty
    } rows[] = {
        {FLIPPED, {}, VERIFIED + uncompressing("setup.run.dir"), ""},
        {TRUNCATED, {}, VERIFIED + uncompressing("setup.run.dir"), "unexpected end of input"},
        {GARBAGE, {}, VERIFIED + uncompressing("setup.run.dir"), ""},
        {FLIPPED, {"--noexec"}, VERIFIED + uncompressing("setup.run.dir"), ""},
        {TRUNCATED, {"--list"}, VERIFIED, "unexpected end of input"},
        {GARBAGE, {"--tar", "xf"}, VERIFIED + "Run: tar xf -\n", ""},
        {FLIPPED, {"--target", "mine"}, VERIFIED + uncompressing("mine"), ""},
        {LEGACY, {}, VERIFIED + uncompressing("setup.run.dir"), "Version not supported"},
    };
    for (const auto& row : rows) {
      if (row.kind == LEGACY && f.name != "zstd") continue;
      SCOPED_TRACE(f.compress + " damage " + std::to_string(row.kind) + " " + testing::PrintToString(row.args));
      std::string bytes = good;
      if (row.kind == FLIPPED) bytes[bytes.size() / 2] ^= 0x55;
      if (row.kind == TRUNCATED) bytes.resize(bytes.size() / 2);
      if (row.kind == GARBAGE) bytes += "trailing garbage bytes\n";
      if (row.kind == LEGACY) bytes += std::string("\x27\xb5\x2f\xfd\x00\x00\x00\x00", 8);
      write_file(path("payload.tar.x"), bytes);
      make_package("setup.run", "payload.tar.x");
      std::filesystem::create_directories(path("out"));
      const bool custom = !row.args.empty() && row.args[0] == "--tar";
      const run_result r = run_package(path("setup.run"), row.args, from_dir(custom ? path("out") : dir.path()));
      // One line of ours; the host tar's complaints about its stream cut
      // short may come before or after it.
      const std::string prefix = "Decompression error (" + f.name + "): ";
      const std::size_t at = r.err.find(prefix);
      ASSERT_NE(at, std::string::npos) << r.err;
      EXPECT_TRUE(at == 0 || r.err[at - 1] == '\n') << r.err;
      EXPECT_EQ(r.err.find("Decompression error", at + 1), std::string::npos) << r.err;
      if (!row.detail.empty()) {
        EXPECT_EQ(r.err.substr(at, r.err.find('\n', at) + 1 - at), prefix + row.detail + "\n");
      }
      EXPECT_EQ(r.err.find("Close tar pipe error"), std::string::npos) << r.err;
      EXPECT_EQ(row.args == std::vector<std::string>{"--list"} ? r.out.substr(0, row.out.size()) : r.out, row.out);
      EXPECT_EQ(r.status, 255);
      EXPECT_FALSE(exists(path("script-ran")));
      // A directory this run made is removed; the user's own is kept, and
      // said to be.
      EXPECT_FALSE(exists(path("setup.run.dir")));
      EXPECT_EQ(read_file(path("mine/own.txt")), "user data\n");
      const bool own = !row.args.empty() && row.args[0] == "--target";
      EXPECT_EQ(r.err.find("Directory `mine' existed before extraction and has been kept\n") != std::string::npos, own);
      std::filesystem::remove_all(path("setup.run.dir"));
      std::filesystem::remove_all(path("out"));
    }
  }
}

TEST_F(CompressTest, DamageBeyondWhereTarStopsReadingIsStillReported) {
  // Data after the end-of-archive blocks, more than the pipe holds: GNU tar
  // stops reading at the end of the archive and exits 0; the stub decodes
  // on regardless, so the stream's end is still checked. And a tar that
  // fails without reading anything, while 8 MiB are still to be written
  // (more than the widest pipe holds): its status decides, with the line
  // of any failed tar, whose write into the pipe failed first.
  make_tar("big.tar", {{"install.sh", "echo ran\n"}, {"blob", std::string(8 << 20, 'b')}});
  const std::string big = read_file(path("big.tar"));
  const std::string fails_at_once = "--help >/dev/null 2>&1 </dev/null; exit 3 #";
  make_payload("echo ran; touch ../script-ran\n");
  std::string tail;
  for (uint32_t x = 1; tail.size() < 600000;) {
    x = x * 1103515245 + 12345;  // incompressible enough
    tail += static_cast<char>(x >> 24);
  }
  const std::string tar = read_file(path("payload.tar")) + tail;
  for (const format& f : FORMATS) {
    SCOPED_TRACE(f.compress);
    write_file(path("payload.tar.x"), compressed(f, big));
    make_package("setup.run", "payload.tar.x");
    EXPECT_RUN(run_package("setup.run", {"--tar", fails_at_once}), VERIFIED + "Run: tar " + fails_at_once + " -\n",
               "Close tar pipe error: Success\n", 255);

    const std::string whole = compressed(f, tar);
    write_file(path("payload.tar.x"), whole);
    make_package("setup.run", "payload.tar.x");
    EXPECT_RUN(run_package("setup.run", {}), VERIFIED + uncompressing("setup.run.dir") + "ran\n", "", 0);
    EXPECT_TRUE(exists(path("script-ran")));
    std::filesystem::remove(path("script-ran"));

    write_file(path("payload.tar.x"), whole.substr(0, whole.size() - 64));
    make_package("setup.run", "payload.tar.x");
    const run_result r = run_package("setup.run", {});
    EXPECT_NE(r.err.find("Decompression error (" + f.name + "): unexpected end of input\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("Close tar pipe error"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, VERIFIED + uncompressing("setup.run.dir"));
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(exists(path("script-ran")));
    EXPECT_FALSE(exists(path("setup.run.dir")));
    std::filesystem::remove_all(path("setup.run.dir"));
  }
}

// A 16 MiB file system (a tmpfs the test mounts, as root) holds the
// extraction directory; the archive unpacks to 40 MiB. And one whose
// blocks are half reserved for the superuser (ext2 on a loop device), for
// a 10 MiB archive that only the superuser may unpack there.
TEST_F(CompressTest, TooSmallAFileSystemIsRefusedBeforeTarRuns) {
  REQUIRE_ROOT();
  const std::string small = path("small"), reserved = path("reserved");
  std::filesystem::create_directory(small);
  std::filesystem::create_directory(reserved);
  ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16m"), 0) << strerror(errno);
  const struct unmount {
    std::vector<std::string> at;
    ~unmount() {
      for (const std::string& point : at) umount2(point.c_str(), MNT_DETACH);
    }
  } unmount_after{{small, reserved}};
  shell("truncate -s 16M '" + path("ext2") + "' && mkfs.ext2 -q -F -m 50 '" + path("ext2") + "' && mount -o loop '" +
        path("ext2") + "' '" + reserved + "' && chmod 1777 '" + reserved + "'");
  make_tar("big.tar", {{"install.sh", "echo ran\n"}, {"blob", std::string(40 << 20, 'b')}});
  const std::string big = read_file(path("big.tar"));
  make_tar("mid.tar", {{"install.sh", "echo ran\n"}, {"blob", std::string(10 << 20, 'm')}});
  const std::string mid = read_file(path("mid.tar"));
  make_payload();
  const std::string fits = read_file(path("payload.tar"));
  const std::string refused = "Not enough space in " + small + ": the archive unpacks to " +
                              std::to_string((big.size() + 1023) >> 10) + " KB, 16384 KB are free\n";
  // What an ordinary user may use of the ext2 file system is its own.
  const std::string refused_user = "Not enough space in " + reserved + ": the archive unpacks to " +
                                   std::to_string((mid.size() + 1023) >> 10) + " KB, ";
  const std::string tar_failed = "Close tar pipe error: Success\n";
  const struct {
    const char* filter;  // "" for a plain archive
    const std::string& tar;
    std::vector<std::string> args;
    std::string out, err;  // err: all of it, its end when tar fails, its start for refused_user
    int status;
    bool user = false;
  } rows[] = {
      {"", big, {"--target", "small/x"}, VERIFIED, refused, 255},
      {"xz -T2 -c", big, {"--target", "small/x"}, VERIFIED, refused, 255},
      {"zstd -q -c --stream-size=", big, {"--target", "small/x"}, VERIFIED, refused, 255},
      // Before the question, and for --noexec too.
      {"", big, {"--confirm", "--noexec", "--target", "small/x"}, VERIFIED, refused, 255},
      // A directory that exists is measured itself, not its parent.
      {"xz -T2 -c", big, {"--target", "small"}, VERIFIED, refused, 255},
      {"", big, {"--skip-space-check", "--target", "small/x"}, VERIFIED + uncompressing("small/x"), tar_failed, 255},
      {"xz -T2 -c", big, {"--skip-space-check", "--target", "small/x"}, VERIFIED + uncompressing("small/x"),
       tar_failed, 255},
      {"zstd -q -c --stream-size=", big, {"--sk", "--target", "small/x"}, VERIFIED + uncompressing("small/x"),
       tar_failed, 255},
      {"", fits, {"--target", "small/x"}, VERIFIED + uncompressing("small/x") + "ran\n", "", 0},
      {"", mid, {"--target", "reserved/x"}, VERIFIED + uncompressing("reserved/x") + "ran\n", "", 0},
      {"", mid, {"--target", "reserved/x"}, VERIFIED, refused_user, 255, true},
      // A file system that reports no blocks at all (procfs, some FUSE ones)
      // has no size to check against: making the directory fails instead.
      {"", fits, {"--target", "/proc/x"}, VERIFIED, "Cannot mkdir /proc/x: No such file or directory\n", 255},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.filter) + " " + std::to_string(row.tar.size()) + " " +
                 testing::PrintToString(row.args));
    const std::string& tar = row.tar;
    std::string filter = row.filter;
    // zstd records the content size only when told it (or given a file name).
    if (filter.find("--stream-size=") != std::string::npos) filter += std::to_string(tar.size());
    write_file(path("payload.tar.x"), filter.empty() ? tar : compressed(format{"", filter}, tar));
    make_package("setup.run", "payload.tar.x");
    how h = row.user ? unprivileged() : with_input("y\n");
    const run_result r = run_package("setup.run", row.args, h);
    EXPECT_EQ(r.out, row.out);
    ASSERT_GE(r.err.size(), row.err.size()) << r.err;
    if (row.err == tar_failed) {
      EXPECT_EQ(r.err.substr(r.err.size() - row.err.size()), row.err);
    } else if (row.err == refused_user) {
      EXPECT_EQ(r.err.substr(0, row.err.size()), row.err);
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
      EXPECT_TRUE(r.err.ends_with(" KB are free\n")) << r.err;
    } else {
      EXPECT_EQ(r.err, row.err);
    }
    EXPECT_EQ(r.status, row.status);
    EXPECT_TRUE(std::filesystem::is_empty(small));
    EXPECT_FALSE(exists(reserved + "/x"));
  }
}

TEST_F(CompressTest, PlainTarWhoseFirstMemberLooksLikeBzip2StaysPlain) {
  if (host_tar_is_bsdtar()) {
    GTEST_SKIP() << "bsdtar takes such a file for bzip2 even when reading it directly";
  }
  make_tar("setup.run.tar", {{"BZh91AY&SY.txt", "not compressed\n"}, {"install.sh", "cat BZh91AY*\n"}});
  ASSERT_EQ(read_file(path("setup.run.tar")).substr(0, 10), "BZh91AY&SY");
  make_package("setup.run", "setup.run.tar");
  EXPECT_RUN(run_package("setup.run", {}), VERIFIED + uncompressing("setup.run.dir") + "not compressed\n", "", 0);
  EXPECT_RUN(run_package("setup.run", {"--list"}), VERIFIED + host_listing(path("setup.run.tar")), "", 0);
}

}  // namespace
}  // namespace e2e
