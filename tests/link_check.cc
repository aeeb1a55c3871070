// Calls one function of each static library the stub links and prints
// what it returns: built for another architecture and run there (or under
// qemu), it shows that the libraries of that architecture link and run.
// With --machine it prints only the machine it is told it runs on: an
// i386 program sees x86_64 when an amd64 kernel runs it, and i686 under
// qemu-i386, so scripts/matrix asks it how the stub will run.
#include <bzlib.h>
#include <gmp.h>
#include <lzma.h>
#include <tomcrypt.h>
#include <zlib.h>
#include <zstd.h>
// After tomcrypt.h: Nettle's macros rename functions that tomcrypt declares too.
#include <nettle/eddsa.h>
#include <nettle/sha2.h>
#include <nettle/version.h>

#include <sys/utsname.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--machine") == 0) {
    utsname names;
    if (uname(&names) != 0) return 1;
    std::puts(names.machine);
    return 0;
  }
  hash_state md5;
  unsigned char digest[16];
  md5_init(&md5);
  md5_done(&md5, digest);
  // The MD5 digest of empty input begins d4 1d.
  sha256_ctx sha;
  unsigned char sha256[SHA256_DIGEST_SIZE];
  sha256_init(&sha);
  sha256_digest(&sha, sizeof sha256, sha256);
  // The SHA-256 digest of empty input begins e3 b0 (through Nettle's choice
  // of code for this CPU).
  // Ed25519's public key of RFC 8032's first test key begins d7 5a: hogweed's
  // curve arithmetic over GMP.
  const unsigned char secret[ED25519_KEY_SIZE] = {0x9d, 0x61, 0xb1, 0x9d, 0xef, 0xfd, 0x5a, 0x60, 0xba, 0x84, 0x4a,
                                                  0xf4, 0x92, 0xec, 0x2c, 0xc4, 0x44, 0x49, 0xc5, 0x69, 0x7b, 0x32,
                                                  0x69, 0x19, 0x70, 0x3b, 0xac, 0x03, 0x1c, 0xae, 0x7f, 0x60};
  unsigned char ed25519[ED25519_KEY_SIZE];
  ed25519_sha512_public_key(ed25519, secret);
  std::printf("tomcrypt md5 %02x%02x, nettle %d.%d sha256 %02x%02x ed25519 %02x%02x, gmp %s, zlib %s, bzip2 %s, "
              "xz %s, zstd %u\n",
              digest[0], digest[1], nettle_version_major(), nettle_version_minor(), sha256[0], sha256[1], ed25519[0],
              ed25519[1], gmp_version, zlibVersion(), BZ2_bzlibVersion(), lzma_version_string(), ZSTD_versionNumber());
  return digest[0] == 0xd4 && digest[1] == 0x1d && sha256[0] == 0xe3 && sha256[1] == 0xb0 && ed25519[0] == 0xd7 &&
                 ed25519[1] == 0x5a
             ? 0
             : 1;
}
