// The settings reader on arbitrary files: the ELF headers read in the
// file's own byte order, the settings section found, bounded and parsed.
// A settings section that parses must hold what the builder could write.
#include "fuzz_support.h"
#include "package/package.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  package_settings settings;
  if (parse_settings(data, size, &settings) == 0) {
    FUZZ_CHECK(settings.label.empty() || check_text(settings.label, false) == 0);
    FUZZ_CHECK(settings.license.empty() || check_text(settings.license, true) == 0);
    // What was read is written back the same way; a signed one's slot
    // gets its signature back as the builder fills it in.
    package_settings again;
    std::string encoded = encode_settings(settings);
    if (settings.is_signed) encoded.replace(SIGNATURE_SLOT_AT, settings.signature.size(), settings.signature);
    FUZZ_CHECK(parse_settings(reinterpret_cast<const unsigned char*>(encoded.data()), encoded.size(), &again) == 0);
    FUZZ_CHECK(again.label == settings.label && again.license == settings.license &&
               again.is_signed == settings.is_signed && again.signature == settings.signature &&
               again.signature_slot_size == settings.signature_slot_size);
  }
  FILE* stream = fuzz::open_bytes(data, size);
  if (stream == nullptr) return 0;
  elf_image image;
  if (read_elf_image(stream, size, &image) == 0 && read_package_settings(stream, size, image, &settings) == 0 &&
      settings.is_signed)
    FUZZ_CHECK(settings.signature_offset + settings.signature_slot_size <= size &&
               settings.signature_slot_size >= SIGNATURE_SLOT_MIN);
  fclose(stream);
  return 0;
}
