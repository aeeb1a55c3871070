// Prompts, the script's argument vector and launch, and the removal of the
// extraction directory.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <cstring>
#include <string_view>

#include "extract/extract.h"
#include "support.h"

namespace {

using namespace test_support;

// A descriptor closed at the end of its scope.
struct unique_fd {
  int fd;
  ~unique_fd() {
    if (fd >= 0) close(fd);
  }
  int get() const { return fd; }
};
unique_fd open_directory(const std::string& path) { return {open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)}; }

TEST(AskYesNo, AnswerTable) {
  const std::string q = "Proceed? [y/n] ";
  const struct {
    std::string input;
    int result, questions;
    std::string unread;
  } rows[] = {
      {"y\n", 0, 1, ""},
      {"Y\nn\n", 0, 1, "n\n"},
      {"yes\n", 0, 1, ""},
      {"\n", 0, 1, ""},
      {"y", 0, 1, ""},
      {"n\n", 1, 1, ""},
      {"N\n", 1, 1, ""},
      {"no\ny\n", 1, 1, "y\n"},
      {"maybe\ny\n", 0, 2, ""},
      {" y\nn\n", 1, 2, ""},
      {"\xFFy\nN\n", 1, 2, ""},
      {"y\xFF\xFFrest\nn\n", 0, 1, "n\n"},
      {std::string("\0y\nn\n", 5), 1, 2, ""},
      {"a\nb\nc\nd\ne\ny\n", -1, 5, "y\n"},
      {"a\nb\nc\nd\ne", -1, 5, ""},
      {"x", -1, 5, ""},
      {"", -1, 5, ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::PrintToString(r.input));
    std::string input = r.input;
    // fmemopen refuses an empty buffer on some systems; /dev/null is empty.
    FILE* in = input.empty() ? fopen("/dev/null", "r") : fmemopen(input.data(), input.size(), "r");
    ASSERT_NE(in, nullptr);
    char* buffer = nullptr;
    std::size_t length = 0;
    FILE* out = open_memstream(&buffer, &length);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(ask_yes_no(in, out, q), r.result);
    fclose(out);
    std::string expected;
    for (int i = 0; i < r.questions; ++i) expected += q;
    EXPECT_EQ(std::string(buffer, length), expected);
    free(buffer);
    std::string unread;
    for (int c; (c = getc(in)) != EOF;) unread += static_cast<char>(c);
    EXPECT_EQ(unread, r.unread);
    fclose(in);
  }
}

