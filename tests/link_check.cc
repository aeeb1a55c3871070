// Calls one function of each static library the stub links and prints
// what it returns: built for another architecture and run there (or under
// qemu), it shows that the libraries of that architecture link and run.
#include <bzlib.h>
#include <lzma.h>
#include <tomcrypt.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdio>

int main() {
  hash_state md5;
  unsigned char digest[16];
  md5_init(&md5);
  md5_done(&md5, digest);
  // The MD5 digest of empty input begins d4 1d.
  std::printf("tomcrypt md5 %02x%02x, zlib %s, bzip2 %s, xz %s, zstd %u\n", digest[0], digest[1], zlibVersion(),
              BZ2_bzlibVersion(), lzma_version_string(), ZSTD_versionNumber());
  return digest[0] == 0xd4 && digest[1] == 0x1d ? 0 : 1;
}
