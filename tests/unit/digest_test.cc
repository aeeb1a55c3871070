// The archive digest, the integrity check and the package header fields.
#include <cstdint>
#include <cstring>

#include "package/package.h"
#include "support.h"

namespace {

using namespace test_support;

// Deterministic content whose digests were computed independently.
std::string content(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 31 + (i >> 8)) & 0xFF);
  return bytes;
}

std::string hex(const unsigned char* digest) {
  char text[2 * DIGEST_BYTES + 1];
  for (std::size_t i = 0; i < DIGEST_BYTES; ++i) snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return text;
}

TEST(Md5Stream, KnownDigestsAroundTheBlockSize) {
  const std::pair<std::size_t, const char*> rows[] = {
      {0, "d41d8cd98f00b204e9800998ecf8427e"},       {1, "93b885adfe0da089cdf634904fd59f71"},
      {4095, "2bbeb14158b123e112712fc5bd3d24e1"},    {4096, "62ce1cf4517d3474a468c562228e1e47"},
      {4097, "b8e9c1ba0f64b436bedda631f7d99663"},    {8192, "4d61c24669c42de75a5b5e916fae97d8"},
      {1050624, "9345649a14fca4cecb264d9440fe337d"},  // 256 blocks and a half
  };
  TempDir dir;
  for (const auto& [size, expected] : rows) {
    SCOPED_TRACE(size);
    write_file(dir / "data", content(size));
    unique_file f = open_read(dir / "data");
    unsigned char digest[DIGEST_BYTES];
    testing::internal::CaptureStderr();
    EXPECT_EQ(md5_stream(f.get(), digest), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(hex(digest), expected);
  }
}

TEST(Md5Stream, ReadErrorIsReported) {
  // Reading a directory stream fails at once.
  TempDir dir;
  unsigned char digest[DIGEST_BYTES];
  unique_file d = open_read(dir.path());
  ASSERT_NE(d, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(md5_stream(d.get(), digest), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Read file error\n");
}

TEST(VerifyArchive, OnlyTheExactArchiveMatches) {
  TempDir dir;
  const std::string stub(300, 'S'), header(PACKAGE_HEADER_SIZE, 'H'), archive = content(10000);
  unsigned char digest[DIGEST_BYTES];
  write_file(dir / "a", archive);
  ASSERT_EQ(md5_stream(open_read(dir / "a").get(), digest), 0);
  std::string changed = archive;
  changed[5000] ^= 1;
  const uint64_t offset = stub.size() + PACKAGE_HEADER_SIZE;
  const struct {
    const char* what;
    std::string archive;
    int flip;  // a byte of the stored digest to change, or -1
    bool matches;
  } rows[] = {
      {"unchanged", archive, -1, true},
      {"one byte changed", changed, -1, false},
      {"truncated", archive.substr(0, archive.size() - 1), -1, false},
      {"extended", archive + "x", -1, false},
      {"empty", "", -1, false},
      {"stored digest, first byte", archive, 0, false},
      {"stored digest, last byte", archive, static_cast<int>(DIGEST_BYTES) - 1, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    unsigned char stored[DIGEST_BYTES];
    std::memcpy(stored, digest, DIGEST_BYTES);
    if (r.flip >= 0) stored[r.flip] ^= 0x80;
    write_file(dir / "pkg", stub + header + r.archive);
    testing::internal::CaptureStderr();
    const int result = verify_archive(open_read(dir / "pkg").get(), offset, stored);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(result == 0, r.matches);
  }

  // An empty archive verifies against the digest of nothing.
  const unsigned char empty[DIGEST_BYTES] = {0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04,
                                             0xe9, 0x80, 0x09, 0x98, 0xec, 0xf8, 0x42, 0x7e};
  write_file(dir / "pkg", stub + header);
  unique_file f = open_read(dir / "pkg");
  EXPECT_EQ(verify_archive(f.get(), offset, empty), 0);

  testing::internal::CaptureStderr();
  EXPECT_EQ(verify_archive(f.get(), UINT64_MAX, empty), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Seek to tar error: Invalid argument\n");
}

TEST(PackageHeader, SizeInKb) {
  const std::pair<uint64_t, uint64_t> rows[] = {
      {0, 0}, {1, 1}, {1023, 1}, {1024, 1}, {1025, 2}, {21903360, 21390},
      {0xFFFFFFFFull, 0x400000}, {0x100000000ull, 0x400000}, {0x100000001ull, 0x400001},
      {UINT64_MAX - 1023, 0x3FFFFFFFFFFFFF},
      // n + 1023 is computed modulo 2^64: the largest counts wrap to small ones.
      {UINT64_MAX - 1022, 0}, {UINT64_MAX, 0},
  };
  for (const auto& [bytes, kb] : rows) {
    SCOPED_TRACE(bytes);
    EXPECT_EQ(size_in_kb(bytes), kb);
  }
}

TEST(PackageHeader, ArchiveSizeIsLittleEndian) {
  const std::pair<uint64_t, std::vector<unsigned char>> rows[] = {
      {21903360, {0x00, 0x38, 0x4e, 0x01, 0, 0, 0, 0}},
      {0x0102030405060708ull, {8, 7, 6, 5, 4, 3, 2, 1}},
      {UINT64_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& [value, bytes] : rows) {
    SCOPED_TRACE(value);
    unsigned char out[ARCHIVE_SIZE_BYTES + 1];
    out[ARCHIVE_SIZE_BYTES] = 0xAA;
    encode_archive_size(value, out);
    EXPECT_EQ(std::vector<unsigned char>(out, out + ARCHIVE_SIZE_BYTES), bytes);
    EXPECT_EQ(out[ARCHIVE_SIZE_BYTES], 0xAA);  // nothing written past the field
    EXPECT_EQ(decode_archive_size(bytes.data()), value);
  }
}

TEST(PackageHeader, ReadAtEveryShortLength) {
  TempDir dir;
  const std::string stub(50, 'S');
  std::string header;
  for (int i = 0; i < 24; ++i) header += static_cast<char>(i + 1);
  for (std::size_t present = 0; present <= PACKAGE_HEADER_SIZE; ++present) {
    SCOPED_TRACE(present);
    write_file(dir / "pkg", stub + header.substr(0, present));
    unique_file f = open_read(dir / "pkg");
    package_header read{};
    testing::internal::CaptureStderr();
    const int result = read_package_header(f.get(), stub.size(), &read);
    const std::string err = testing::internal::GetCapturedStderr();
    if (present < ARCHIVE_SIZE_BYTES) {
      EXPECT_EQ(result, -1);
      EXPECT_EQ(err, "Archive size read error\n");
    } else if (present < PACKAGE_HEADER_SIZE) {
      EXPECT_EQ(result, -1);
      EXPECT_EQ(err, "Archive checksum read error\n");
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(err, "");
      EXPECT_EQ(read.archive_size, 0x0807060504030201u);
      for (std::size_t i = 0; i < DIGEST_BYTES; ++i) EXPECT_EQ(read.digest[i], i + 9);
    }
  }
  // Past the end of the file, or beyond any offset a file can have.
  unique_file f = open_read(dir / "pkg");
  package_header read{};
  for (uint64_t at : {uint64_t{1000}, UINT64_MAX}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_package_header(f.get(), at, &read), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Archive size read error\n");
  }
}

}  // namespace
