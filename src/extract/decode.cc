// Recognising a compressed archive and decoding it on its way into tar.
//
// The decoders are the libraries' own; this file only feeds them from the
// package, hands their output on, and decides where an archive ends: after
// the last complete member, stream or frame, with nothing but further ones
// before it.
#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdio>
#include <cstring>

#include "extract/extract.h"

namespace {

// Fixed buffers: memory stays the libraries' state plus these, whatever
// the size of the archive. Static, as the stub's stack need not hold them
// and only one run decodes at a time.
constexpr std::size_t INPUT_BUFFER_SIZE = 64 * 1024;
constexpr std::size_t OUTPUT_BUFFER_SIZE = 128 * 1024;
unsigned char input_buffer[INPUT_BUFFER_SIZE];
unsigned char output_buffer[OUTPUT_BUFFER_SIZE];

constexpr const char* UNEXPECTED_END = "unexpected end of input";
constexpr const char* CORRUPT = "compressed data is corrupt";
constexpr const char* OUT_OF_MEMORY = "out of memory";
constexpr const char* LIBRARY_FAULT = "unexpected decoder error";

// Where a run stands: the unread bytes input_buffer[in_pos, in_end), and
// output_buffer[0, out_used) decoded but not yet written.
struct run_state {
  archive_format format;
  const decode_io* io;
  std::size_t in_pos = 0;
  std::size_t in_end = 0;
  bool in_ended = false;  // io.read has reported the end
  std::size_t out_used = 0;
};

std::size_t available(const run_state& s) { return s.in_end - s.in_pos; }
const unsigned char* next_in(const run_state& s) { return input_buffer + s.in_pos; }
unsigned char* next_out(const run_state& s) { return output_buffer + s.out_used; }
std::size_t room(const run_state& s) { return OUTPUT_BUFFER_SIZE - s.out_used; }

int fail(const run_state& s, const char* detail) {
  fprintf(stderr, "Decompression error (%s): %s\n", format_name(s.format), detail);
  return -1;
}

// Appends one read's worth behind the unread bytes, moved to the front
// first so that a member's first bytes can be looked at whole.
int read_more(run_state& s) {
  if (s.in_pos > 0) {
    std::memmove(input_buffer, input_buffer + s.in_pos, available(s));
    s.in_end -= s.in_pos;
    s.in_pos = 0;
  }
  const long got = s.io->read(s.io->context, input_buffer + s.in_end, INPUT_BUFFER_SIZE - s.in_end);
  if (got < 0) return -1;
  if (got == 0) s.in_ended = true;
  s.in_end += static_cast<std::size_t>(got);
  return 0;
}

// Reads when every buffered byte has been used.
int refill(run_state& s) { return available(s) == 0 && !s.in_ended ? read_more(s) : 0; }

int flush_output(run_state& s) {
  if (s.out_used == 0) return 0;
  const std::size_t used = s.out_used;
  s.out_used = 0;
  return s.io->write(s.io->context, output_buffer, used);
}

// Before every library call: it gets input when any is left and always
// some room for output.
int prepare(run_state& s) {
  if (s.out_used == OUTPUT_BUFFER_SIZE && flush_output(s) != 0) return -1;
  return refill(s);
}

// Takes the library's counts of unused input and unused room after a call.
// Returns whether the call consumed or produced anything.
bool advance(run_state& s, std::size_t input_left, std::size_t room_left) {
  const std::size_t consumed = available(s) - input_left;
  const std::size_t produced = room(s) - room_left;
  s.in_pos += consumed;
  s.out_used += produced;
  return consumed + produced > 0;
}

// After a call that moved nothing although it had room for output: 0 when
// it only waits for input still to come, -1 after the message otherwise.
int stalled(const run_state& s) {
  if (available(s) == 0 && !s.in_ended) return 0;
  return fail(s, available(s) == 0 ? UNEXPECTED_END : LIBRARY_FAULT);
}

// After a complete member or stream: 1 when the input goes on with the
// magic of another one (and, for bzip2, its block-size digit), 0 at the end
// of the input, -1 when reading stopped or after the message for anything
// else. A complete member followed by bytes that cannot start one is not
// an archive the packer made whole, so it is refused rather than ignored.
int next_member(run_state& s, const char* magic, bool digit, const char* garbage) {
  const std::size_t length = std::strlen(magic);
  const std::size_t need = length + (digit ? 1 : 0);
  while (available(s) < need && !s.in_ended) {
    if (read_more(s) != 0) return -1;
  }
  const std::size_t have = available(s);
  if (have == 0) return 0;
  const unsigned char* head = next_in(s);
  for (std::size_t i = 0; i < need && i < have; ++i) {
    const bool fits = i < length ? head[i] == static_cast<unsigned char>(magic[i]) : head[i] >= '1' && head[i] <= '9';
    if (!fits) return fail(s, garbage);
  }
  return have < need ? fail(s, UNEXPECTED_END) : 1;
}

int copy_plain(run_state& s) {
  for (;;) {
    if (refill(s) != 0) return -1;
    if (available(s) == 0) return 0;
    const std::size_t size = available(s);
    s.in_pos = s.in_end;
    if (s.io->write(s.io->context, input_buffer + s.in_end - size, size) != 0) return -1;
  }
}

// zlib: one inflate state, reset between members.
int inflate_members(run_state& s, z_stream& z) {
  for (;;) {
    if (prepare(s) != 0) return -1;
    z.next_in = const_cast<unsigned char*>(next_in(s));
    z.avail_in = static_cast<uInt>(available(s));
    z.next_out = next_out(s);
    z.avail_out = static_cast<uInt>(room(s));
    const int status = inflate(&z, Z_NO_FLUSH);
    const bool moved = advance(s, z.avail_in, z.avail_out);
    if (status == Z_STREAM_END) {
      const int next = next_member(s, "\x1f\x8b", false, "trailing garbage after the last member");
      if (next != 1) return next == 0 ? flush_output(s) : -1;
      if (inflateReset(&z) != Z_OK) return fail(s, LIBRARY_FAULT);
    } else if (status == Z_MEM_ERROR) {
      return fail(s, OUT_OF_MEMORY);
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      return fail(s, z.msg != nullptr ? z.msg : CORRUPT);
    } else if (!moved && stalled(s) != 0) {
      return -1;
    }
  }
}

int decode_gzip(run_state& s) {
  z_stream z{};
  // 16 + 15: the gzip wrapper only (not zlib's or raw deflate), any window.
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return fail(s, OUT_OF_MEMORY);
  const int result = inflate_members(s, z);
  inflateEnd(&z);
  return result;
}

const char* bzip2_detail(int status) {
  switch (status) {
    case BZ_DATA_ERROR:
      return CORRUPT;
    case BZ_DATA_ERROR_MAGIC:
      return "not bzip2 data";
    case BZ_MEM_ERROR:
      return OUT_OF_MEMORY;
    default:
      return LIBRARY_FAULT;
  }
}

// libbz2 decodes one stream per state. Returns 1 when another stream
// follows this one, 0 at the end of the input, -1 as usual.
int bunzip_stream(run_state& s, bz_stream& bz) {
  for (;;) {
    if (prepare(s) != 0) return -1;
    bz.next_in = reinterpret_cast<char*>(const_cast<unsigned char*>(next_in(s)));
    bz.avail_in = static_cast<unsigned>(available(s));
    bz.next_out = reinterpret_cast<char*>(next_out(s));
    bz.avail_out = static_cast<unsigned>(room(s));
    const int status = BZ2_bzDecompress(&bz);
    const bool moved = advance(s, bz.avail_in, bz.avail_out);
    if (status == BZ_STREAM_END) return next_member(s, "BZh", true, "trailing garbage after the last stream");
    if (status != BZ_OK) return fail(s, bzip2_detail(status));
    if (!moved && stalled(s) != 0) return -1;
  }
}

int decode_bzip2(run_state& s) {
  for (;;) {
    bz_stream bz{};
    int status = BZ2_bzDecompressInit(&bz, 0, 0);
    if (status != BZ_OK) return fail(s, bzip2_detail(status));
    status = bunzip_stream(s, bz);
    BZ2_bzDecompressEnd(&bz);
    if (status != 1) return status == 0 ? flush_output(s) : -1;
  }
}

const char* xz_detail(lzma_ret status) {
  switch (status) {
    case LZMA_DATA_ERROR:
      return CORRUPT;
    case LZMA_FORMAT_ERROR:
      return "file format not recognized";
    case LZMA_OPTIONS_ERROR:
      return "unsupported options";
    case LZMA_BUF_ERROR:
      return UNEXPECTED_END;
    case LZMA_MEM_ERROR:
      return OUT_OF_MEMORY;
    case LZMA_MEMLIMIT_ERROR:
      return "memory usage limit reached";
    default:
      return LIBRARY_FAULT;
  }
}

// liblzma walks concatenated streams and their padding itself; it reports
// the end only once told that the input is finished.
int unxz_streams(run_state& s, lzma_stream& xz) {
  for (;;) {
    if (prepare(s) != 0) return -1;
    xz.next_in = next_in(s);
    xz.avail_in = available(s);
    xz.next_out = next_out(s);
    xz.avail_out = room(s);
    const lzma_ret status = lzma_code(&xz, s.in_ended ? LZMA_FINISH : LZMA_RUN);
    const bool moved = advance(s, xz.avail_in, xz.avail_out);
    if (status == LZMA_STREAM_END) return flush_output(s);
    if (status != LZMA_OK) return fail(s, xz_detail(status));
    if (!moved && stalled(s) != 0) return -1;
  }
}

// Memory the threads may take between them, as xz bounds its own
// multi-threaded decoding: a quarter of physical memory, and no more than
// 1400 MiB in a 32-bit address space. Past it liblzma runs fewer threads,
// down to one, never fails.
uint64_t xz_threading_memory() {
  uint64_t share = lzma_physmem() / 4;
  if (sizeof(void*) == 4 && share > (uint64_t{1400} << 20)) share = uint64_t{1400} << 20;
  return share;
}

int decode_xz(run_state& s) {
  lzma_stream xz = LZMA_STREAM_INIT;
  // The blocks of a stream packed by xz -T or pixz, which record their
  // sizes, are decoded on every core; liblzma decodes any other stream (one
  // block, or sizes not recorded) in this thread as before, and joins its
  // threads in lzma_end. On one core a worker thread would only add copies
  // and block buffers. No memory limit: whatever xz -9e made decodes, as
  // with xz itself.
  lzma_mt options{};
  options.flags = LZMA_CONCATENATED;
  options.threads = lzma_cputhreads();
  options.memlimit_threading = xz_threading_memory();
  options.memlimit_stop = UINT64_MAX;
  const lzma_ret status = options.threads > 1 ? lzma_stream_decoder_mt(&xz, &options)
                                              : lzma_stream_decoder(&xz, UINT64_MAX, LZMA_CONCATENATED);
  if (status != LZMA_OK) return fail(s, xz_detail(status));
  const int result = unxz_streams(s, xz);
  lzma_end(&xz);
  return result;
}

// libzstd goes from frame to frame (and over skippable frames) by itself;
// the input may end only where a frame has ended.
int unzstd_frames(run_state& s, ZSTD_DStream* zstd) {
  bool frame_ended = false;
  for (;;) {
    if (prepare(s) != 0) return -1;
    if (available(s) == 0 && s.in_ended && frame_ended) return flush_output(s);
    ZSTD_inBuffer in{next_in(s), available(s), 0};
    ZSTD_outBuffer out{next_out(s), room(s), 0};
    const std::size_t result = ZSTD_decompressStream(zstd, &out, &in);
    const bool moved = advance(s, in.size - in.pos, out.size - out.pos);
    if (ZSTD_isError(result)) return fail(s, ZSTD_getErrorName(result));
    frame_ended = result == 0;
    if (!moved && stalled(s) != 0) return -1;
  }
}

int decode_zstd(run_state& s) {
  // The default window limit (2^27 bytes) stays: a frame that needs more is
  // refused with the library's message.
  ZSTD_DStream* zstd = ZSTD_createDStream();
  if (zstd == nullptr) return fail(s, OUT_OF_MEMORY);
  const std::size_t started = ZSTD_initDStream(zstd);
  const int result = ZSTD_isError(started) ? fail(s, ZSTD_getErrorName(started)) : unzstd_frames(s, zstd);
  ZSTD_freeDStream(zstd);
  return result;
}

bool starts_with(const unsigned char* head, std::size_t length, const char* magic, std::size_t magic_length) {
  return length >= magic_length && std::memcmp(head, magic, magic_length) == 0;
}

}  // namespace

