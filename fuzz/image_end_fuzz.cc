// The ELF image-end reader on arbitrary files, checked against a plain
// re-computation over the same bytes.
#include <cstring>
#include <limits>

#include "fuzz_support.h"
#include "self/self.h"

namespace {

uint64_t field(const uint8_t* at, std::size_t width) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(at[i]) << (8 * i);
  return value;
}

// The image end the reader must find in a memory stream of these bytes, or
// -1 where it must fail.
int64_t expected_end(const uint8_t* data, std::size_t size) {
  if (size < 16 ||
      std::memcmp(data,
                  "\x7F"
                  "ELF",
                  4) != 0 ||
      data[4] == 0 || data[5] == 0 || data[6] != 1)
    return -1;
  const bool wide = data[4] == 2;
  if (data[4] != 1 && !wide) return -1;
  const std::size_t header = wide ? 64 : 52, entry = wide ? 64 : 40, width = wide ? 8 : 4;
  if (size < header) return -1;
  const uint64_t shoff = field(data + (wide ? 40 : 32), width);
  const uint64_t shentsize = field(data + (wide ? 58 : 46), 2), shnum = field(data + (wide ? 60 : 48), 2);
  // A memory stream cannot be positioned past its end.
  if (shoff == 0 || shoff > size || shnum * entry > size - shoff) return -1;
  const uint64_t mask = wide ? ~0ull : 0xFFFFFFFFull;
  uint64_t end = (shoff + shentsize * shnum) & mask;
  for (uint64_t i = 0; i < shnum; ++i) {
    const uint8_t* at = data + shoff + i * entry;
    if (field(at + 4, 4) == 8) continue;
    const uint64_t section_end = (field(at + (wide ? 24 : 16), width) + field(at + (wide ? 32 : 20), width)) & mask;
    if (section_end > end) end = section_end;
  }
  if (end > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return -1;
  return static_cast<int64_t>(end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FILE* stream = fuzz::open_bytes(data, size);
  if (stream == nullptr) return 0;
  const int64_t end = get_image_end(stream);
  fclose(stream);
  FUZZ_CHECK(end == expected_end(data, size));
  return 0;
}
