// Calls one function of each static library the stub links and prints
// what it returns: built for another architecture and run there (or under
// qemu), it shows that the libraries of that architecture link and run.
#include <bzlib.h>
#include <lzma.h>
#include <sodium.h>
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
  unsigned char sha512[crypto_hash_sha512_BYTES];
  crypto_hash_sha512(sha512, nullptr, 0);
  // The SHA-512 digest of empty input begins cf 83.
  std::printf("tomcrypt md5 %02x%02x, sodium sha512 %02x%02x, zlib %s, bzip2 %s, xz %s, zstd %u\n", digest[0],
              digest[1], sha512[0], sha512[1], zlibVersion(), BZ2_bzlibVersion(), lzma_version_string(),
              ZSTD_versionNumber());
  return digest[0] == 0xd4 && digest[1] == 0x1d && sha512[0] == 0xcf && sha512[1] == 0x83 ? 0 : 1;
}