archive_format detect_format(const unsigned char* head, std::size_t length) {
  // A tar member may be named anything, "BZh91AY&SY" included.
  if (length >= 262 && std::memcmp(head + 257, "ustar", 5) == 0) return FORMAT_PLAIN;
  if (starts_with(head, length, "\x1f\x8b\x08", 3)) return FORMAT_GZIP;
  // "BZh", the block size digit, then the first block's magic (pi) or, for
  // an empty stream, the end-of-stream magic (sqrt pi).
  if (starts_with(head, length, "BZh", 3) && length >= 10 && head[3] >= '1' && head[3] <= '9' &&
      (std::memcmp(head + 4, "\x31\x41\x59\x26\x53\x59", 6) == 0 ||
       std::memcmp(head + 4, "\x17\x72\x45\x38\x50\x90", 6) == 0))
    return FORMAT_BZIP2;
  if (starts_with(head, length, "\xfd\x37\x7a\x58\x5a\x00", 6)) return FORMAT_XZ;
  if (starts_with(head, length, "\x28\xb5\x2f\xfd", 4)) return FORMAT_ZSTD;
  if (length >= 4 && (head[0] & 0xf0) == 0x50 && std::memcmp(head + 1, "\x2a\x4d\x18", 3) == 0) return FORMAT_ZSTD;
  return FORMAT_PLAIN;
}

const char* format_name(archive_format format) {
  switch (format) {
    case FORMAT_GZIP:
      return "gzip";
    case FORMAT_BZIP2:
      return "bzip2";
    case FORMAT_XZ:
      return "xz";
    case FORMAT_ZSTD:
      return "zstd";
    default:
      return "tar";
  }
}

int decode_archive(archive_format format, const decode_io& io) {
  run_state s{format, &io};
  switch (format) {
    case FORMAT_GZIP:
      return decode_gzip(s);
    case FORMAT_BZIP2:
      return decode_bzip2(s);
    case FORMAT_XZ:
      return decode_xz(s);
    case FORMAT_ZSTD:
      return decode_zstd(s);
    default:
      return copy_plain(s);
  }
}
