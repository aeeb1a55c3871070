// Prompts, the script's argument vector and launch, and the removal of the
// extraction directory.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "extract/extract.h"
#include "support.h"

namespace {

using namespace test_support;

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
  EXPECT_EQ(remove_directory(tree.c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
  EXPECT_EQ(read_file(outside + "/target"), "t");
  EXPECT_EQ(read_file(outside + "/d/inner"), "i");

  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  EXPECT_EQ(remove_directory(tree.c_str()), 0);
  EXPECT_FALSE(fs::exists(tree));
}

TEST(RemoveDirectory, MissingDirectory) {
  TempDir dir;
  const std::string gone = dir / "gone";
  testing::internal::CaptureStderr();
  EXPECT_NE(remove_directory(gone.c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Directory `" + gone + "' has not been removed\n");
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

// Both ways into the pipe deliver the same bytes from any offset, and a
// reader that leaves ends the copy with COPY_READER_GONE, not SIGPIPE.
TEST(CopyToPipe, SpliceAndPortableAgree) {
  TempDir dir;
  std::string bytes;
  for (int i = 0; bytes.size() < 300000; ++i) bytes += std::to_string(i * 7919) + ",";
  const std::string file = dir / "package";
  write_file(file, bytes);
  const int in = open(file.c_str(), O_RDONLY);
  ASSERT_GE(in, 0);
  catch_broken_pipe();
  for (const copy_method method : {COPY_SPLICE, COPY_PORTABLE}) {
    for (const uint64_t offset : {uint64_t{0}, uint64_t{4097}, uint64_t{bytes.size()}, uint64_t{bytes.size() + 9}}) {
      SCOPED_TRACE(std::to_string(method) + " from " + std::to_string(offset));
      int ends[2];
      ASSERT_EQ(pipe(ends), 0);
      std::string got;
      std::thread reader([&] {
        char block[8192];
        for (ssize_t n; (n = read(ends[0], block, sizeof block)) > 0;) got.append(block, static_cast<std::size_t>(n));
      });
      EXPECT_EQ(copy_to_pipe(in, offset, ends[1], method, nullptr), COPY_DONE);
      close(ends[1]);
      reader.join();
      close(ends[0]);
      EXPECT_EQ(got, offset < bytes.size() ? bytes.substr(offset) : "");
    }
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    EXPECT_EQ(copy_to_pipe(in, 0, ends[1], method, nullptr), COPY_READER_GONE);
    close(ends[1]);
  }
  close(in);
}

}  // namespace
