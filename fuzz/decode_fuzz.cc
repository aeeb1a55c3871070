// Decoding arbitrary archive bytes in the format that their first bytes
// name, read in pieces of varying size: every run ends with 0 or -1, a
// plain archive comes out unchanged, and nothing crashes or hangs.
#include <algorithm>
#include <cstring>
#include <string>

#include "extract/extract.h"
#include "fuzz_support.h"

namespace {

// Output past this is not looked at: the sink stops the run, as a writer
// that failed would. Small inputs can still expand to that much.
constexpr std::size_t OUTPUT_LIMIT = std::size_t{64} << 20;

struct fuzz_io {
  const uint8_t* data;
  std::size_t size;
  std::size_t at;
  std::size_t chunk;  // bytes per read at most
  std::size_t written;
  bool keep;  // plain runs keep their output to compare
  std::string kept;
};

long read_input(void* context, unsigned char* buffer, std::size_t size) {
  fuzz_io& io = *static_cast<fuzz_io*>(context);
  const std::size_t count = std::min({size, io.chunk, io.size - io.at});
  std::memcpy(buffer, io.data + io.at, count);
  io.at += count;
  return static_cast<long>(count);
}

int write_output(void* context, const unsigned char* data, std::size_t size) {
  fuzz_io& io = *static_cast<fuzz_io*>(context);
  FUZZ_CHECK(size > 0);
  io.written += size;
  if (io.keep) io.kept.append(reinterpret_cast<const char*>(data), size);
  return io.written > OUTPUT_LIMIT ? -1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const archive_format format = detect_format(data, std::min(size, FORMAT_PROBE_SIZE));
  // The size picks the read pattern, so that members start anywhere
  // relative to the reads: one byte, a few, or all at once.
  const std::size_t chunks[] = {1, 7, 4096, std::size_t{1} << 30};
  fuzz_io io{data, size, 0, chunks[size % 4], 0, format == FORMAT_PLAIN, {}};
  const decode_io ends{&io, read_input, write_output};
  const int result = decode_archive(format, ends);
  FUZZ_CHECK(result == 0 || result == -1);
  if (format == FORMAT_PLAIN) {
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(io.kept == std::string(reinterpret_cast<const char*>(data), size));
  }
  // A run that ends well has read everything.
  if (result == 0) FUZZ_CHECK(io.at == size);
  return 0;
}
