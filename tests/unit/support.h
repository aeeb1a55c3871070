// Small helpers shared by the unit tests: temporary directories, whole-file
// I/O, mutable argument vectors and regex escaping for death-test output.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace test_support {

namespace fs = std::filesystem;

// A fresh directory, removed with everything in it.
class TempDir {
 public:
  TempDir() : path_(fs::temp_directory_path() / "quarnel-unit-XXXXXX") {
    if (mkdtemp(path_.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  chmod(path.c_str(), mode);
}

inline std::string read_file(const std::string& path) {
  std::ostringstream all;
  all << std::ifstream(path, std::ios::binary).rdbuf();
  return all.str();
}

struct file_closer {
  void operator()(FILE* f) const { fclose(f); }
};
using unique_file = std::unique_ptr<FILE, file_closer>;
inline unique_file open_read(const std::string& path) { return unique_file(fopen(path.c_str(), "rb")); }

// An argv as main() receives it: writable strings and a null terminator.
class Argv {
 public:
  explicit Argv(std::vector<std::string> words) : words_(std::move(words)) {
    for (std::string& word : words_) pointers_.push_back(word.data());
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(words_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

// An anchored POSIX extended regex matching text exactly, for EXPECT_EXIT.
inline std::string exactly(const std::string& text) {
  std::string out = "^";
  for (char c : text) {
    if (std::string_view(".[]{}()\\*+?^$|").find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out + "$";
}

}  // namespace test_support
