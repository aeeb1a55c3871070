// Section headers read and extended in the file's own class and byte
// order, so that a builder on any host writes what its own stubs read, and
// an inspection reads a package made for another machine.
#include <sys/types.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "self/self.h"

namespace {

constexpr std::size_t EI_NIDENT = 16;
constexpr uint32_t SHT_PROGBITS = 1, SHT_NOBITS = 8;
constexpr uint32_t SHN_LORESERVE = 0xff00;
constexpr std::size_t MACHINE_AT = 18;  // e_machine, in both classes
// A real name table holds a few hundred bytes; a forged size must not make
// an inspection allocate the file.
constexpr uint64_t NAME_TABLE_LIMIT = 1 << 20;

struct layout {
  std::size_t header_size, entry_size, word;  // word: 4 or 8, the width of offsets and sizes
  std::size_t shoff_at, shentsize_at, shnum_at, shstrndx_at;
  std::size_t offset_at, size_at, align_at;  // in an entry; sh_name and sh_type are at 0 and 4
  uint64_t wrap_mask;
};
constexpr layout ELF32 = {52, 40, 4, 32, 46, 48, 50, 16, 20, 32, 0xFFFFFFFFull};
constexpr layout ELF64 = {64, 64, 8, 40, 58, 60, 62, 24, 32, 48, ~0ull};

const layout& layout_of(const elf_image& image) { return image.elf_class == 1 ? ELF32 : ELF64; }

uint64_t get(const elf_image& image, const std::string& bytes, std::size_t at, std::size_t width) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const uint64_t byte = static_cast<unsigned char>(bytes[at + i]);
    value |= byte << (8 * (image.big_endian ? width - 1 - i : i));
  }
  return value;
}

void put(const elf_image& image, std::string& bytes, std::size_t at, std::size_t width, uint64_t value) {
  for (std::size_t i = 0; i < width; ++i)
    bytes[at + i] = static_cast<char>(value >> (8 * (image.big_endian ? width - 1 - i : i)));
}

int read_at(FILE* stream, uint64_t offset, std::string* bytes, std::size_t size) {
  bytes->assign(size, '\0');
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
      fseeko(stream, static_cast<off_t>(offset), SEEK_SET) != 0)
    return -1;
  return fread(bytes->data(), 1, size, stream) == size ? 0 : -1;
}

int damaged(const char* what) {
  fprintf(stderr, "Damaged ELF headers: %s\n", what);
  return -1;
}

}  // namespace

int read_elf_image(FILE* stream, uint64_t file_size, elf_image* image) {
  *image = elf_image{};
  std::string ident;
  if (read_at(stream, 0, &ident, EI_NIDENT) != 0) return damaged("the file is too short");
  if (check_elf_ident(reinterpret_cast<const unsigned char*>(ident.data())) != 0) return -1;
  if ((ident[4] != 1 && ident[4] != 2) || (ident[5] != 1 && ident[5] != 2))
    return damaged("unknown class or byte order");
  image->elf_class = ident[4];
  image->big_endian = ident[5] == 2;
  const layout& l = layout_of(*image);
  if (read_at(stream, 0, &image->header, l.header_size) != 0) return damaged("the ELF header is cut short");
  image->machine = static_cast<uint16_t>(get(*image, image->header, MACHINE_AT, 2));
  image->shoff = get(*image, image->header, l.shoff_at, l.word);
  const uint64_t shentsize = get(*image, image->header, l.shentsize_at, 2);
  image->shnum = static_cast<uint32_t>(get(*image, image->header, l.shnum_at, 2));
  image->shstrndx = static_cast<uint32_t>(get(*image, image->header, l.shstrndx_at, 2));
  if (image->shoff == 0) return damaged("no section header table");
  const uint64_t table_size = uint64_t{image->shnum} * l.entry_size;
  if (image->shoff > file_size || table_size > file_size - image->shoff ||
      read_at(stream, image->shoff, &image->table, table_size) != 0)
    return damaged("the section header table lies past the end of the file");

  uint64_t furthest = 0;
  for (uint32_t i = 0; i < image->shnum; ++i) {
    const std::size_t at = i * l.entry_size;
    elf_section section;
    section.type = static_cast<uint32_t>(get(*image, image->table, at + 4, 4));
    section.offset = get(*image, image->table, at + l.offset_at, l.word);
    section.size = get(*image, image->table, at + l.size_at, l.word);
    if (section.type != SHT_NOBITS) {
      const uint64_t end = (section.offset + section.size) & l.wrap_mask;
      if (end > furthest) furthest = end;
    }
    image->sections.push_back(section);
  }
  const uint64_t table_end = (image->shoff + shentsize * image->shnum) & l.wrap_mask;
  image->end = table_end > furthest ? table_end : furthest;

  // Names, when there is a table of them; a section without one is nameless.
  if (image->shstrndx == 0 || image->shstrndx >= image->shnum) return 0;
  const elf_section& names = image->sections[image->shstrndx];
  std::string table;
  if (names.type == SHT_NOBITS || names.size > NAME_TABLE_LIMIT || names.offset > file_size ||
      names.size > file_size - names.offset || read_at(stream, names.offset, &table, names.size) != 0)
    return damaged("the section name table lies past the end of the file");
  image->names = table;
  for (uint32_t i = 0; i < image->shnum; ++i) {
    const uint64_t name_at = get(*image, image->table, i * l.entry_size, 4);
    if (name_at >= table.size()) continue;
    const std::size_t end = table.find('\0', name_at);
    if (end != std::string::npos) image->sections[i].name = table.substr(name_at, end - name_at);
  }
  return 0;
}

