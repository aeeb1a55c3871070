#include <sys/types.h>

#include <cerrno>
#include <cstring>

#include <tomcrypt.h>

#include "package/package.h"

int md5_stream(FILE* stream, unsigned char digest[DIGEST_BYTES]) {
  hash_state state;
  unsigned char block[COPY_BLOCK_SIZE];
  md5_init(&state);
  while (!feof(stream)) {
    const std::size_t got = fread(block, 1, COPY_BLOCK_SIZE, stream);
    if (got == 0 && feof(stream)) break;
    if (got < COPY_BLOCK_SIZE && ferror(stream)) {
      fputs("Read file error\n", stderr);
      return -1;
    }
    md5_process(&state, block, got);
  }
  md5_done(&state, digest);
  return 0;
}

int verify_archive(FILE* package, uint64_t archive_offset, const unsigned char stored[DIGEST_BYTES]) {
  if (seek_package(package, archive_offset) != 0) {
    perror("Seek to tar error");
    return -1;
  }
  unsigned char computed[DIGEST_BYTES];
  if (md5_stream(package, computed) != 0) return -1;
  return std::memcmp(stored, computed, DIGEST_BYTES);
}
