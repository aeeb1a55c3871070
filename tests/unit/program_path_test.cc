// Locating the program's own file from argv[0] and PATH, and its name.
#include <unistd.h>

#include <optional>

#include "self/self.h"
#include "support.h"

namespace {

using namespace test_support;

// Each test gets a scratch directory as working directory and its own PATH;
// both are restored afterwards.
class ProgramPath : public testing::Test {
 protected:
  void SetUp() override {
    const char* path = getenv("PATH");
    if (path) saved_path_ = path;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    saved_cwd_ = cwd;
    ASSERT_EQ(mkdir((dir_ / "a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir_ / "b").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir_ / "cwd").c_str(), 0755), 0);
    ASSERT_EQ(chdir((dir_ / "cwd").c_str()), 0);
  }
  void TearDown() override {
    if (saved_path_) setenv("PATH", saved_path_->c_str(), 1);
    else unsetenv("PATH");
    EXPECT_EQ(chdir(saved_cwd_.c_str()), 0);
  }
  void program_in(const std::string& sub) { write_file(dir_ / (sub + "/setup.run"), "#!\n", 0755); }
  void set_path(const std::optional<std::string>& value) {
    if (value) setenv("PATH", value->c_str(), 1);
    else unsetenv("PATH");
  }
  // The result, or "<none>", and the messages.
  std::pair<std::string, std::string> find(const std::string& argv0) {
    testing::internal::CaptureStderr();
    const auto found = find_program_path(argv0.c_str());
    return {found ? *found : "<none>", testing::internal::GetCapturedStderr()};
  }

  TempDir dir_;
  std::optional<std::string> saved_path_;
  std::string saved_cwd_;
};

TEST_F(ProgramPath, SearchTable) {
  const std::string a = dir_ / "a", b = dir_ / "b";
  const std::string missing = "Cannot find setup.run executable\n";
  const struct {
    const char* what;
    std::vector<std::string> holders;  // "a", "b", "cwd"
    std::optional<std::string> path;
    std::string argv0;
    std::string result, err;
  } rows[] = {
      {"slash, PATH unset", {"a"}, std::nullopt, a + "/setup.run", a + "/setup.run", ""},
      {"relative slash", {"cwd"}, "/nonexistent", "./setup.run", "./setup.run", ""},
      {"slash, missing", {}, a, a + "/setup.run", "<none>", "Cannot find " + a + "/setup.run executable\n"},
      {"last entry", {"b"}, a + ":" + b, "setup.run", b + "/setup.run", ""},
      {"first match wins", {"a", "b"}, a + ":" + b, "setup.run", a + "/setup.run", ""},
      {"nowhere", {"cwd"}, a + ":" + b, "setup.run", "<none>", missing},
      {"PATH unset, file in cwd", {"cwd"}, std::nullopt, "setup.run", "<none>", "Cannot find PATH env\n"},
      {"empty PATH", {"cwd"}, "", "setup.run", "setup.run", ""},
      {"empty PATH, missing", {}, "", "setup.run", "<none>", missing},
      {"leading empty entry", {"cwd", "a"}, ":" + a, "setup.run", "setup.run", ""},
      {"middle empty entry", {"cwd", "b"}, a + "::" + b, "setup.run", "setup.run", ""},
      {"middle empty entry, earlier match", {"cwd", "a"}, a + "::" + b, "setup.run", a + "/setup.run", ""},
      {"trailing empty entry", {"cwd"}, a + ":", "setup.run", "setup.run", ""},
      {"trailing empty entry, missing", {}, a + ":", "setup.run", "<none>", missing},
      {"only colons", {"cwd"}, ":::", "setup.run", "setup.run", ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    for (const char* sub : {"a", "b", "cwd"}) unlink((dir_ / (std::string(sub) + "/setup.run")).c_str());
    for (const std::string& sub : r.holders) program_in(sub);
    set_path(r.path);
    EXPECT_EQ(find(r.argv0), std::make_pair(r.result, r.err));
  }
}

TEST_F(ProgramPath, LengthBoundaries) {
  program_in("a");
  const std::string a = dir_ / "a";
  // Extra slashes pad a path to any length without changing what it names.
  auto padded = [&](std::size_t length, const std::string& tail) {
    return a + std::string(length - a.size() - tail.size(), '/') + tail;
  };
  unsetenv("PATH");
  const std::string name1023 = padded(1023, "/setup.run");
  EXPECT_EQ(find(name1023), std::make_pair(name1023, std::string()));
  const std::string name1024 = padded(1024, "/setup.run");
  EXPECT_EQ(find(name1024), std::make_pair(std::string("<none>"), "Too long program name " + name1024 + "\n"));

  // An entry of 1013 bytes with the 9 of setup.run makes 1022 and fits.
  const std::string entry1013 = padded(1013, ""), entry1014 = padded(1014, "");
  const struct {
    std::string path, result, err;
  } rows[] = {
      {entry1013, entry1013 + "/setup.run", ""},
      {entry1013 + ":/nonexistent", entry1013 + "/setup.run", ""},
      {entry1014, "<none>", "Too long PATH " + entry1014 + "\n"},
      {entry1014 + ":" + a, "<none>", "Too big PATH " + entry1014 + ":" + a + "\n"},
      {"/nonexistent:" + entry1014, "<none>", "Too long PATH /nonexistent:" + entry1014 + "\n"},
      // A match ends the scan before the over-long entry is measured.
      {a + ":" + entry1014, a + "/setup.run", ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.path.substr(r.path.size() - 20));
    set_path(r.path);
    EXPECT_EQ(find("setup.run"), std::make_pair(r.result, r.err));
  }
}

TEST(JoinPath, ComposesFromAPieceOfPath) {
  char buffer[PATH_BUFFER_SIZE];
  join_path(buffer, "/usr/bin:/bin", "sh", 8);
  EXPECT_STREQ(buffer, "/usr/bin/sh");
  join_path(buffer, ":/bin", "setup.run", 0);
  EXPECT_STREQ(buffer, "setup.run");
}

TEST(ProgramName, Basename) {
  const std::pair<const char*, const char*> rows[] = {
      {"/opt/pkg/setup.run", "setup.run"}, {"setup.run", "setup.run"}, {"pkg/setup.run/", "setup.run"},
      {"pkg//setup.run//", "setup.run"},   {"///", "/"},                 {"", "."},
  };
  for (const auto& [argv0, expected] : rows) {
    SCOPED_TRACE(argv0);
    std::string input = argv0;
    const auto name = get_program_name(input.c_str());
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(*name, expected);
    EXPECT_EQ(input, argv0);  // argv0 itself is left alone
  }
}

}  // namespace
