#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <limits>

#include "package/package.h"

void encode_archive_size(uint64_t value, unsigned char* out) {
  for (std::size_t i = 0; i < ARCHIVE_SIZE_BYTES; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t decode_archive_size(const unsigned char* in) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < ARCHIVE_SIZE_BYTES; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
  return value;
}

int seek_package(FILE* package, uint64_t offset) {
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = EINVAL;
    return -1;
  }
  return fseeko(package, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : -1;
}

int read_package_header(FILE* package, uint64_t image_end, package_header* header) {
  unsigned char size[ARCHIVE_SIZE_BYTES];
  // A position that cannot be reached cannot be read from either: both
  // come out as the size read failing.
  if (seek_package(package, image_end) != 0 ||
      fread(size, 1, ARCHIVE_SIZE_BYTES, package) < ARCHIVE_SIZE_BYTES) {
    fputs("Archive size read error\n", stderr);
    return -1;
  }
  if (fread(header->digest, 1, DIGEST_BYTES, package) < DIGEST_BYTES) {
    fputs("Archive checksum read error\n", stderr);
    return -1;
  }
  header->archive_size = decode_archive_size(size);
  return 0;
}

uint64_t archive_length(FILE* package, uint64_t archive_offset) {
  struct stat status {};
  if (fstat(fileno(package), &status) != 0 || static_cast<uint64_t>(status.st_size) <= archive_offset) return 0;
  return static_cast<uint64_t>(status.st_size) - archive_offset;
}
