#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "self/self.h"

namespace {

constexpr std::size_t EI_NIDENT = 16;
constexpr unsigned char ELF_MAGIC[4] = {0x7F, 'E', 'L', 'F'};
constexpr std::size_t EI_CLASS = 4, EI_DATA = 5, EI_VERSION = 6;
constexpr uint32_t SHT_NOBITS = 8;

// Field positions of one ELF class; only what the image end needs.
struct elf_layout {
  std::size_t header_size;
  std::size_t shoff_at, shoff_width;
  std::size_t shentsize_at, shnum_at;  // both 2 bytes wide
  std::size_t entry_size;
  std::size_t type_at;  // 4 bytes wide
  std::size_t offset_at, size_at, field_width;
  uint64_t wrap_mask;  // 32-bit sums wrap modulo 2^32
};

constexpr elf_layout ELF32 = {52, 32, 4, 46, 48, 40, 4, 16, 20, 4, 0xFFFFFFFFull};
constexpr elf_layout ELF64 = {64, 40, 8, 58, 60, 64, 4, 24, 32, 8, ~0ull};

// Fields are read in the host's byte order, as the program's own file was
// written for this host.
uint64_t field(const unsigned char* at, std::size_t width) {
  uint64_t value = 0;
  if (width == 2) {
    uint16_t v;
    std::memcpy(&v, at, 2);
    value = v;
  } else if (width == 4) {
    uint32_t v;
    std::memcpy(&v, at, 4);
    value = v;
  } else {
    std::memcpy(&value, at, 8);
  }
  return value;
}

int64_t image_end(FILE* stream, const elf_layout& elf) {
  std::unique_ptr<unsigned char[]> header(new (std::nothrow) unsigned char[elf.header_size]);
  if (!header) {
    errno = ENOMEM;
    perror("ELF header malloc error");
    return -1;
  }
  errno = 0;
  if (fread(header.get(), 1, elf.header_size, stream) < elf.header_size) {
    perror("ELF header read error");
    return -1;
  }
  const uint64_t shoff = field(header.get() + elf.shoff_at, elf.shoff_width);
  const uint64_t shentsize = field(header.get() + elf.shentsize_at, 2);
  const uint64_t shnum = field(header.get() + elf.shnum_at, 2);
  if (shoff == 0) {
    fputs("Cannot find ELF section header\n", stderr);
    return -1;
  }
  if (shoff > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
      fseeko(stream, static_cast<off_t>(shoff), SEEK_SET) == -1) {
    if (errno == 0) errno = EINVAL;
    perror("Seek to section header error");
    return -1;
  }
  // At least one byte, so that an empty table is not mistaken for a failed
  // allocation.
  std::unique_ptr<unsigned char[]> entries(new (std::nothrow) unsigned char[shnum * elf.entry_size + 1]);
  if (!entries) {
    errno = ENOMEM;
    perror("Section header malloc error");
    return -1;
  }
  errno = 0;
  if (fread(entries.get(), elf.entry_size, shnum, stream) < shnum) {
    perror("ELF section header read error");
    return -1;
  }

  uint64_t furthest = 0;
  for (uint64_t i = 0; i < shnum; ++i) {
    const unsigned char* entry = entries.get() + i * elf.entry_size;
    if (field(entry + elf.type_at, 4) == SHT_NOBITS) continue;
    const uint64_t end = (field(entry + elf.offset_at, elf.field_width) +
                          field(entry + elf.size_at, elf.field_width)) & elf.wrap_mask;
    if (end > furthest) furthest = end;
  }
  const uint64_t table_end = (shoff + shentsize * shnum) & elf.wrap_mask;
  const uint64_t end = table_end > furthest ? table_end : furthest;
  // Only a forged 64-bit header reaches this: no file can be that long.
  if (end > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    fputs("ELF image end out of range\n", stderr);
    return -1;
  }
  return static_cast<int64_t>(end);
}

}  // namespace

int check_elf_ident(const unsigned char* ident) {
  if (std::memcmp(ident, ELF_MAGIC, sizeof ELF_MAGIC) != 0 || ident[EI_CLASS] == 0 ||
      ident[EI_DATA] == 0 || ident[EI_VERSION] != 1) {
    fputs("ELF ident error\n", stderr);
    return -1;
  }
  return 0;
}

int read_elf_class(FILE* stream) {
  unsigned char ident[EI_NIDENT];
  rewind(stream);
  errno = 0;
  if (fread(ident, 1, EI_NIDENT, stream) < EI_NIDENT) {
    perror("ELF ident read error");
    return -1;
  }
  if (check_elf_ident(ident) != 0) return -1;
  return ident[EI_CLASS];
}

int64_t elf32_image_end(FILE* stream) { return image_end(stream, ELF32); }

int64_t elf64_image_end(FILE* stream) { return image_end(stream, ELF64); }

int64_t get_image_end(FILE* stream) {
  const int elf_class = read_elf_class(stream);
  if (elf_class < 0) return -1;
  rewind(stream);
  switch (elf_class) {
    case 1:
      return elf32_image_end(stream);
    case 2:
      return elf64_image_end(stream);
    default:
      fputs("Unknown ELF class\n", stderr);
      return -1;
  }
}
