// The package layout written out by hand, for e2e tests that
// compare packages byte for byte.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "harness.h"

namespace e2e {

/// value as the 8-byte little-endian archive size field.
inline std::string le64(uint64_t value) {
  std::string bytes(8, '\0');
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

/// What the builder must write for a tar file holding tar_bytes.
inline std::string expected_package(const std::string& tar_bytes) {
  return read_file(stub_path()) + le64(tar_bytes.size()) + unhex(md5_hex(tar_bytes)) + tar_bytes;
}

/// Compares a package file with the layout without printing megabytes on failure.
#define EXPECT_PACKAGE(package_path, tar_bytes)                                    \
  do {                                                                             \
    const std::string got_ = ::e2e::read_file(package_path);                       \
    const std::string want_ = ::e2e::expected_package(tar_bytes);                  \
    EXPECT_EQ(got_.size(), want_.size()) << package_path;                          \
    EXPECT_TRUE(got_ == want_) << package_path << " differs from the layout";     \
  } while (0)

/// Permission bits of path (following links), or -1 when it is missing.
inline int file_mode(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

/// A copy of the stub under test at path, mode 0755.
inline void copy_stub(const std::string& path) {
  std::filesystem::copy_file(stub_path(), path, std::filesystem::copy_options::overwrite_existing);
  chmod(path.c_str(), 0755);
}

/// Deterministic, quickly made bytes that are not all alike.
inline std::string pattern_bytes(std::size_t size, uint32_t seed = 1) {
  std::string bytes(size, '\0');
  uint32_t x = seed;
  for (auto& c : bytes) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

}  // namespace e2e