// The pager's rows: a terminal wraps a line only when a character comes
// after a full row, counts a UTF-8 character as one column, and stops a tab
// at the last column.
TEST(ScreenRows, WrappedLinesUtf8AndTabs) {
  const std::string e_acute = "\xC3\xA9", check = "\xE2\x9C\x93";
  const auto times = [](const std::string& text, int n) {
    std::string all;
    while (n-- > 0) all += text;
    return all;
  };
  const struct {
    const char* label;
    std::string line;
    int width, rows;
  } rows[] = {
      {"empty", "", 10, 1},
      {"as wide as the terminal", std::string(10, 'x'), 10, 1},
      {"one column more", std::string(11, 'x'), 10, 2},
      {"450 columns in 100", std::string(450, 'x'), 100, 5},
      {"width unknown", std::string(450, 'x'), 0, 1},
      {"two-byte characters", times(e_acute, 10), 10, 1},
      {"three-byte characters", times(check, 11), 10, 2},
      {"tab to column 8, then 2 more", "\tab", 10, 1},
      {"tab to column 8, then 3 more", "\tabc", 10, 2},
      {"tab stops begin again on each row", std::string(12, 'x') + "a\tbcdef", 12, 3},
      {"tab stopped at the last column", "abcdefgh\tx", 10, 1},
      {"tab stopped at the last column, then 2", "abcdefgh\txy", 10, 2},
      {"tabs on a full row do not wrap", std::string(10, 'x') + "\t\t", 10, 1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    EXPECT_EQ(screen_rows(r.line, r.width), r.rows);
  }
  // A screen takes whole lines while they fit, then cuts the next one
  // where its rows run out, on a character boundary.
  const std::string para = std::string(25, 'p') + "\n";
  EXPECT_EQ(screen_fill("a\nb\nc\n", 0, 2), 4u);
  EXPECT_EQ(screen_fill(para + para, 10, 6), 2 * para.size());
  EXPECT_EQ(screen_fill(para + para, 10, 5), para.size() + 20);
  EXPECT_EQ(screen_fill(std::string(30, 'x'), 10, 2), 20u);
  EXPECT_EQ(screen_fill(std::string(9, 'x') + check + check, 10, 1), 12u);
  EXPECT_EQ(screen_fill("x" + check + check, 1, 2), 4u);
}

TEST(ScriptArgv, ShellScriptThenArgumentsThenNull) {
  const std::vector<std::vector<std::string>> rows = {{}, {"--quiet"}, {"a b", "$HOME", "*;|", "", "--"}};
  for (const auto& args : rows) {
    SCOPED_TRACE(args.size());
    const std::vector<char*> argv = script_argv(args);
    ASSERT_EQ(argv.size(), args.size() + 3);
    EXPECT_STREQ(argv[0], "sh");
    EXPECT_STREQ(argv[1], "./install.sh");
    for (std::size_t i = 0; i < args.size(); ++i) EXPECT_EQ(argv[i + 2], args[i].c_str());  // not copies
    EXPECT_EQ(argv.back(), nullptr);
  }
}

TEST(StartScript, ShellThatCannotBeExecuted) {
  testing::internal::CaptureStderr();
  const pid_t child = start_script({"a"}, {}, "/nonexistent/sh");
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot exec install.sh: No such file or directory\n");
}

TEST(RemoveDirectory, TreeWithLinksIsRemovedAndTargetsKept) {
  TempDir dir;
  const std::string tree = dir / "tree", outside = dir / "outside";
  for (const std::string& d : {tree, tree + "/sub", tree + "/sub/deeper", tree + "/empty", outside, outside + "/d"})
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
  write_file(tree + "/file", "f");
  write_file(tree + "/readonly", "r", 0444);
  write_file(tree + "/sub/deeper/file", "g");
  write_file(outside + "/target", "t");
  write_file(outside + "/d/inner", "i");
  ASSERT_EQ(symlink((outside + "/target").c_str(), (tree + "/to_file").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/d").c_str(), (tree + "/sub/to_dir").c_str()), 0);
  ASSERT_EQ(symlink("../outside/d", (tree + "/relative_to_dir").c_str()), 0);
  ASSERT_EQ(symlink((dir / "nothing").c_str(), (tree + "/dangling").c_str()), 0);

  testing::internal::CaptureStderr();
  EXPECT_EQ(remove_directory(tree.c_str(), open_directory(tree).get()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
  EXPECT_EQ(read_file(outside + "/target"), "t");
  EXPECT_EQ(read_file(outside + "/d/inner"), "i");

  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  EXPECT_EQ(remove_directory(tree.c_str(), open_directory(tree).get()), 0);
  EXPECT_FALSE(fs::exists(tree));
}

TEST(RemoveDirectory, MissingDirectory) {
  TempDir dir;
  const std::string gone = dir / "gone";
  ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
  const unique_fd opened = open_directory(gone);
  ASSERT_EQ(rmdir(gone.c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_NE(remove_directory(gone.c_str(), opened.get()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Directory `" + gone + "' has not been removed\n");
}

// Deeper than the descriptors the process may open: the walk holds a few
// and reopens each directory above as it climbs back, passing over every
// directory again until it finds it empty.
TEST(RemoveDirectory, TreeDeeperThanTheOpenDescriptors) {
  TempDir dir;
  const std::string tree = dir / "tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  int at = open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int depth = 0; depth < 300 && at >= 0; ++depth) {
    for (const char* name : {"a", "b", "c"}) ASSERT_EQ(mkdirat(at, name, 0755), 0);
    const int file = openat(at, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(file, 0);
    close(file);
    const int next = openat(at, "b", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(at);
    at = next;
  }
  ASSERT_GE(at, 0);
  close(at);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const unique_fd opened = open_directory(tree);
  rlimit few = saved;
  few.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
  testing::internal::CaptureStderr();
  const int result = remove_directory(tree.c_str(), opened.get());
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
}

TEST(PipeArchiveToTar, UnknownActionTouchesNothing) {
  TempDir dir;
  char bytes[] = "archive";
  FILE* package = fmemopen(bytes, sizeof bytes, "r");
  target_state target{true, true};
  testing::internal::CaptureStderr();
  EXPECT_EQ(pipe_archive_to_tar(package, 0, 3, "tar tvf -", (dir / "target").c_str(), &target), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown tar action\n");
  EXPECT_FALSE(target.created);
  EXPECT_FALSE(target.entered);
  EXPECT_FALSE(fs::exists(dir / "target"));
  fclose(package);
}

// The command reads the package itself from the archive offset to its end,
// at any offset (4097 lies inside a page); one that stops reading early is
// no failure, its exit status decides.
TEST(PipeArchiveToTar, CommandReadsThePackageFromTheOffset) {
  TempDir dir;
  std::string bytes;
  for (int i = 0; bytes.size() < 300000; ++i) bytes += std::to_string(i * 7919) + ",";
  const std::string got = dir / "got", to_got = " > '" + got + "'";
  write_file(dir / "package", bytes);
  const unique_file package = open_read(dir / "package");
  const uint64_t size = bytes.size();
  const struct {
    uint64_t offset;
    std::string command, want, err;
    int result;
  } rows[] = {
      {0, "cat" + to_got, bytes, "", 0},
      {4097, "cat" + to_got, bytes.substr(4097), "", 0},
      {size, "cat" + to_got, "", "", 0},
      {size + 9, "cat" + to_got, "", "", 0},
      {4097, "head -c 5" + to_got, bytes.substr(4097, 5), "", 0},
      {4097, "head -c 5" + to_got + "; exit 3", bytes.substr(4097, 5), "Close tar pipe error: Success\n", -1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command + " from " + std::to_string(row.offset));
    target_state target;
    testing::internal::CaptureStderr();
    EXPECT_EQ(pipe_archive_to_tar(package.get(), row.offset, TAR_CUSTOM, row.command.c_str(), "unused", &target),
              row.result);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), row.err);
    EXPECT_EQ(read_file(got), row.want);
  }
}

// Every host tar lists and unpacks an archive that starts inside a page of
// the package; bsdtar and busybox tar seek over the members they list,
// from wherever the shared offset stands.
TEST(PipeArchiveToTar, HostTarsReadAnArchiveInsideAPage) {
  TempDir dir;
  fs::create_directory(dir / "src");
  std::string big;
  for (int i = 0; big.size() < 200000; ++i) big += std::to_string(i) + "\n";
  write_file(dir / "src/big", big);
  write_file(dir / "src/small", "small\n");
  ASSERT_EQ(std::system(("tar -cf '" + dir / "a.tar" + "' -C '" + dir / "src" + "' big small").c_str()), 0);
  write_file(dir / "package", std::string(4097, 'p') + read_file(dir / "a.tar"));
  const unique_file package = open_read(dir / "package");
  for (const std::string tar : {"tar", "bsdtar", "busybox tar"}) {
    SCOPED_TRACE(tar);
    if (std::system(("command -v " + tar.substr(0, tar.find(' ')) + " >/dev/null").c_str()) != 0) {
      std::cout << "[ SKIPPED  ] " << tar << ": not installed\n";
      continue;
    }
    fs::remove_all(dir / "out");
    fs::create_directory(dir / "out");
    target_state target;
    const std::string list = tar + " -tf - > '" + dir / "list" + "'", unpack = tar + " -xf - -C '" + dir / "out" + "'";
    EXPECT_EQ(pipe_archive_to_tar(package.get(), 4097, TAR_CUSTOM, list.c_str(), "unused", &target), 0);
    EXPECT_EQ(read_file(dir / "list"), "big\nsmall\n");
    EXPECT_EQ(pipe_archive_to_tar(package.get(), 4097, TAR_CUSTOM, unpack.c_str(), "unused", &target), 0);
    EXPECT_EQ(read_file(dir / "out/big"), big);
    EXPECT_EQ(read_file(dir / "out/small"), "small\n");
  }
}

// 512 bytes, as the stream's first bytes are probed: start, then zeros, and
// "ustar" at 257 when asked; cut to length when that is shorter.
std::string probe(std::string_view start, bool ustar = false, std::size_t length = FORMAT_PROBE_SIZE) {
  // Copied rather than replaced in place: g++ -O3 sees phantom overruns in
  // an inlined std::string::replace.
  std::string head(FORMAT_PROBE_SIZE, '\0');
  std::memcpy(head.data(), start.data(), start.size());
  if (ustar) std::memcpy(head.data() + 257, "ustar", 5);
  head.resize(length);
  return head;
}

TEST(DetectFormat, MagicNumbersAndTheTarHeaderRule) {
  using namespace std::literals;
  const struct {
    const char* label;
    std::string head;
    archive_format want;
  } rows[] = {
      {"gzip", probe("\x1f\x8b\x08"), FORMAT_GZIP},
      {"gzip, 3 bytes only", probe("\x1f\x8b\x08", false, 3), FORMAT_GZIP},
      {"gzip magic, method not deflate", probe("\x1f\x8b\x07"), FORMAT_PLAIN},
      {"gzip magic cut short", probe("\x1f\x8b", false, 2), FORMAT_PLAIN},
      {"bzip2 with a block", probe("BZh91AY&SY"), FORMAT_BZIP2},
      {"bzip2 empty stream", probe("BZh1\x17\x72\x45\x38\x50\x90"), FORMAT_BZIP2},
      {"bzip2 block size 0", probe("BZh01AY&SY"), FORMAT_PLAIN},
      {"bzip2 header without block magic", probe("BZh9 plain text"), FORMAT_PLAIN},
      {"bzip2 block magic cut short", probe("BZh91AY&S", false, 9), FORMAT_PLAIN},
      {"xz", probe("\xfd\x37\x7a\x58\x5a\x00"sv), FORMAT_XZ},
      {"xz magic with a wrong last byte", probe("\xfd\x37\x7a\x58\x5a\x01"), FORMAT_PLAIN},
      {"zstd frame", probe("\x28\xb5\x2f\xfd"), FORMAT_ZSTD},
      {"zstd skippable frame 0x50", probe("\x50\x2a\x4d\x18", false, 4), FORMAT_ZSTD},
      {"zstd skippable frame 0x5f", probe("\x5f\x2a\x4d\x18"), FORMAT_ZSTD},
      {"0x4f is no skippable frame", probe("\x4f\x2a\x4d\x18"), FORMAT_PLAIN},
      {"0x60 is no skippable frame", probe("\x60\x2a\x4d\x18"), FORMAT_PLAIN},
      {"tar member named like bzip2", probe("BZh91AY&SY", true), FORMAT_PLAIN},
      {"gzip magic in a tar header", probe("\x1f\x8b\x08", true), FORMAT_PLAIN},
      {"tar header cut before its \"ustar\" ends", probe("\x1f\x8b\x08", true, 261), FORMAT_GZIP},
      {"tar", probe("install.sh", true), FORMAT_PLAIN},
      {"empty", "", FORMAT_PLAIN},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(detect_format(reinterpret_cast<const unsigned char*>(row.head.data()), row.head.size()), row.want);
  }
}

// A decoding run over bytes in memory, chunk bytes per read at most.
struct memory_io {
  std::string in;
  std::size_t at = 0;
  std::size_t chunk = 0;
  std::string out;
  bool stop_reading = false, stop_writing = false;
};

memory_io reading(std::string in, std::size_t chunk) {
  memory_io m;
  m.in = std::move(in);
  m.chunk = chunk;
  return m;
}

int decode_in_memory(archive_format format, memory_io& m) {
  const decode_io io{
      &m,
      [](void* context, unsigned char* buffer, std::size_t size) -> long {
        memory_io& m = *static_cast<memory_io*>(context);
        if (m.stop_reading) return -1;
        const std::size_t count = std::min({size, m.chunk, m.in.size() - m.at});
        std::memcpy(buffer, m.in.data() + m.at, count);
        m.at += count;
        return static_cast<long>(count);
      },
      [](void* context, const unsigned char* data, std::size_t size) {
        memory_io& m = *static_cast<memory_io*>(context);
        m.out.append(reinterpret_cast<const char*>(data), size);
        return m.stop_writing ? -1 : 0;
      },
  };
  return decode_archive(format, io);
}

// text compressed by the host's tool (a filter such as "gzip -c").
std::string compress(const std::string& filter, const std::string& text) {
  TempDir dir;
  write_file(dir / "in", text);
  EXPECT_EQ(system((filter + " < " + (dir / "in") + " > " + (dir / "out")).c_str()), 0);
  return read_file(dir / "out");
}

TEST(DecodeArchive, MembersAcrossEveryReadSizeAndStops) {
  const struct {
    archive_format format;
    const char* filter;
  } rows[] = {
      {FORMAT_GZIP, "gzip -c"},
      {FORMAT_BZIP2, "bzip2 -c"},
      {FORMAT_XZ, "xz -c"},
      // Blocks that record their sizes: liblzma decodes them on threads.
      {FORMAT_XZ, "xz -T2 --block-size=2 -c"},
      {FORMAT_ZSTD, "zstd -q -c"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.filter);
    const std::string two = compress(row.filter, "hello ") + compress(row.filter, "world\n");
    // One byte at a time puts every member's start across reads.
    for (std::size_t chunk : {std::size_t{1}, std::size_t{5}, std::size_t{1} << 20}) {
      memory_io m = reading(two, chunk);
      testing::internal::CaptureStderr();
      EXPECT_EQ(decode_in_memory(row.format, m), 0);
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
      EXPECT_EQ(m.out, "hello world\n");
    }
    // A stop from either end ends the run with no message of its own.
    memory_io read_stops = reading(two, 1);
    read_stops.stop_reading = true;
    memory_io write_stops = reading(two, 1);
    write_stops.stop_writing = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(decode_in_memory(row.format, read_stops), -1);
    EXPECT_EQ(decode_in_memory(row.format, write_stops), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    // Half a member, or bytes after the last one, read one at a time.
    for (const std::string& bad : {two.substr(0, two.size() - 3), two + "x", two + std::string(12, 'x')}) {
      memory_io m = reading(bad, 1);
      testing::internal::CaptureStderr();
      EXPECT_EQ(decode_in_memory(row.format, m), -1);
      const std::string err = testing::internal::GetCapturedStderr();
      EXPECT_EQ(err.rfind(std::string("Decompression error (") + format_name(row.format) + "): ", 0), 0u) << err;
      EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
  }
  memory_io plain = reading("any bytes", 2);
  EXPECT_EQ(decode_in_memory(FORMAT_PLAIN, plain), 0);
  EXPECT_EQ(plain.out, "any bytes");
}

// What unpacked_size reads from a package whose archive starts after 100
// bytes of stub: a size it can stand by, or none.
TEST(UnpackedSize, ReadFromTheIndexesHeadersAndTrailersOrNotAtAll) {
  const std::string hello = "hello ", world = "world\n";
  const auto zstd_sized = [](const std::string& text) {
    return compress("zstd -q -c --stream-size=" + std::to_string(text.size()), text);
  };
  const std::string xz_two = compress("xz -c", hello) + std::string(8, '\0') + compress("xz -c", world);
  const std::string skippable("\x50\x2a\x4d\x18\x03\x00\x00\x00" "abc", 11);
  const std::string gzip_big = compress("gzip -c", std::string(100000, 'x'));
  const struct {
    const char* label;
    std::string archive;
    int known;
    uint64_t size;
  } rows[] = {
      {"plain: its length", "any bytes", 1, 9},
      {"xz, two streams with padding", xz_two + std::string(4, '\0'), 1, 12},
      {"xz, many blocks", compress("xz -T2 --block-size=2 -c", hello + world), 1, 12},
      {"xz, padding not in words", xz_two + std::string(3, '\0'), 0, 0},
      {"xz, bytes after the last stream", xz_two + "garbage!", 0, 0},
      {"xz, a block shorter than its index says", xz_two.substr(0, 12) + xz_two.substr(16), 0, 0},
      {"xz, an index byte flipped", xz_two.substr(0, xz_two.size() - 14) + "\x01" + xz_two.substr(xz_two.size() - 13),
       0, 0},
      {"zstd, frames and skippable frames", skippable + zstd_sized(hello) + skippable + zstd_sized(world), 1, 12},
      {"zstd, RLE and raw blocks", zstd_sized(std::string(300000, 'z')) + zstd_sized(hello), 1, 300006},
      {"zstd, a frame without its size", zstd_sized(hello) + compress("zstd -q -c", world), 0, 0},
      {"zstd, cut short", zstd_sized(std::string(300000, 'z')).substr(0, 20), 0, 0},
      {"zstd, bytes after the last frame", zstd_sized(hello) + "garbage!", 0, 0},
      {"gzip, one member", gzip_big, 1, 100000},
      // Only the last member's size: less than the whole, never more.
      {"gzip, two members", compress("gzip -c", hello) + compress("gzip -c", world), 1, 6},
      {"bzip2 records no size", compress("bzip2 -c", hello), 0, 0},
  };
  TempDir dir;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    write_file(dir / "package", std::string(100, 's') + row.archive);
    const int fd = open((dir / "package").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    uint64_t size = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(unpacked_size(fd, 100, &size), row.known);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    if (row.known == 1) {
      EXPECT_EQ(size, row.size);
    }
    close(fd);
  }
}

}  // namespace

