// The package header reader and the integrity check on an arbitrary tail
// behind a small ELF image, checked against the layout: 8 bytes of size,
// 16 bytes of digest, then the archive up to the end.
#include <tomcrypt.h>

#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "package/package.h"
#include "self/self.h"

namespace {

// A 64-bit ELF header followed by its table of two entries (the null entry
// and one section covering the header), so the image ends at 192.
constexpr std::size_t IMAGE_END = 192;

std::vector<uint8_t> make_image() {
  std::vector<uint8_t> image(IMAGE_END, 0);
  std::memcpy(image.data(),
              "\x7F"
              "ELF\x02\x01\x01",
              7);
  image[40] = 64;        // e_shoff
  image[58] = 64;        // e_shentsize
  image[60] = 2;         // e_shnum
  image[128 + 4] = 1;    // PROGBITS
  image[128 + 32] = 64;  // sh_size
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::vector<uint8_t> image = make_image();
  std::vector<uint8_t> package(image);
  package.insert(package.end(), data, data + size);
  uint8_t* const tail = package.data() + IMAGE_END;
  unsigned char digest[DIGEST_BYTES] = {};
  if (size >= PACKAGE_HEADER_SIZE) {
    hash_state state;
    md5_init(&state);
    md5_process(&state, tail + PACKAGE_HEADER_SIZE, size - PACKAGE_HEADER_SIZE);
    md5_done(&state, digest);
    // Half of the inputs carry the right digest, so that the passing check
    // is exercised as often as the failing one.
    if (tail[0] & 1) std::memcpy(tail + ARCHIVE_SIZE_BYTES, digest, DIGEST_BYTES);
  }
  FILE* stream = fuzz::open_bytes(package.data(), package.size());
  if (stream == nullptr) return 0;
  FUZZ_CHECK(get_image_end(stream) == static_cast<int64_t>(IMAGE_END));

  package_header header{};
  const int read = read_package_header(stream, IMAGE_END, &header);
  FUZZ_CHECK((read == 0) == (size >= PACKAGE_HEADER_SIZE));
  if (read == 0) {
    FUZZ_CHECK(header.archive_size == decode_archive_size(tail));
    FUZZ_CHECK(std::memcmp(header.digest, tail + ARCHIVE_SIZE_BYTES, DIGEST_BYTES) == 0);
    const int verified = verify_archive(stream, IMAGE_END + PACKAGE_HEADER_SIZE, header.digest);
    FUZZ_CHECK((verified == 0) == (std::memcmp(header.digest, digest, DIGEST_BYTES) == 0));
  }
  fclose(stream);
  return 0;
}
