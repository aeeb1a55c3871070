#include <sys/types.h>

#include <cstdint>
#include <cstring>

#include "package/package.h"

namespace {

uint32_t get32(const unsigned char* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

void put32(std::string& bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
}

void add_record(std::string& bytes, setting_tag tag, std::string_view value) {
  put32(bytes, tag);
  put32(bytes, static_cast<uint32_t>(value.size()));
  bytes.append(value);
}

int damaged(const char* what) {
  fprintf(stderr, "Damaged package settings: %s\n", what);
  return -1;
}

// The length of a UTF-8 sequence starting with lead, 0 for a byte that
// cannot start one.
int sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

int damaged_text(const char* what, const char* problem) {
  fprintf(stderr, "Damaged package settings: bad %s (%s)\n", what, problem);
  return -1;
}

}  // namespace

// Control characters are refused because the text reaches the user's
// terminal before they decide anything: an escape sequence could hide or
// rewrite what they are asked to accept.
int check_text(std::string_view text, bool multi_line) {
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const int length = sequence_length(lead);
    if (length == 0 || i + length > text.size()) return 1;
    uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (int k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return 1;
      code = code << 6 | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF.
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF))
      return 1;
    const bool line_end = code == '\n' || (code == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
    const bool allowed = multi_line && (code == '\t' || line_end);
    if ((code < 0x20 || (code >= 0x7F && code <= 0x9F)) && !allowed) return 2;
    i += length;
  }
  return 0;
}

std::string encode_settings(const package_settings& settings) {
  std::string bytes(SETTINGS_MAGIC, SETTINGS_MAGIC_SIZE);
  if (settings.is_signed) add_record(bytes, SETTING_SIGNATURE, std::string(settings.signature_slot_size, '\0'));
  if (!settings.label.empty()) add_record(bytes, SETTING_LABEL, settings.label);
  if (!settings.license.empty()) add_record(bytes, SETTING_LICENSE, settings.license);
  return bytes;
}

int parse_settings(const unsigned char* data, std::size_t size, package_settings* settings) {
  *settings = package_settings{};
  settings->present = true;
  if (size < SETTINGS_MAGIC_SIZE || std::memcmp(data, SETTINGS_MAGIC, SETTINGS_MAGIC_SIZE) != 0)
    return damaged("unknown format");
  bool seen[4] = {};
  for (std::size_t at = SETTINGS_MAGIC_SIZE; at < size;) {
    if (size - at < SETTING_RECORD_HEADER) return damaged("a record is cut short");
    const uint32_t tag = get32(data + at), length = get32(data + at + 4);
    at += SETTING_RECORD_HEADER;
    if (length > size - at) return damaged("a record's length runs past the end of the settings");
    if (tag < SETTING_SIGNATURE || tag > SETTING_LICENSE) return damaged("unknown record");
    if (seen[tag]) return damaged("a record appears twice");
    seen[tag] = true;
    const std::string_view value(reinterpret_cast<const char*>(data + at), length);
    if (tag == SETTING_LABEL) {
      if (const char* problem = text_problem(value, LABEL_MAX, false)) return damaged_text("label", problem);
      settings->label = value;
    } else if (tag == SETTING_LICENSE) {
      if (const char* problem = text_problem(value, LICENSE_MAX, true)) return damaged_text("license", problem);
      settings->license = value;
    } else {
      // Only ever first, so that its place in the file can be told from
      // the section headers alone.
      if (at != SIGNATURE_SLOT_AT) return damaged("misplaced signature");
      if (length < SIGNATURE_SLOT_MIN || length > SIGNATURE_SLOT_MAX)
        return damaged("the signature slot's size is out of bounds");
      const std::size_t text_end = value.find('\0');
      if (text_end == 0) return damaged("the signature slot is empty");
      if (text_end != std::string_view::npos && value.find_first_not_of('\0', text_end) != std::string_view::npos)
        return damaged("bytes after the signature");
      settings->is_signed = true;
      settings->signature = value.substr(0, text_end);
      settings->signature_offset = at;
      settings->signature_slot_size = length;
    }
    at += length;
  }
  return 0;
}

int read_package_settings(FILE* stream, uint64_t file_size, const elf_image& image, package_settings* settings) {
  *settings = package_settings{};
  const int index = find_elf_section(image, SETTINGS_SECTION);
  if (index < 0) return 0;
  const elf_section& section = image.sections[index];
  if (section.type == 8) return damaged("the section holds no data");
  // The settings lie inside the image, clear of the ELF header, the section
  // header table and every other section.
  const uint64_t header_size = image.header.size(), table_end = image.shoff + image.table.size();
  if (section.offset < header_size || section.size > image.end || section.offset > image.end - section.size ||
      section.offset + section.size > file_size || section.size > SETTINGS_MAGIC_SIZE + 3 * SETTING_RECORD_HEADER +
                                                                      SIGNATURE_SLOT_MAX + LABEL_MAX + LICENSE_MAX)
    return damaged("the section lies outside the image");
  const uint64_t end = section.offset + section.size;
  if (section.offset < table_end && image.shoff < end) return damaged("the section overlaps the section headers");
  for (std::size_t i = 0; i < image.sections.size(); ++i) {
    const elf_section& other = image.sections[i];
    if (static_cast<int>(i) == index || other.type == 8 || other.size == 0) continue;
    // A forged size may run past 2^64; such a section reaches the end.
    const uint64_t other_end = other.size > UINT64_MAX - other.offset ? UINT64_MAX : other.offset + other.size;
    if (other.offset < end && section.offset < other_end) return damaged("the section overlaps another section");
  }
  std::string bytes(section.size, '\0');
  if (fseeko(stream, static_cast<off_t>(section.offset), SEEK_SET) != 0 ||
      fread(bytes.data(), 1, bytes.size(), stream) != bytes.size())
    return damaged("the section cannot be read");
  if (parse_settings(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), settings) != 0) return -1;
  settings->signature_offset += section.offset;
  return 0;
}

const char* text_problem(std::string_view text, std::size_t limit, bool multi_line) {
  if (text.empty()) return "it is empty";
  if (text.size() > limit) return multi_line ? "it is larger than 1 MiB" : "it is longer than 200 bytes";
  switch (check_text(text, multi_line)) {
    case 1:
      return "it is not UTF-8 text";
    case 2:
      return "it holds a control character";
    default:
      return nullptr;
  }
}

stub_mark read_stub_mark(FILE* stream, uint64_t file_size, const elf_image& image) {
  const int index = find_elf_section(image, STUB_MARK_SECTION);
  if (index < 0) return STUB_MARK_NONE;
  const elf_section& section = image.sections[index];
  unsigned char mark[STUB_MARK_SIZE];
  if (section.type == 8 || section.size < STUB_MARK_SIZE || section.offset > file_size ||
      file_size - section.offset < STUB_MARK_SIZE ||
      fseeko(stream, static_cast<off_t>(section.offset), SEEK_SET) != 0 ||
      fread(mark, 1, STUB_MARK_SIZE, stream) != STUB_MARK_SIZE ||
      std::memcmp(mark, STUB_MARK_MAGIC, sizeof STUB_MARK_MAGIC - 1) != 0)
    return STUB_MARK_NONE;
  const unsigned char* reads = mark + sizeof STUB_MARK_MAGIC - 1;
  return std::memcmp(reads, SETTINGS_MAGIC, SETTINGS_MAGIC_SIZE) == 0 ? STUB_MARK_OURS : STUB_MARK_OTHER;
}
