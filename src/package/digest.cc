#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

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


int verify_archive(FILE* package, uint64_t archive_offset, const unsigned char stored[DIGEST_BYTES],
                   progress_meter* meter) {
  if (archive_offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = EINVAL;
    perror("Seek to tar error");
    return -1;
  }
  const int fd = fileno(package);
  off_t offset = static_cast<off_t>(archive_offset);
  // A stream with no descriptor of its own (one in memory, unsigned) is
  // read through stdio instead.
  if (fd < 0) {
    if (seek_package(package, archive_offset) != 0) {
      perror("Seek to tar error");
      return -1;
    }
    unsigned char computed[DIGEST_BYTES];
    if (md5_stream(package, computed) != 0) return -1;
    return std::memcmp(stored, computed, DIGEST_BYTES);
  }
  // The archive is read in large blocks straight from the file, bypassing
  // the stream's buffer: one system call per block, and no copy through
  // stdio. The block is the heap's, so its memory goes back to the system
  // before a decoder needs its own.
  const std::unique_ptr<unsigned char[]> verify_block(new unsigned char[VERIFY_BLOCK_SIZE]);
  hash_state state;
  md5_init(&state);
  for (;;) {
    const ssize_t got = pread(fd, verify_block.get(), VERIFY_BLOCK_SIZE, offset);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      fputs("Read file error\n", stderr);
      return -1;
    }
    md5_process(&state, verify_block.get(), static_cast<unsigned long>(got));
    offset += got;
    progress_advance(meter, static_cast<uint64_t>(got));
  }
  unsigned char computed[DIGEST_BYTES];
  md5_done(&state, computed);
  return std::memcmp(stored, computed, DIGEST_BYTES);
}
