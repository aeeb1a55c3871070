// The space check before an extraction: what the archive unpacks to,
// read from the package without decoding it, against the free space where
// the extraction directory goes.
//
// Every size read here is a hint. Whatever cannot be read or does not
// parse leaves the size unknown and the check undone: the decoder, which
// runs next, is the one that judges the archive.
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <lzma.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "extract/extract.h"

namespace {

// An index of more records than fit in this is not read (xz -lvv has a
// limit of its own too); it would take millions of blocks.
constexpr uint64_t INDEX_MEMORY_LIMIT = uint64_t{64} << 20;
constexpr std::size_t READ_SIZE = 4096;
// A zstd block header: the last-block flag, the type and the size, in 3
// little-endian bytes (RFC 8878, 3.1.1.2).
constexpr std::size_t ZSTD_BLOCK_HEADER_SIZE = 3;

// Reads exactly size bytes at offset. Returns whether it could.
bool read_at(int fd, uint64_t offset, unsigned char* buffer, std::size_t size) {
  while (size > 0) {
    const ssize_t got = pread(fd, buffer, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    buffer += got;
    offset += static_cast<uint64_t>(got);
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool add(uint64_t* total, uint64_t more) { return !__builtin_add_overflow(*total, more, total); }

// Moves *at back over the stream padding (zero words) that may follow an xz
// stream; start..*at holds whole words.
bool skip_xz_padding(int fd, uint64_t start, uint64_t* at) {
  unsigned char block[READ_SIZE];
  while (*at > start) {
    const std::size_t size = static_cast<std::size_t>(std::min<uint64_t>(sizeof block, *at - start));
    if (!read_at(fd, *at - size, block, size)) return false;
    for (std::size_t end = size; end > 0; end -= 4) {
      if ((block[end - 1] | block[end - 2] | block[end - 3] | block[end - 4]) != 0) return true;
      *at -= 4;
    }
  }
  return true;
}

// The index of the xz stream whose footer ends at end. Returns it (the
// caller frees it with lzma_index_end), or null.
lzma_index* read_xz_index(int fd, uint64_t start, uint64_t end, lzma_stream_flags* footer) {
  unsigned char block[READ_SIZE];
  if (end - start < 2 * LZMA_STREAM_HEADER_SIZE ||
      !read_at(fd, end - LZMA_STREAM_HEADER_SIZE, block, LZMA_STREAM_HEADER_SIZE) ||
      lzma_stream_footer_decode(footer, block) != LZMA_OK ||
      footer->backward_size > end - start - 2 * LZMA_STREAM_HEADER_SIZE)
    return nullptr;
  uint64_t at = end - LZMA_STREAM_HEADER_SIZE - footer->backward_size;
  const uint64_t index_end = end - LZMA_STREAM_HEADER_SIZE;
  lzma_index* index = nullptr;
  lzma_stream decoder = LZMA_STREAM_INIT;
  if (lzma_index_decoder(&decoder, &index, INDEX_MEMORY_LIMIT) != LZMA_OK) return nullptr;
  lzma_ret status = LZMA_OK;
  while (status == LZMA_OK && at < index_end) {
    const std::size_t size = static_cast<std::size_t>(std::min<uint64_t>(sizeof block, index_end - at));
    if (!read_at(fd, at, block, size)) break;
    at += size;
    decoder.next_in = block;
    decoder.avail_in = size;
    status = lzma_code(&decoder, LZMA_RUN);
  }
  // The index must end exactly where the footer says.
  const bool whole = status == LZMA_STREAM_END && decoder.avail_in == 0 && at == index_end;
  lzma_end(&decoder);
  if (whole) return index;
  if (status == LZMA_STREAM_END) lzma_index_end(index, nullptr);
  return nullptr;
}

// xz: the uncompressed sizes that the indexes record, walking the streams
// from the last back to the first, each found from its footer.
bool xz_size(int fd, uint64_t start, uint64_t end, uint64_t* total) {
  if ((end - start) % 4 != 0) return false;
  uint64_t at = end;
  while (at > start) {
    lzma_stream_flags footer, header;
    lzma_index* index = nullptr;
    if (!skip_xz_padding(fd, start, &at) || (index = read_xz_index(fd, start, at, &footer)) == nullptr) return false;
    const uint64_t stream_size = lzma_index_stream_size(index);
    const uint64_t size = lzma_index_uncompressed_size(index);
    lzma_index_end(index, nullptr);
    unsigned char bytes[LZMA_STREAM_HEADER_SIZE];
    if (stream_size > at - start || !read_at(fd, at - stream_size, bytes, sizeof bytes) ||
        lzma_stream_header_decode(&header, bytes) != LZMA_OK ||
        lzma_stream_flags_compare(&header, &footer) != LZMA_OK || !add(total, size))
      return false;
    at -= stream_size;
  }
  return true;
}

// zstd: the content sizes that the frame headers record, when every frame
// records one (skippable frames hold none). libzstd finds a frame's end
// only in a buffer holding the whole frame, which can be the whole archive,
// so the blocks are stepped over here: a 3-byte header each (last-block
// flag, type, size), then size bytes, or one for a repeated byte (RLE).
bool zstd_size(int fd, uint64_t start, uint64_t end, uint64_t* total) {
  uint64_t at = start;
  while (at < end) {
    unsigned char head[ZSTD_FRAMEHEADERSIZE_MAX];
    const std::size_t size = static_cast<std::size_t>(std::min<uint64_t>(sizeof head, end - at));
    ZSTD_frameHeader frame{};
    if (!read_at(fd, at, head, size) || ZSTD_getFrameHeader(&frame, head, size) != 0) return false;
    // A skippable frame's header size is left 0 by the library.
    if (frame.frameType == ZSTD_skippableFrame) {
      at += ZSTD_SKIPPABLEHEADERSIZE + frame.frameContentSize;
      continue;
    }
    at += frame.headerSize;
    if (frame.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN || !add(total, frame.frameContentSize)) return false;
    for (bool last = false; !last;) {
      unsigned char block[ZSTD_BLOCK_HEADER_SIZE];
      if (at > end || !read_at(fd, at, block, sizeof block)) return false;
      const uint32_t bits = block[0] | block[1] << 8 | static_cast<uint32_t>(block[2]) << 16;
      const uint32_t type = (bits >> 1) & 3;
      if (type == 3) return false;  // reserved
      last = (bits & 1) != 0;
      at += ZSTD_BLOCK_HEADER_SIZE + (type == 1 ? 1 : bits >> 3);
    }
    if (frame.checksumFlag) at += 4;
  }
  return at == end;
}

// gzip: the trailer's last four bytes, the size of the last member modulo
// 2^32. That is the whole for one member under 4 GiB, and less than the
// whole for any other (whether more members come before it cannot be told
// without inflating them): never more than the archive unpacks to.
bool gzip_size(int fd, uint64_t start, uint64_t end, uint64_t* total) {
  unsigned char trailer[4];
  if (end - start < 20 || !read_at(fd, end - 4, trailer, sizeof trailer)) return false;
  *total = trailer[0] | trailer[1] << 8 | trailer[2] << 16 | static_cast<uint64_t>(trailer[3]) << 24;
  return true;
}

// The directory whose file system will hold path, once made: the one it
// is made in.
std::string parent_directory(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

int unpacked_size(int package, uint64_t archive_offset, uint64_t* size) {
  struct stat status {};
  unsigned char head[FORMAT_PROBE_SIZE];
  if (fstat(package, &status) != 0 || status.st_size < 0 || static_cast<uint64_t>(status.st_size) < archive_offset)
    return 0;
  const uint64_t end = static_cast<uint64_t>(status.st_size);
  const std::size_t probe = static_cast<std::size_t>(std::min<uint64_t>(sizeof head, end - archive_offset));
  if (!read_at(package, archive_offset, head, probe)) return 0;
  uint64_t total = 0;
  bool known = false;
  switch (detect_format(head, probe)) {
    case FORMAT_PLAIN:
      total = end - archive_offset;
      known = true;
      break;
    case FORMAT_XZ:
      known = xz_size(package, archive_offset, end, &total);
      break;
    case FORMAT_ZSTD:
      known = zstd_size(package, archive_offset, end, &total);
      break;
    case FORMAT_GZIP:
      known = gzip_size(package, archive_offset, end, &total);
      break;
    default:
      // bzip2 records no size.
      break;
  }
  if (!known) return 0;
  *size = total;
  return 1;
}

int check_space(const char* target_dir, const char* start_dir, uint64_t size) {
  // What keeps the directory from being made or entered (an empty name, a
  // file in its place, a missing parent) is said where that fails.
  std::string where = target_dir;
  struct stat status {};
  if (stat(target_dir, &status) == 0) {
    if (!S_ISDIR(status.st_mode)) return 0;
  } else if (errno == ENOENT && *target_dir != '\0') {
    where = parent_directory(where);
  } else {
    return 0;
  }
  struct statvfs file_system {};
  // No blocks at all is no size at all (procfs, some FUSE file systems),
  // not a full disk.
  if (statvfs(where.c_str(), &file_system) != 0 || file_system.f_blocks == 0) return 0;
  // The blocks reserved for the superuser are the superuser's to fill.
  const uint64_t blocks = getuid() == 0 ? file_system.f_bfree : file_system.f_bavail;
  uint64_t free_bytes = 0;
  if (__builtin_mul_overflow(blocks, static_cast<uint64_t>(file_system.f_frsize), &free_bytes) || size <= free_bytes)
    return 0;
  if (where[0] != '/') {
    std::string joined = start_dir;
    if (where != ".") joined += (joined.back() == '/' ? "" : "/") + where;
    where = joined;
  }
  fprintf(stderr, "Not enough space in %s: the archive unpacks to %llu KB, %llu KB are free\n", where.c_str(),
          static_cast<unsigned long long>((size + 1023) >> 10), static_cast<unsigned long long>(free_bytes >> 10));
  return -1;
}