std::string describe_architecture(const elf_image& image) {
  const bool wide = image.elf_class == 2;
  std::string name;
  switch (image.machine) {
    case 3:  // EM_386
      name = "i386";
      break;
    case 22:  // EM_S390: s390x is its 64-bit form
      name = wide ? "s390x" : "s390";
      break;
    case 40:  // EM_ARM
      name = "arm";
      break;
    case 62:  // EM_X86_64
      name = "x86_64";
      break;
    case 183:  // EM_AARCH64
      name = "aarch64";
      break;
    default:
      name = "ELF machine " + std::to_string(image.machine);
  }
  return name + (wide ? " (64-bit, " : " (32-bit, ") + (image.big_endian ? "big-endian)" : "little-endian)");
}

int find_elf_section(const elf_image& image, const char* name) {
  for (std::size_t i = 0; i < image.sections.size(); ++i)
    if (image.sections[i].name == name) return static_cast<int>(i);
  return -1;
}

int plan_elf_addition(const elf_image& image, const char* name, uint64_t size, elf_addition* plan) {
  const layout& l = layout_of(image);
  const uint64_t shentsize = get(image, image.header, l.shentsize_at, 2);
  if (shentsize != l.entry_size || image.shstrndx == 0 || image.shstrndx >= image.shnum ||
      image.shnum + 1 >= SHN_LORESERVE) {
    fputs("Cannot add settings: the stub's section headers are not as a linker writes them\n", stderr);
    return -1;
  }
  // The linker writes the section header table last: the new image drops
  // it and writes a longer one at its new end. A table that is not last
  // stays where it is, unused.
  const uint64_t table_end = image.shoff + uint64_t{image.shnum} * l.entry_size;
  plan->copy_end = table_end == image.end ? image.shoff : image.end;

  // The name table moves to after the new section, with the new name at
  // its end, so every old name keeps its offset.
  std::string names = image.names;
  const uint64_t name_at = names.size();
  names.append(name).push_back('\0');
  const uint64_t names_offset = plan->copy_end + size;
  uint64_t new_shoff = names_offset + names.size();
  new_shoff = (new_shoff + l.word - 1) / l.word * l.word;
  const uint64_t new_end = new_shoff + uint64_t{image.shnum + 1} * l.entry_size;
  if (image.elf_class == 1 && new_end > 0xFFFFFFFFull) {
    fputs("Cannot add settings: a 32-bit image cannot hold them\n", stderr);
    return -1;
  }

  std::string table = image.table;
  const std::size_t names_entry = image.shstrndx * l.entry_size;
  put(image, table, names_entry + l.offset_at, l.word, names_offset);
  put(image, table, names_entry + l.size_at, l.word, names.size());
  std::string entry(l.entry_size, '\0');
  put(image, entry, 0, 4, name_at);
  put(image, entry, 4, 4, SHT_PROGBITS);
  put(image, entry, l.offset_at, l.word, plan->copy_end);
  put(image, entry, l.size_at, l.word, size);
  put(image, entry, l.align_at, l.word, 1);
  table += entry;

  plan->header = image.header;
  put(image, plan->header, l.shoff_at, l.word, new_shoff);
  put(image, plan->header, l.shnum_at, 2, image.shnum + 1);
  plan->tail = names;
  plan->tail.append(new_shoff - names_offset - names.size(), '\0');
  plan->tail += table;
  return 0;
}
